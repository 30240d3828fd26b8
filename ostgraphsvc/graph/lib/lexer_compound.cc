// Compound element classes: their definition in the statement parser,
// parameters, port counting, the choice among alternatives and the
// variables of one use.
#include <cstdint>

#include "graph/argument_types.h"
#include "graph/error_handler.h"
#include "graph/lexer.h"
#include "graph/variable_environment.h"

namespace {

// Parameters whose keyword is this collect the arguments left over.
constexpr char kRestKeyword[] = "__REST__";

}  // namespace

// Class name map marks

LexerTables::ClassMapMark LexerTables::mark_class_map() {
  ++class_map_marks_;
  return ClassMapMark{class_map_journal_.size()};
}

void LexerTables::restore_class_map(const ClassMapMark& mark) {
  if (mark.position < 0) return;
  for (int i = class_map_journal_.size() - 1; i >= mark.position; --i) {
    const ClassMapChange& change = class_map_journal_[i];
    auto it = class_map_.find(change.name);
    if (change.previous >= 0)
      class_map_.find_insert(change.name, change.previous)->value = change.previous;
    else if (it.live())
      class_map_.erase(it);
  }
  class_map_journal_.resize(mark.position);
}

int LexerTables::class_index_at(const ClassMapMark& mark, const String& name) {
  for (int i = mark.position < 0 ? class_map_journal_.size() : mark.position;
       i < class_map_journal_.size(); ++i) {
    if (class_map_journal_[i].name == name) return class_map_journal_[i].previous;
  }
  return class_index(name);
}

void LexerTables::release_class_map(ClassMapMark& mark) {
  if (mark.position < 0) return;
  mark.position = -1;
  if (--class_map_marks_ > 0) return;
  class_map_marks_ = 0;
  class_map_journal_.clear();
}

// Compound: the class role

String LexerTables::Compound::display_name() const {
  return name_.empty() ? String("<anonymous>") : name_;
}

void LexerTables::Compound::add_parameter(const String& variable, const String& keyword,
                                          ErrorHandler* errh, const String& landmark) {
  if (!scope_.bind(variable, keyword, false)) {
    errh->landmark_error(landmark, "parameter %<$%s%> multiply defined", variable.c_str());
    return;
  }
  nparameters_ = scope_.size();
  const int last = nparameters_ - 1;
  if (!keyword.empty()) {
    for (int j = 0; j < last; ++j) {
      if (scope_.value(j) != keyword) continue;
      errh->landmark_error(landmark, "repeated keyword parameter %<%s%> in compound element",
                           keyword.c_str());
      break;
    }
  }
  if (order_error_ || nparameters_ < 2) return;
  const String& previous = scope_.value(last - 1);
  const bool out_of_order = keyword.empty() ? !previous.empty() : previous == kRestKeyword;
  if (!out_of_order) return;
  errh->landmark_error(landmark,
                       "compound element parameters out of order\n(The correct order is "
                       "%<[positional], [keywords], [__REST__]%>.)");
  order_error_ = true;
}

int LexerTables::Compound::count_pseudoelement_ports(int e, bool output_side,
                                                     const String& display_name,
                                                     ErrorHandler* errh) {
  if (e < 0 || e >= nelements()) return 0;
  const char* side = output_side ? "output" : "input";
  const char* other = output_side ? "input" : "output";
  const int n = output_side ? ninputs_[e] : noutputs_[e];
  if ((output_side ? noutputs_[e] : ninputs_[e]) > 0) {
    errh->error("%<%s%> pseudoelement %<%s%> may only be used as %s", display_name.c_str(), side,
                other);
  }
  Vector<char> used;
  used.resize(n, 0);
  for (const Connection& c : connections_) {
    const int element = output_side ? c.to_element : c.from_element;
    const int port = output_side ? c.to_port : c.from_port;
    if (element == e && port < n) used[port] = 1;
  }
  // One high port number leaves every port below it missing: name a few.
  int reported = 0;
  int more = 0;
  for (int port = 0; port < n; ++port) {
    if (used[port]) continue;
    if (reported++ < kMaxUnusedPortReports)
      errh->error("%<%s%> %s %d missing", display_name.c_str(), side, port);
    else
      ++more;
  }
  if (more > 0) errh->error("%<%s%> %d more %ss missing", display_name.c_str(), more, side);
  return n;
}

