// The statement parser: element declarations, chains, groups, "require" and
// "define". Class definitions are in lexer_compound.cc.
#include <sys/stat.h>

#include <cstdint>

#include "graph/confparse.h"
#include "graph/error_handler.h"
#include "graph/lexer.h"
#include "graph/router_file.h"

namespace {

// Offset of the last '/' in `text`, or -1.
int last_slash(const String& text) {
  for (int i = text.length() - 1; i >= 0; --i)
    if (text[i] == '/') return i;
  return -1;
}

bool is_connector(int kind) { return kind == Lexer::kArrow || kind == Lexer::kDoubleArrow; }

int next_record(const Vector<int>& section, int r) {
  return r + 3 + section[r + 1] + section[r + 2];
}

// True when a record of `section` has entries on the given side.
bool any_side_entries(const Vector<int>& section, bool outputs) {
  for (int r = 0; r < section.size(); r = next_record(section, r)) {
    if (section[r + (outputs ? 2 : 1)] > 0) return true;
  }
  return false;
}

int count_records(const Vector<int>& section) {
  int n = 0;
  for (int r = 0; r < section.size(); r = next_record(section, r)) ++n;
  return n;
}

// "$" followed only by letters, digits and '_', at least one of them.
bool is_variable_word(const String& word) {
  if (word.length() < 2 || word[0] != '$') return false;
  for (int i = 1; i < word.length(); ++i) {
    const char c = word[i];
    const bool ok =
        (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
    if (!ok) return false;
  }
  return true;
}

}  // namespace

Lexer::FileId Lexer::file_id(const String& path) {
  struct stat st;
  if (path.empty() || ::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return FileId();
  return FileId{true, static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
}

void LexerExtra::require(const String&, const String&, ErrorHandler*) {}

Lexer::~Lexer() { finish_parse(kNoEntry); }

int Lexer::start_parse(const String& text, const String& file_name, LexerExtra* extra,
                       ErrorHandler* errh) {
  while (level_ != nullptr) pop_level();
  open_text(text, file_name);
  compact_ = false;
  delete top_;
  top_ = new Compound(String());
  compound_ = top_;
  push_level(ParseLevel::kFile, 0);
  extra_ = extra;
  set_error_handler(errh);
  expansion_budget_ = VariableExpansionLimit(errh_);
  nesting_reported_ = false;
  library_ids_.clear();
  library_depth_ = 0;
  if (const FileId id = file_id(file_name); id.known) library_ids_.push_back(id);
  reset_connection_limit();
  forget_class_map_marks();
  return newest_class_;
}

void Lexer::finish_parse(int cookie) {
  forget_class_map_marks();
  int* word = &newest_class_;
  while ((*word & kLinkMask) != kNoEntry && (*word & kLinkMask) != cookie) {
    const int index = *word & kLinkMask;
    if (classes_[index].scoped()) {
      remove_class(index, word);
      continue;
    }
    word = &classes_[index].link;
  }
  clear_tunnels();
  while (level_ != nullptr) pop_level();
  delete top_;
  top_ = nullptr;
  compound_ = nullptr;
  requirements_.clear();
  libraries_.clear();
  library_ids_.clear();
  library_depth_ = 0;
  open_text(String(), String());
  extra_ = nullptr;
  pushed_[0] = pushed_[1] = Token();
  npushed_ = 0;
  set_error_handler(nullptr);
}

void Lexer::push_level(int kind, int state) {
  ParseLevel* level = new ParseLevel;
  level->kind = kind;
  level->state = state;
  level->parent = level_;
  level->depth = level_ != nullptr ? level_->depth + 1 : 0;
  level_ = level;
}

void Lexer::free_level(ParseLevel* level) {
  while (level->pending_head != nullptr) {
    PendingElement* next = level->pending_head->next;
    delete level->pending_head;
    level->pending_head = next;
  }
  delete level->first;
  delete level->body;
  delete level;
}

void Lexer::pop_level() {
  ParseLevel* level = level_;
  level_ = level->parent;
  // A body cut short leaves its compound current; its definition's
  // enclosing compound is the one to go back to.
  if (level->body != nullptr && compound_ == level->body && level_ != nullptr)
    compound_ = level_->enclosing;
  free_level(level);
}

void Lexer::report_syntax_error(const Token& token) {
  parse_error("syntax error near %<%#s%>", token.text.c_str());
}

void Lexer::parse_step() {
  if (level_ == nullptr) return;
  switch (level_->state) {
    case 0:
      parse_statement_start();
      return;
    case 1:
      start_section();
      return;
    case 2:
      parse_element();
      return;
    case 3:
      close_section();
      return;
    case 4:
      parse_connector();
      return;
    case 5:
      end_chain();
      return;
    default:
      parse_class_alternative();
      return;
  }
}

void Lexer::parse_statement_start() {
  ParseLevel* l = level_;
  const Token t = read_token();
  switch (t.kind) {
    case kEnd:
      if (l->kind == ParseLevel::kGroup) {
        parse_error("expected %<)%>");
        close_group();
      } else if (l->kind == ParseLevel::kClassBody) {
        parse_error("expected %<}%>");
        close_class_alternative(kEnd);
      } else {
        pop_level();
      }
      return;
    case '(':
    case '[':
    case '{':
    case kIdentifier:
    case kArrow:
    case kDoubleArrow:
      push_back_token(t);
      l->state = 1;
      return;
    case ')':
      if (l->kind == ParseLevel::kGroup) {
        close_group();
        return;
      }
      report_syntax_error(t);
      return;
    case ';':
      return;
    case '}':
    case kDoubleBar:
      if (l->kind == ParseLevel::kClassBody) {
        close_class_alternative(t.kind);
        return;
      }
      report_syntax_error(t);
      // The enclosing level may be the body this token closes.
      if (l->kind == ParseLevel::kGroup) {
        push_back_token(t);
        close_group();
      }
      return;
    case kElementclass:
      parse_class_statement();
      return;
    case kRequire:
      parse_require();
      return;
    case kDefine:
      parse_define();
      return;
    default:
      report_syntax_error(t);
      return;
  }
}

void Lexer::start_section() {
  ParseLevel* l = level_;
  while (l->pending_head != nullptr) {
    PendingElement* next = l->pending_head->next;
    delete l->pending_head;
    l->pending_head = next;
  }
  l->pending_tail = nullptr;
  l->implicit = false;
  l->ports = false;
  l->section.clear();
  l->state = 2;
}

void Lexer::parse_element() {
  ParseLevel* l = level_;
  const int mark = l->section.size();
  l->mark = mark;
  l->section.push_back(-1);
  l->section.push_back(0);
  l->section.push_back(0);
  parse_port_list(l->section, mark, false);

  const Token t = read_token();
  if (t.kind == kIdentifier) {
    l->name = t.text;
    parse_element_declaration(class_index(t.text), true, false);
    return;
  }
  if (t.kind == '{') {
    l->name = String();
    l->state = 6;
    open_class_definition();
    return;
  }
  if (t.kind == '(') {
    l->name = anonymous_element_name(String());
    open_group();
    return;
  }

  // "input" and "output" may be left out where a body or group has them.
  const bool allowed = l->parent != nullptr;
  const bool inputs = l->section[mark + 1] > 0;
  const bool first = mark == 0;
  const bool has_left = !l->left_section.empty();
  bool implicit = false;
  if (allowed) {
    if (is_connector(t.kind) && !has_left && (inputs || first)) {
      implicit = true;
      if (!inputs && !l->ends_at_output) {
        errh_->landmark_warning(landmark(),
                                "suggest %<input %s%> or %<[0] %s%> to start connection",
                                t.text.c_str(), t.text.c_str());
      }
    } else if (t.kind == ',' && inputs) {
      implicit = true;
    } else if (t.kind != kDoubleColon && has_left && (inputs || first)) {
      implicit = true;
    }
  }
  if (implicit) {
    l->name = String(has_left ? "output" : "input");
    l->implicit = true;
    // Ports written before the arrow are the outputs of "input".
    if (!has_left) {
      const int a = l->section[mark + 1];
      l->section[mark + 1] = l->section[mark + 2];
      l->section[mark + 2] = a;
    }
    push_back_token(t);
    parse_element_declaration(class_index(l->name), false, true);
    return;
  }

  if (inputs) parse_error("stranded port ignored");
  l->section.resize(mark);
  if (mark > 0) {
    l->state = 3;
    return;
  }
  l->state = 5;
  if (allowed && !has_left) {
    push_back_token(t);
    return;
  }
  report_syntax_error(t);
}

void Lexer::parse_element_declaration(int class_of_name, bool bare, bool implicit) {
  ParseLevel* l = level_;
  PendingElement* p = new PendingElement;
  p->name = l->name;
  p->class_of_name = class_of_name;
  p->bare = bare;
  p->file_name = input_.file_name;
  p->line = input_.line;
  if (l->pending_tail != nullptr)
    l->pending_tail->next = p;
  else
    l->pending_head = p;
  l->pending_tail = p;

  Token t = read_token();
  if (t.kind == kDoubleColon && !implicit) {
    p->bare = false;
    t = read_token();
    if (t.kind == kIdentifier) {
      p->declared_class = find_or_add_class(t.text, true);
      t = read_token();
    } else if (t.kind == '{') {
      l->name = String();
      l->state = 7;
      open_class_definition();
      return;
    } else {
      parse_error("missing element type in declaration");
      p->declared_class = find_or_add_class(p->name, true);
    }
  }
  push_back_token(t);
  parse_element_suffix(implicit);
}

void Lexer::parse_element_suffix(bool implicit) {
  ParseLevel* l = level_;
  PendingElement* p = l->pending_tail;
  Token t = read_token();
  if (t.kind == '(' && !implicit) {
    auto it = compound_->element_map().find(p->name);
    if (it.live() && it->value >= 0)
      parse_error("configuration string ignored on element reference");
    p->config = read_config_text();
    expect_token(')', false);
    p->bare = false;
    t = read_token();
  }
  push_back_token(t);
  const int mark = l->mark;
  if (t.kind == '[' && !implicit) {
    l->section.resize(mark + 3 + l->section[mark + 1]);
    l->section[mark + 2] = 0;
    parse_port_list(l->section, mark, true);
  }
  if (l->section[mark + 1] > 0 || l->section[mark + 2] > 0) l->ports = true;
  l->state = 3;
}

void Lexer::close_section() {
  ParseLevel* l = level_;
  const Token t = read_token();
  if (t.kind == ',') {
    l->state = 2;
    return;
  }
  push_back_token(t);
  const bool has_left = !l->left_section.empty();
  if (l->implicit && has_left && is_connector(t.kind))
    parse_error("implicit ports used in the middle of a chain");

  // «a, b, c :: Print(10)» declares all three alike.
  if (!has_left && !is_connector(t.kind) && !l->ports && !l->implicit &&
      count_records(l->section) > 1) {
    PendingElement* last = l->pending_tail;
    bool share = last != nullptr && last->declared_class != 0;
    for (PendingElement* p = l->pending_head; share && p != last; p = p->next) share = p->bare;
    for (PendingElement* p = l->pending_head; share && p != last; p = p->next) {
      p->declared_class = last->declared_class;
      p->config = last->config;
    }
  }
  resolve_pending();
  l->state = 4;
}

void Lexer::resolve_pending() {
  ParseLevel* l = level_;
  int r = 0;
  while (l->pending_head != nullptr) {
    PendingElement* p = l->pending_head;
    const String where = make_landmark(p->file_name, p->line);
    auto it = compound_->element_map().find(p->name);
    const int existing = it.live() ? it->value : -1;
    int index;
    if (p->class_of_name >= 0 || existing < 0) {
      int class_of_name = p->class_of_name;
      if (p->declared_class < 0) {
        if (class_of_name < 0) {
          errh_->landmark_error(where, "undeclared element %<%s%>", p->name.c_str());
          class_of_name = find_or_add_class(p->name, false);
        }
      } else if (class_of_name >= 0) {
        errh_->landmark_error(where, "class %<%s%> used as element name", p->name.c_str());
      }
      if (class_of_name >= 0) {
        index = find_or_add_element(anonymous_element_name(p->name), class_of_name, p->config,
                                    p->file_name, p->line);
      } else {
        index = find_or_add_element(p->name, p->declared_class, p->config, p->file_name, p->line);
      }
    } else {
      index = existing;
      if (p->declared_class >= 0) {
        errh_->landmark_error(where, "redeclaration of element %<%s%>", p->name.c_str());
        if (compound_->element_class(index) != kTunnelClass) {
          errh_->landmark_error(element_position(index), "element %<%s%> previously declared here",
                                p->name.c_str());
        }
      }
    }
    if (r < l->section.size()) {
      l->section[r] = index;
      r = next_record(l->section, r);
    }
    l->pending_head = p->next;
    delete p;
  }
  l->pending_tail = nullptr;
}

void Lexer::parse_connector() {
  ParseLevel* l = level_;
  if (!l->left_section.empty())
    connect_sections(l->left_section, l->section, l->connector);
  else if (any_side_entries(l->section, false))
    parse_error("input ports ignored at start of chain");
  l->left_section = l->section;
  l->section.clear();

  while (true) {
    const Token t = read_token();
    switch (t.kind) {
      case kEnd:
      case ';':
        l->state = 5;
        return;
      case ')':
      case '[':
      case '{':
      case '}':
      case kIdentifier:
      case kDoubleBar:
      case kElementclass:
      case kRequire:
      case kProvide:
      case kDefine:
        push_back_token(t);
        l->state = 5;
        return;
      case ',':
      case kDoubleColon:
        report_syntax_error(t);
        continue;
      case kArrow:
      case kDoubleArrow:
        l->connector = t.kind;
        l->state = 1;
        return;
      default:
        report_syntax_error(t);
        if (t.kind >= 256) push_back_token(t);
        l->state = 5;
        return;
    }
  }
}

void Lexer::end_chain() {
  ParseLevel* l = level_;
  if (any_side_entries(l->left_section, true)) parse_error("output ports ignored at end of chain");
  bool at_output = false;
  if (l->left_section.size() >= 3 && next_record(l->left_section, 0) == l->left_section.size()) {
    auto it = compound_->element_map().find(String("output"));
    at_output = it.live() && it->value >= 0 && it->value == l->left_section[0];
  }
  l->ends_at_output = at_output;
  l->left_section.clear();
  l->state = 0;
}

void Lexer::open_group() {
  ParseLevel* l = level_;
  int element = 0;
  int input = 0;
  int output = 0;
  add_tunnel_triple(l->name, element, input, output);
  HashTable<String, int>& map = compound_->element_map();
  int* in = &map.find_insert(String("input"), -1)->value;
  int* out = &map.find_insert(String("output"), -1)->value;
  l->section.push_back(*in);
  l->section.push_back(*out);
  *in = input;
  *out = output;

  push_level(ParseLevel::kGroup, 0);
  if (level_->depth >= kMaxNestingDepth) {
    // Said once per parse: every deeper level would say it again.
    if (!nesting_reported_) parse_error("maximum element group nesting depth exceeded");
    nesting_reported_ = true;
    close_group();
  }
}

void Lexer::close_group() {
  pop_level();
  ParseLevel* l = level_;
  // The group's own level reused its name field for its elements.
  const String name = l->name;
  const String display = name.length() > 0 && name[0] == ';' ? String("<anonymous group>") : name;

  HashTable<String, int>& map = compound_->element_map();
  int* in = &map.find_insert(String("input"), -1)->value;
  int* out = &map.find_insert(String("output"), -1)->value;
  int ninputs = 0;
  int noutputs = 0;
  {
    LandmarkErrorHandler lerrh(errh_, landmark());
    if (*in >= 0) ninputs = compound_->count_pseudoelement_ports(*in, false, display, &lerrh);
    if (*out >= 0) noutputs = compound_->count_pseudoelement_ports(*out, true, display, &lerrh);
  }
  const int n = l->section.size();
  *in = l->section[n - 2];
  *out = l->section[n - 1];
  l->section.resize(n - 2);

  // Output entries come after "[...]" following ")", so the record ends the
  // section here.
  const int mark = l->mark;
  if (l->section[mark + 1] == 0) {
    for (int p = 0; p < ninputs; ++p) l->section.push_back(p);
    l->section[mark + 1] = ninputs;
  }
  if (l->section[mark + 2] == 0) {
    for (int p = 0; p < noutputs; ++p) l->section.push_back(p);
    l->section[mark + 2] = noutputs;
  }
  parse_element_declaration(-1, false, false);
}

void Lexer::parse_require() {
  if (!expect_token('(', false)) return;
  const String text = read_config_text();
  expect_token(')', false);
  expect_token(';', true);

  Vector<String> arguments;
  cp_split_arguments(text, &arguments);
  for (const String& argument : arguments) {
    if (argument.empty()) continue;
    Vector<String> words;
    cp_split_words(argument, &words);
    if (words.empty()) continue;
    String type;
    if (!cp_parse_word(words[0], &type)) type = String();
    const bool known = type == "compact_config" || type == "package" || type == "library";
    String value;
    if (!type.empty() && !known && words.size() == 1) {
      record_requirement(String("package"), type);
    } else if (type == "compact_config" && words.size() == 1) {
      compact_ = true;
      record_requirement(type, String());
    } else if (type == "package" && words.size() == 2 && cp_parse_word(words[1], &value)) {
      record_requirement(type, value);
    } else if (type == "library" && words.size() == 2 && cp_parse_word(words[1], &value)) {
      include_library(value);
    } else {
      parse_error("syntax error at requirement");
    }
  }
}

void Lexer::record_requirement(const String& type, const String& value) {
  if (extra_ != nullptr) extra_->require(type, value, errh_);
  requirements_.push_back(type);
  requirements_.push_back(value);
}

void Lexer::include_library(const String& name) {
  if (compound_ != top_) {
    parse_error("%<require library%> must be used at file scope");
    return;
  }
  const String& file = input_.file_name;
  const int slash = last_slash(file);
  const String directory = slash > 0 ? file.substring(0, slash) : String(".");
  const String path = find_library_file(name, directory);
  if (path.empty()) {
    parse_error("library %<%#s%> not found in GRAPHPATH/conf", name.c_str());
    return;
  }
  // A library is the file, whatever path reaches it ("./self.graph",
  // "././self.graph"); the text being read counts as read.
  for (const String& seen : libraries_)
    if (seen == path) return;
  const FileId id = file_id(path);
  if (id.known) {
    for (const FileId& seen : library_ids_)
      if (seen.device == id.device && seen.inode == id.inode) return;
  }
  if (library_depth_ >= kMaxLibraryDepth) {
    parse_error("library %<%#s%> nested too deeply (at most %d levels)", name.c_str(),
                kMaxLibraryDepth);
    return;
  }
  libraries_.push_back(path);
  if (id.known) library_ids_.push_back(id);

  LandmarkErrorHandler lerrh(errh_, landmark());
  const int before = lerrh.error_count();
  const String text = read_whole_file(path, &lerrh);
  if (lerrh.error_count() > before) return;

  // The library is read as a text of its own into the top level; the
  // including text resumes where it was.
  const InputText saved_input = input_;
  ParseLevel* saved_level = level_;
  level_ = nullptr;
  open_text(text, path);
  push_level(ParseLevel::kFile, 0);
  ++library_depth_;
  while (level_ != nullptr) parse_step();
  --library_depth_;
  input_ = saved_input;
  level_ = saved_level;
}

void Lexer::parse_define() {
  if (!expect_token('(', false)) return;
  const String text = read_config_text();
  expect_token(')', false);

  Vector<String> arguments;
  cp_split_arguments(text, &arguments);
  for (const String& argument : arguments) {
    if (argument.empty()) continue;
    String rest = argument;
    const String word = cp_pop_word(&rest);
    if (!is_variable_word(word)) {
      parse_error("bad %<define%> declaration: not a variable");
      continue;
    }
    const String name = word.substring(1);
    if (!compound_->scope().bind(name, rest, false))
      parse_error("parameter %<$%s%> multiply defined", name.c_str());
  }
}
