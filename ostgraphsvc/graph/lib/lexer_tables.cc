// The configuration reader's class table, element tables and tunnels.
#include "graph/lexer_tables.h"

#include <cctype>
#include <cstring>

#include "graph/confparse.h"
#include "graph/error_handler.h"

namespace {

constexpr char kNoSuchElement[] = "##no-such-element##";

// A component of only digits would read as a port number; an empty one
// cannot be written.
bool has_all_digit_component(const String& name) {
  const char* s = name.begin();
  const char* end = name.end();
  while (true) {
    const char* slash = static_cast<const char*>(std::memchr(s, '/', end - s));
    const char* stop = slash != nullptr ? slash : end;
    bool all_digits = true;
    for (const char* p = s; p < stop; ++p) {
      if (!std::isdigit(static_cast<unsigned char>(*p))) all_digits = false;
    }
    if (all_digits) return true;
    if (slash == nullptr) return false;
    s = slash + 1;
  }
}

}  // namespace

String make_landmark(const String& file, int line) {
  if (line == 0) return file;
  String landmark = file;
  const bool bare =
      !file.empty() && (file[file.length() - 1] == ':' ||
                        std::isspace(static_cast<unsigned char>(file[file.length() - 1])));
  if (!bare) landmark += ':';
  return landmark + String(line);
}

void report_redeclaration(ErrorHandler* errh, const char* what, const String& name,
                          const String& landmark, const String& earlier_landmark) {
  errh->landmark_error(landmark, "redeclaration of %s%s%<%s%>", what, what[0] != '\0' ? " " : "",
                       name.c_str());
  errh->landmark_error(earlier_landmark, "%<%s%> previously declared here", name.c_str());
}

// Compound

void* LexerTables::Compound::cast(const char* name) {
  if (name == nullptr) return nullptr;
  if (std::strcmp(name, "Lexer::Compound") == 0 || name_ == name) return this;
  return nullptr;
}

bool LexerTables::Compound::add_connection(int from_element, int from_port, int to_element,
                                           int to_port) {
  if (connections_.size() >= kMaxConnections) return false;
  // A connection to no element would size no port array; the parser only
  // passes resolved elements.
  if (from_element < 0 || from_element >= nelements() || to_element < 0 ||
      to_element >= nelements())
    return true;
  if (from_port < 0) from_port = 0;
  if (to_port < 0) to_port = 0;
  connections_.push_back(Connection{to_element, to_port, from_element, from_port});
  if (ninputs_[to_element] < to_port + 1) ninputs_[to_element] = to_port + 1;
  if (noutputs_[from_element] < from_port + 1) noutputs_[from_element] = from_port + 1;
  return true;
}

bool LexerTables::Compound::has_element(const String& name) {
  return element_map_.find_insert(name, -1)->value >= 0;
}

String LexerTables::Compound::settle_anonymous_name(int e) {
  if (e < 0 || e >= nelements()) return String();
  const String& provisional = names_[e];
  if (provisional.empty() || provisional[0] != ';') return provisional;
  String name = provisional.substring(1);
  if (has_element(name)) {
    int at = name.length() - 1;
    while (at >= 0 && name[at] != '@') --at;
    String prefix = name.substring(0, at + 1);
    int32_t number = 0;
    int status = 0;
    if (!cp_parse_int32(&status, name.substring(at + 1), &number)) number = 0;
    for (long long k = static_cast<long long>(number) + 1;; ++k) {
      name = prefix + String(k);
      if (!has_element(name)) break;
    }
  }
  element_map_.find_insert(name, -1)->value = e;
  names_[e] = name;
  return name;
}

// Class table

Element* LexerTables::compound_factory(uintptr_t) { return nullptr; }

Element* LexerTables::error_element_factory(uintptr_t) { return new ErrorElement; }

LexerTables::LexerTables() {
  add_class("<tunnel>", error_element_factory, 0, false);
  add_class("Error", error_element_factory, 0, false);
}

LexerTables::~LexerTables() {
  clear_tunnels();
  for (const ClassEntry& entry : classes_) {
    if (entry.factory != nullptr) release_compound(entry);
  }
}

int LexerTables::add_class(const String& name, ElementFactory factory, uintptr_t thunk,
                           bool scoped) {
  int index = free_class_;
  if (index >= 0) {
    free_class_ = classes_[index].link;
  } else {
    index = classes_.size();
    classes_.push_back(ClassEntry());
  }
  ClassEntry& entry = classes_[index];
  entry.factory = factory;
  entry.thunk = thunk;
  entry.name = name;
  entry.link = newest_class_ | (scoped ? kScopedBit : 0);
  entry.shadowed = -1;
  if (!name.empty()) {
    auto it = class_map_.find_insert(name, -1);
    if (class_map_marks_ > 0) class_map_journal_.push_back(ClassMapChange{name, it->value});
    entry.shadowed = it->value;
    it->value = index;
  }
  newest_class_ = index;
  if (factory == compound_factory && thunk != 0) ++reinterpret_cast<Compound*>(thunk)->refcount_;
  return index;
}

