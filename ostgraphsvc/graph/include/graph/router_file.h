// From a graph-file name to a Router: reading a file or standard input
// whole, unpacking a Unix ar archive whose member "config" holds the text,
// searching library files along GRAPHPATH, and the parser's hook for
// "require" statements.
//
// `read_router_file` parses into the process-wide Lexer (made on first
// need) and returns a new, uninitialised Router even when the parse
// reported errors: the caller compares its handler's error count before and
// after to decide whether to use it. It returns null only when the text
// could not be read or an archive has no "config" member.
//
// Threads: the thread that reads graph files; GRAPHPATH is read once per
// process.
#ifndef GRAPH_ROUTER_FILE_H_
#define GRAPH_ROUTER_FILE_H_

#include <cstdio>

#include "graph/error_handler.h"
#include "graph/lexer.h"
#include "graph/string.h"
#include "graph/vector.h"

class Master;
class Router;

// One member of an ar archive; `data` shares the archive text's storage.
struct ArchiveMember {
  String name;
  int date = 0;
  int uid = 0;
  int gid = 0;
  int mode = 0;
  String data;
};

// The stream's remaining bytes. A read error or a buffer that cannot grow
// ("file too large, out of memory", errno ENOMEM) is reported through
// `errh` (may be null) and gives the empty String.
String read_whole_stream(FILE* stream, ErrorHandler* errh);
// The file's bytes; "" and "-" read standard input, named "<stdin>". An
// unopenable file is reported as "NAME: system text"; stream errors carry
// the prefix "NAME: ".
String read_whole_file(const String& file_name, ErrorHandler* errh);

// Looks for `file_name` in each ":"-separated directory of `path` (an
// empty entry stands for `default_path`, searched once without the
// subdirectory), trying DIR/SUBDIR/graph/NAME, DIR/SUBDIR/NAME, then
// DIR/NAME, regular files only. Appends the matches; with `stop_at_first`
// stops after the first. True when `results` grew.
bool search_path_for_file(const String& file_name, const String& path, const String& default_path,
                          String subdirectory, Vector<String>& results, bool stop_at_first);
// The first match of `file_name` along GRAPHPATH (subdirectory "conf") and
// `default_path`; an absolute name is returned as is; "" when none.
String find_library_file(const String& file_name, const String& default_path);
// GRAPHPATH is remembered on first use; tests call this after changing it.
void forget_graph_path();

// Fills `members` from an ar archive. 0 when the whole text was read
// cleanly, otherwise the result of the last error (-22). Bad numeric fields
// are warnings and read as -1.
int parse_config_archive(const String& text, Vector<ArchiveMember>& members, ErrorHandler* errh);

// The parser's hook: a "package" requirement must be provided (none ever
// is), every other requirement is accepted.
class RequireLexerExtra : public LexerExtra {
 public:
  void require(const String& type, const String& value, ErrorHandler* errh) override;
};

// Reads, parses and builds the graph in `file_name` ("" or "-": standard
// input). Null `errh` means the silent handler; null `master` makes a new
// Master, which the caller deletes (`Router::master`) after the router.
Router* read_router_file(const String& file_name, ErrorHandler* errh, Master* master);

#endif  // GRAPH_ROUTER_FILE_H_
