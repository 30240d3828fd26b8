#include "graph/router_file.h"

#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>

#include "graph/confparse.h"
#include "graph/framework_static.h"
#include "graph/master.h"
#include "graph/router.h"
#include "graph/string_builder.h"
#include "platform/fs/open_file.h"

namespace {

constexpr int kReadChunk = 4096;
constexpr int kHeaderSize = 60;
constexpr int kMagicSize = 8;

bool is_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool is_regular_file(const String& name) {
  struct stat st;
  return ::stat(name.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// An ar header field as an integer of `base`; -1 when no number starts the
// field or the number is followed, inside the field, by a non-space.
int read_field(const char* begin, const char* end, int base) {
  int value = 0;
  const char* p = cp_parse_basic_integer(begin, end, base, &value);
  if (p == begin || (p < end && !is_space(*p))) return -1;
  return value;
}

bool graph_path_read = false;
String graph_path;

}  // namespace

String read_whole_stream(FILE* stream, ErrorHandler* errh) {
  StringBuilder text;
  if (std::feof(stream)) return String();
  for (;;) {
    char* room = nullptr;
    if (text.length() <= INT_MAX - kReadChunk) {
      try {
        room = text.extend(0, kReadChunk);
      } catch (const std::bad_alloc&) {
        room = nullptr;
      }
    }
    if (room == nullptr) {
      if (errh != nullptr) errh->error("file too large, out of memory");
      errno = ENOMEM;
      return String();
    }
    const size_t n = std::fread(room, 1, kReadChunk, stream);
    text.extend(static_cast<int>(n));
    if (std::ferror(stream)) {
      // A persistent error would never reach end of file: stop and report.
      const int error = errno;
      if (errh != nullptr) errh->error("%s", std::strerror(error));
      return String();
    }
    if (std::feof(stream)) break;
  }
  return text.take_string();
}

String read_whole_file(const String& file_name, ErrorHandler* errh) {
  if (file_name.empty() || file_name == "-") {
    PrefixErrorHandler prefixed(errh, String("<stdin>: "));
    return read_whole_stream(stdin, errh != nullptr ? &prefixed : nullptr);
  }
  FILE* f = platform::fopen_no_links(file_name.c_str(), "rb");
  if (f == nullptr) {
    const int error = errno;
    if (errh != nullptr) errh->error("%s: %s", file_name.c_str(), std::strerror(error));
    return String();
  }
  PrefixErrorHandler prefixed(errh, file_name + ": ");
  String text = read_whole_stream(f, errh != nullptr ? &prefixed : nullptr);
  std::fclose(f);
  return text;
}

bool search_path_for_file(const String& file_name, const String& path, const String& default_path,
                          String subdirectory, Vector<String>& results, bool stop_at_first) {
  const int old_size = results.size();
  if (!subdirectory.empty() && subdirectory[subdirectory.length() - 1] != '/') subdirectory += "/";
  bool default_searched = false;
  int begin = 0;
  for (;;) {
    int end = path.find_left(':', begin);
    if (end < 0) end = path.length();
    String dir = path.substring(begin, end);
    if (dir.empty()) {
      if (!default_path.empty() && !default_searched) {
        default_searched = true;
        if (search_path_for_file(file_name, default_path, String(), String(), results,
                                 stop_at_first) &&
            stop_at_first)
          return true;
      }
    } else {
      if (dir[dir.length() - 1] != '/') dir += "/";
      String found;
      if (!subdirectory.empty()) {
        for (const String& candidate :
             {dir + subdirectory + "graph/" + file_name, dir + subdirectory + file_name}) {
          if (is_regular_file(candidate)) {
            found = candidate;
            break;
          }
        }
      }
      if (found.empty() && is_regular_file(dir + file_name)) found = dir + file_name;
      if (!found.empty()) {
        results.push_back(found);
        if (stop_at_first) return true;
      }
    }
    if (end >= path.length()) break;
    begin = end + 1;
  }
  return results.size() > old_size;
}

String find_library_file(const String& file_name, const String& default_path) {
  if (!graph_path_read) {
    const char* value = std::getenv("GRAPHPATH");
    graph_path = String(value != nullptr ? value : "");
    graph_path_read = true;
  }
  if (!file_name.empty() && file_name[0] == '/') return file_name;
  Vector<String> results;
  if (!search_path_for_file(file_name, graph_path, default_path, String("conf"), results, true))
    return String();
  return results[0];
}

void forget_graph_path() {
  graph_path_read = false;
  graph_path = String();
}

int parse_config_archive(const String& text, Vector<ArchiveMember>& members, ErrorHandler* errh) {
  LocalErrorHandler lerrh(errh);
  members.clear();
  if (text.length() <= kMagicSize || std::memcmp(text.data(), "!<arch>\n", kMagicSize) != 0)
    return lerrh.error("not an archive");

  const char* data = text.data();
  const int length = text.length();
  int result = 0;
  String long_names;
  bool have_long_names = false;
  int pos = kMagicSize;
  while (pos < length) {
    if (length - pos < kHeaderSize) return lerrh.error("truncated archive");
    const char* h = data + pos;
    if (h[58] != '\x60' || h[59] != '\x0A')
      return lerrh.error("bad archive: missing header magic number");
    const int data_pos = pos + kHeaderSize;

    if (h[0] == '/' && h[1] == '/' && is_space(h[2])) {
      if (have_long_names) result = lerrh.error("two long name sections in archive");
      int size = read_field(h + 48, h + 58, 10);
      if (size < 0) lerrh.warning("bad %s in archive", "size");
      if (size < 0 || size > length - data_pos) return lerrh.error("truncated archive");
      long_names = text.substring(data_pos, data_pos + size);
      have_long_names = true;
      pos = data_pos + size + (size & 1);
      continue;
    }

    ArchiveMember member;
    int name_length = -1;
    bool in_data_name = false;
    if (h[0] == '/' && is_digit(h[1])) {
      const int offset = read_field(h + 1, h + 16, 10);
      if (offset < 0) lerrh.warning("bad %s in archive", "long name");
      if (!have_long_names || offset < 0 || offset >= long_names.length()) {
        result = lerrh.error("bad long name in archive");
      } else {
        int end = offset;
        while (end < long_names.length() && long_names[end] != '/' && !is_space(long_names[end]))
          ++end;
        member.name = long_names.substring(offset, end);
      }
    } else if (h[0] == '#' && h[1] == '1' && h[2] == '/' && is_digit(h[3])) {
      in_data_name = true;
      name_length = read_field(h + 3, h + 16, 10);
      if (name_length < 0) lerrh.warning("bad %s in archive", "long name");
    } else {
      int end = 0;
      while (end < 16 && h[end] != '/' && !is_space(h[end])) ++end;
      member.name = text.substring(pos, pos + end);
    }

    struct Field {
      const char* what;
      int begin, end, base;
      int* value;
    };
    int size = 0;
    const Field fields[] = {{"date", 16, 28, 10, &member.date},
                            {"uid", 28, 34, 10, &member.uid},
                            {"gid", 34, 40, 10, &member.gid},
                            {"mode", 40, 48, 8, &member.mode},
                            {"size", 48, 58, 10, &size}};
    for (const Field& f : fields) {
      *f.value = read_field(h + f.begin, h + f.end, f.base);
      if (*f.value < 0) lerrh.warning("bad %s in archive", f.what);
    }

    if (size < 0 || size > length - data_pos) {
      // A size field can claim far more than the text: count in 64 bits.
      const long long short_by = static_cast<long long>(data_pos) + size - length;
      return lerrh.error("truncated archive, %d bytes short",
                         static_cast<int>(short_by > INT_MAX ? INT_MAX : short_by));
    }

    member.data = text.substring(data_pos, data_pos + size);
    if (in_data_name) {
      if (name_length < 0 || size < name_length) return lerrh.error("bad long name in archive");
      member.name = member.data.substring(0, name_length);
      member.data = member.data.substring(name_length);
    }
    members.push_back(member);
    pos = data_pos + size + (size & 1);
  }
  return result;
}

void RequireLexerExtra::require(const String& type, const String& value, ErrorHandler* errh) {
  if (!type.equals("package")) return;
  for (const ProvidedPackage& p : provided_packages())
    if (p.name == value && p.count > 0) return;
  if (errh != nullptr) errh->error("requirement %<%s%> not available", value.c_str());
}

namespace {

// `read_router_file` once its handler is settled; may throw std::bad_alloc.
Router* read_router_file_or_throw(const String& file_name, ErrorHandler* errh, Master* master) {
  const int before = errh->error_count();
  String text = read_whole_file(file_name, errh);
  const String name = file_name.empty() || file_name == "-" ? String("<stdin>") : file_name;
  if (errh->error_count() > before) return nullptr;

  if (!text.empty() && text[0] == '!') {
    Vector<ArchiveMember> members;
    parse_config_archive(text, members, errh);
    const ArchiveMember* config = nullptr;
    for (const ArchiveMember& m : members) {
      if (m.name == "config") {
        config = &m;
        break;
      }
    }
    if (config == nullptr) {
      errh->error("%s: archive has no %<config%> section", name.c_str());
      return nullptr;
    }
    text = config->data;
  }

  Lexer* lexer = make_global_lexer();
  RequireLexerExtra extra;
  Master* made = nullptr;
  Router* router = nullptr;
  // The classes registered before the parse; what the parse added goes.
  const int cookie = lexer->start_parse(text, name, &extra, errh);
  try {
    while (lexer->parsing()) lexer->parse_step();
    made = master == nullptr ? new Master : nullptr;
    router = lexer->build_router(made != nullptr ? made : master);
  } catch (...) {
    lexer->finish_parse(cookie);
    delete made;
    throw;
  }
  lexer->finish_parse(cookie);
  return router;
}

}  // namespace

Router* read_router_file(const String& file_name, ErrorHandler* errh, Master* master) {
  SilentErrorHandler silent;
  if (errh == nullptr) errh = ErrorHandler::silent_handler();
  if (errh == nullptr) errh = &silent;
  // Memory running out while a graph is read is the graph's failure, not
  // the process's: the caller gets its error and no router.
  try {
    return read_router_file_or_throw(file_name, errh, master);
  } catch (const std::bad_alloc&) {
    errh->error("%s: out of memory",
                file_name.empty() || file_name == "-" ? "<stdin>" : file_name.c_str());
    return nullptr;
  }
}