int LexerTables::class_index(const String& name) {
  auto it = class_map_.find(name);
  return it.live() ? it->value : -1;
}

int LexerTables::find_or_add_class(const String& name, bool report) {
  int index = class_index(name);
  if (index >= 0) return index;
  if (report) parse_error("unknown element class %<%s%>", name.c_str());
  return add_class(name, error_element_factory, 0, true);
}

void LexerTables::release_compound(const ClassEntry& entry) {
  if (entry.factory != compound_factory || entry.thunk == 0) return;
  Compound* compound = reinterpret_cast<Compound*>(entry.thunk);
  if (--compound->refcount_ <= 0) delete compound;
}

int LexerTables::remove_class(int index, int* hint) {
  if (index < 0 || index >= classes_.size() || classes_[index].factory == nullptr) return -1;
  ClassEntry& entry = classes_[index];

  int* word = hint;
  if (word == nullptr || (*word & kLinkMask) != index) {
    word = &newest_class_;
    while ((*word & kLinkMask) != index) {
      const int next = *word & kLinkMask;
      if (next == kNoEntry) return -1;
      word = &classes_[next].link;
    }
  }
  *word = (*word & kScopedBit) | (entry.link & kLinkMask);

  if (!entry.name.empty()) {
    auto it = class_map_.find(entry.name);
    if (it.live() && it->value == index) {
      // Usually the entry it shadowed, still live (entries go newest
      // first), or none; only a shadowed entry removed before is looked for.
      int older = entry.shadowed < 0 ? kNoEntry : entry.shadowed;
      const bool live_shadow =
          older == kNoEntry || (older < classes_.size() && classes_[older].factory != nullptr &&
                                classes_[older].name == entry.name);
      if (!live_shadow) older = entry.link & kLinkMask;
      while (!live_shadow && older != kNoEntry && !(classes_[older].name == entry.name))
        older = classes_[older].link & kLinkMask;
      if (older == kNoEntry)
        class_map_.erase(it);
      else
        it->value = older;
    }
  }

  release_compound(entry);
  entry.factory = nullptr;
  entry.thunk = 0;
  entry.name = String();
  entry.link = free_class_;
  free_class_ = index;
  return 0;
}

void LexerTables::remove_scoped_classes() {
  int* word = &newest_class_;
  while ((*word & kLinkMask) != kNoEntry) {
    const int index = *word & kLinkMask;
    if (classes_[index].scoped()) {
      // The word now refers to the next older entry.
      remove_class(index, word);
      continue;
    }
    word = &classes_[index].link;
  }
}

void LexerTables::class_names(Vector<String>& out) {
  for (auto it = class_map_.begin(); it.live(); ++it) {
    if (it->value >= 0 && !(it->key == "<tunnel>")) out.push_back(it->key);
  }
}

LexerTables::Compound* LexerTables::class_compound(int index) const {
  if (index < 0 || index >= classes_.size()) return nullptr;
  const ClassEntry& entry = classes_[index];
  if (entry.factory != compound_factory) return nullptr;
  return reinterpret_cast<Compound*>(entry.thunk);
}

// Element tables

int LexerTables::find_or_add_element(const String& name, int class_index, const String& config,
                                     const String& file, int line) {
  Compound* c = compound_;
  auto it = c->element_map_.find(name);
  if (it.live() && it->value >= 0) return it->value;

  const int e = c->nelements();
  c->element_map_.find_insert(name, -1)->value = e;
  if (has_all_digit_component(name))
    parse_error("element name %<%s%> has all-digit component", name.c_str());
  c->names_.push_back(name);
  c->configs_.push_back(config);
  c->classes_.push_back(class_index);
  if (!file.empty() || line != 0) {
    c->files_.push_back(file);
    c->lines_.push_back(line);
  } else {
    c->files_.push_back(reader_file_name());
    c->lines_.push_back(reader_line_number());
  }
  c->ninputs_.push_back(0);
  c->noutputs_.push_back(0);
  return e;
}

String LexerTables::anonymous_element_name(const String& class_name) const {
  const int number = compound_->nelements() - compound_->anonymous_offset() + 1;
  return ";" + class_name + "@" + String(number);
}

String LexerTables::element_display_name(int e) const {
  if (compound_ == nullptr || e < 0 || e >= compound_->nelements()) return kNoSuchElement;
  const String& name = compound_->element_name(e);
  if (!name.empty()) return name;
  const int c = compound_->element_class(e);
  const String suffix = "@" + String(e) + ">";
  if (c == kTunnelClass) return "<tunnel" + suffix;
  if (c < 0 || c >= classes_.size() || classes_[c].factory == nullptr) return "<null" + suffix;
  return classes_[c].name + "@" + String(e);
}

String LexerTables::element_position(int e) const {
  if (compound_ == nullptr || e < 0 || e >= compound_->nelements()) return kNoSuchElement;
  String landmark = make_landmark(compound_->element_file(e), compound_->element_line(e));
  return landmark.empty() ? String("<unknown>") : landmark;
}