void LexerTables::Compound::complete(ErrorHandler* errh) {
  LandmarkErrorHandler lerrh(errh, landmark_);
  const String display = display_name();
  ninputs_class_ = count_pseudoelement_ports(0, false, display, &lerrh);
  noutputs_class_ = count_pseudoelement_ports(1, true, display, &lerrh);
  for (int e = 0; e < nelements(); ++e) {
    if (names_[e].length() > 0 && names_[e][0] == ';') settle_anonymous_name(e);
  }
}

String LexerTables::Compound::signature_text(const String& name, const String* keywords,
                                             int nkeywords, int narguments, int ninputs,
                                             int noutputs) {
  String text = name.empty() ? String("<anonymous>") : name;
  if (keywords != nullptr && nkeywords > 0) {
    text += "(";
    for (int i = 0; i < nkeywords; ++i) {
      if (i > 0) text += ", ";
      if (keywords[i].empty())
        text += "<arg>";
      else if (keywords[i] == kRestKeyword)
        text += "...";
      else
        text += keywords[i];
    }
    text += ")";
  }
  text += "[";
  if (keywords == nullptr && narguments > 0)
    text += String(narguments) + (narguments == 1 ? " argument, " : " arguments, ");
  text += String(ninputs) + (ninputs == 1 ? " input, " : " inputs, ");
  text += String(noutputs) + (noutputs == 1 ? " output" : " outputs");
  text += "]";
  return text;
}

int LexerTables::Compound::select_alternative(const LexerTables& tables, int index, int ninputs,
                                              int noutputs, Vector<String>& arguments,
                                              ErrorHandler* errh, const String& landmark) {
  const Compound* c = this;
  int closest = -1;
  const Compound* closest_compound = nullptr;
  int passed = 0;
  // Alternatives chain to later entries and "..." to earlier complete ones,
  // so the walk ends; the bound only guards against a corrupted table.
  for (int guard = tables.nclass_entries(); guard >= 0; --guard) {
    ++passed;
    const String* formals = c->parameter_keywords();
    const int nformals = c->nparameters();
    if (c->ninputs() == ninputs && c->noutputs() == noutputs &&
        cp_distribute_arguments(arguments, formals, formals + nformals, &arguments) == 0)
      return index;
    if (cp_distribute_arguments(arguments, formals, formals + nformals) == 0) {
      closest = index;
      closest_compound = c;
    }
    const int next = c->next_alternative();
    if (next < 0) break;
    const Compound* nc = tables.class_compound(next);
    if (nc == nullptr) return next;
    c = nc;
    index = next;
  }

  if (passed > 1 || closest < 0) {
    errh->landmark_error(
        landmark, "no match for %<%s%>",
        signature_text(name_, nullptr, 0, arguments.size(), ninputs, noutputs).c_str());
    ContextErrorHandler cerrh(errh, "candidates are:");
    int guard = tables.nclass_entries();
    for (const Compound* a = this; a != nullptr && guard >= 0; --guard) {
      cerrh.landmark_message(a->landmark_, "%s",
                             signature_text(a->name_, a->parameter_keywords(), a->nparameters(), 0,
                                            a->ninputs(), a->noutputs())
                                 .c_str());
      a = a->next_alternative() >= 0 ? tables.class_compound(a->next_alternative()) : nullptr;
    }
  }
  if (closest < 0) return -1;
  const String* formals = closest_compound->parameter_keywords();
  cp_distribute_arguments(arguments, formals, formals + closest_compound->nparameters(),
                          &arguments);
  return closest;
}

VariableEnvironment LexerTables::Compound::make_use_environment(
    VariableEnvironment* caller, const Vector<String>& arguments,
    VariableExpansionLimit* limit) const {
  VariableExpansionLimit own(nullptr);
  if (limit == nullptr) limit = &own;
  VariableEnvironment* parent = caller;
  while (parent != nullptr && parent->depth() >= scope_.depth()) parent = parent->parent();
  VariableEnvironment env(parent);
  for (int j = 0; j < nparameters_; ++j)
    env.bind(scope_.name(j), j < arguments.size() ? arguments[j] : String(), true);
  // A definition may use the parameters and the definitions before it.
  for (int j = nparameters_; j < scope_.size(); ++j)
    env.bind(scope_.name(j), expand_variables(scope_.value(j), env, 0, *limit), true);
  return env;
}

// The parser's class definition states