int LexerTables::parse_error(const char* format, ...) {
  const String landmark = make_landmark(reader_file_name(), reader_line_number());
  va_list val;
  va_start(val, format);
  // Annotated as landmark_error does it: level first, then the landmark.
  reader_errh()->vmessage("<3>" + ErrorHandler::landmark_annotation(landmark), format, val);
  va_end(val);
  return -1;
}

void LexerTables::report_connection_limit(const String& landmark) {
  if (connection_limit_reported_) return;
  connection_limit_reported_ = true;
  reader_errh()->landmark_error(landmark, "too many connections in configuration (at most %d)",
                                kMaxConnections);
}

// Tunnels

void LexerTables::add_tunnel_triple(const String& name, int& element, int& input, int& output) {
  const String names[3] = {name, name + "/input", name + "/output"};
  int indexes[3];
  bool redeclared = false;
  for (int i = 0; i < 3; ++i) {
    const int before = compound_->nelements();
    indexes[i] = find_or_add_element(names[i], kTunnelClass, String(), String(), 0);
    if (indexes[i] >= before || compound_->element_class(indexes[i]) == kTunnelClass) continue;
    report_redeclaration(reader_errh(), "element", names[i],
                         make_landmark(reader_file_name(), reader_line_number()),
                         element_position(indexes[i]));
    redeclared = true;
  }
  element = indexes[0];
  input = indexes[1];
  output = indexes[2];
  // Class bodies get their endpoints when the class is placed.
  if (redeclared || compound_->anonymous_offset() != 0) return;

  TunnelEndpoint* ends[4] = {
      find_tunnel_endpoint(element, 0, false, true),
      find_tunnel_endpoint(input, 0, true, true),
      find_tunnel_endpoint(output, 0, false, true),
      find_tunnel_endpoint(element, 0, true, true),
  };
  for (TunnelEndpoint* end : ends) {
    if (end->partner == nullptr) continue;
    report_redeclaration(reader_errh(), "connection tunnel", compound_->element_name(end->element),
                         make_landmark(reader_file_name(), reader_line_number()),
                         element_position(end->element));
    return;
  }
  ends[0]->partner = ends[1];
  ends[1]->partner = ends[0];
  ends[2]->partner = ends[3];
  ends[3]->partner = ends[2];
}

LexerTables::TunnelEndpoint* LexerTables::indexed_endpoint(int element, int port,
                                                           bool output) const {
  auto it = const_cast<HashTable<TunnelKey, TunnelEndpoint*>&>(endpoint_index_)
                .find(TunnelKey{element, port, output});
  return it.live() ? it->value : nullptr;
}

bool LexerTables::has_tunnel_endpoint(int element, int port, bool output) const {
  if (indexed_endpoint(element, port, output) != nullptr) return true;
  const TunnelEndpoint* port0 = port != 0 ? indexed_endpoint(element, 0, output) : nullptr;
  return port0 != nullptr && port0->partner != nullptr;
}

LexerTables::TunnelEndpoint* LexerTables::find_tunnel_endpoint(int element, int port, bool output,
                                                               bool create) {
  if (TunnelEndpoint* found = indexed_endpoint(element, port, output)) return found;
  // An unpaired port-0 end (its tunnel was refused) carries nothing.
  TunnelEndpoint* port0 = port != 0 ? indexed_endpoint(element, 0, output) : nullptr;
  if (!create && (port0 == nullptr || port0->partner == nullptr)) return nullptr;

  int lo = 0;
  int hi = tunnels_.size();
  while (lo < hi) {
    const int mid = lo + (hi - lo) / 2;
    if (tunnels_[mid].element < element)
      lo = mid + 1;
    else
      hi = mid;
  }
  if (lo == tunnels_.size() || tunnels_[lo].element != element)
    tunnels_.insert(tunnels_.begin() + lo, TunnelList{element, nullptr});

  TunnelEndpoint* ep = new TunnelEndpoint;
  ep->element = element;
  ep->port = port;
  ep->output = output;
  ep->next = tunnels_[lo].head;
  tunnels_[lo].head = ep;
  endpoint_index_.find_insert(TunnelKey{element, port, output}, ep)->value = ep;
  if (create) return ep;

  // A tunnel made for port 0 carries every port to the same port of its
  // partner; the recursive call finds `ep` already in place and pairs it.
  TunnelEndpoint* partner = find_tunnel_endpoint(port0->partner->element, port, !output, false);
  ep->partner = partner;
  if (partner != nullptr) partner->partner = ep;
  return ep;
}

void LexerTables::clear_tunnels() {
  for (TunnelList& list : tunnels_) {
    while (list.head != nullptr) {
      TunnelEndpoint* next = list.head->next;
      delete list.head;
      list.head = next;
    }
  }
  tunnels_.clear();
  for (auto it = endpoint_index_.begin(); it.live();) it = endpoint_index_.erase(it);
}