void Lexer::parse_class_statement() {
  ParseLevel* l = level_;
  Token t = read_token();
  String name;
  if (t.kind == kIdentifier) {
    name = t.text;
  } else {
    push_back_token(t);
    parse_error("expected element type name");
  }

  t = read_token();
  if (t.kind == '{') {
    l->name = name;
    l->state = 8;
    open_class_definition();
    return;
  }
  if (t.kind == kIdentifier) {
    const int c = find_or_add_class(t.text, true);
    const ElementFactory factory = classes_[c].factory;
    const uintptr_t thunk = classes_[c].thunk;
    add_class(name, factory, thunk, true);
    return;
  }
  report_syntax_error(t);
  add_class(name, error_element_factory, 0, true);
}

void Lexer::open_class_definition() {
  ParseLevel* l = level_;
  l->saved_classes = mark_class_map();
  l->enclosing = compound_;
  l->first = nullptr;
  l->last = nullptr;
  l->extended_class = -1;
  parse_class_alternative();
}

void Lexer::parse_class_alternative() {
  ParseLevel* l = level_;
  Token t = read_token();
  if (t.kind == kEllipsis) {
    int extended = class_index_at(l->saved_classes, l->name);
    if (extended < 0) {
      parse_error("cannot extend unknown element class %<%s%>", l->name.c_str());
      extended = add_class(l->name, error_element_factory, 0, true);
    }
    l->extended_class = extended;
    t = read_token();
    if (l->last == nullptr || t.kind != '}') {
      parse_error("%<...%> should occur last, after one or more compounds");
      push_back_token(t);
      return;
    }
    end_class_definition();
    return;
  }

  // The level owns the body from its making on.
  const String where = landmark();
  push_level(ParseLevel::kClassBody, 0);
  Compound* c = new Compound(l->name, where, &l->enclosing->scope());
  level_->body = c;
  compound_ = c;
  find_or_add_element(String("input"), kTunnelClass, String(), String(), 0);
  find_or_add_element(String("output"), kTunnelClass, String(), String(), 0);
  c->set_anonymous_offset(2);
  push_back_token(t);
  parse_class_parameters(c);
  if (level_->depth >= kMaxNestingDepth) {
    // Said once per parse: every deeper level would say it again.
    if (!nesting_reported_) parse_error("maximum compound element nesting depth exceeded");
    nesting_reported_ = true;
    close_class_alternative(kEnd);
  }
}

void Lexer::parse_class_parameters(Compound* c) {
  while (true) {
    const Token t1 = read_token();
    String variable;
    String keyword;
    if (t1.kind == kIdentifier) {
      const Token t2 = read_token();
      if (t2.kind != kVariable) {
        if (c->nparameters() > 0) parse_error("expected variable");
        push_back_token(t2);
        push_back_token(t1);
        return;
      }
      keyword = t1.text;
      variable = t2.text;
    } else if (t1.kind == kVariable) {
      variable = t1.text;
    } else if (t1.kind == '|') {
      return;
    } else {
      if (c->nparameters() > 0) parse_error("expected variable");
      push_back_token(t1);
      return;
    }
    c->add_parameter(variable, keyword, errh_, landmark());

    const Token t3 = read_token();
    if (t3.kind == '|') return;
    if (t3.kind == ',') continue;
    parse_error("expected %<,%> or %<|%>");
    push_back_token(t3);
    return;
  }
}

void Lexer::close_class_alternative(int token_kind) {
  Compound* c = level_->body;
  level_->body = nullptr;
  pop_level();
  ParseLevel* l = level_;
  // Classes defined inside the body are not visible by name outside it.
  restore_class_map(l->saved_classes);
  compound_ = l->enclosing;
  c->complete(errh_);
  if (l->last != nullptr) {
    const int index = add_class(l->name, compound_factory, reinterpret_cast<uintptr_t>(c), true);
    l->last->set_next_alternative(index);
  } else {
    l->first = c;
  }
  l->last = c;
  if (token_kind == kDoubleBar) return;
  end_class_definition();
}

void Lexer::end_class_definition() {
  ParseLevel* l = level_;
  l->last->set_next_alternative(l->extended_class);
  const int index =
      add_class(l->name, compound_factory, reinterpret_cast<uintptr_t>(l->first), true);
  l->first = nullptr;
  l->last = nullptr;
  release_class_map(l->saved_classes);
  if (l->state == 6) {
    l->name = classes_[index].name;
    parse_element_declaration(index, false, false);
    return;
  }
  if (l->state == 7) {
    l->pending_tail->declared_class = index;
    parse_element_suffix(false);
    return;
  }
  l->state = 0;
}
