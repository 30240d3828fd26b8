// Variables of configuration text and their replacement.
//
// A graph file's configuration strings may use variables: "$name", "${name}"
// (with an optional word index "${name[2]}" and default "${name-text}"),
// "$(...)", and the one-character names "$?", "$#" and "$$". Values come
// from the parameters of compound classes and from "define" statements, kept
// in `VariableEnvironment` scopes linked from the innermost outward. The
// parents of a scope are not owned and must outlive it.
//
// `expand_variables` replaces the variables of a text. Variables inside
// single quotes are left alone; inside double quotes an expansion is escaped
// so that it stays one quoted string; "//" and "/*" comments are skipped.
// Names that no scope knows stay as written. Values are themselves expanded,
// which is how one variable can be written in terms of another; two limits
// keep that finite:
//   - nesting stops at depth 10 (a value that names itself stays partly
//     unreplaced);
//   - one replacement, with everything nested in it, may neither assemble a
//     text larger than `kVariableResultLimit` nor do more than
//     `kVariableWorkLimit` bytes of scanning and copying. Past either, the
//     variables not yet replaced stay as written and "variable expansion too
//     large" is reported once through the error handler given, at the
//     limit's landmark when it has one. A reader shares one limit among all
//     the replacements of a graph, so that the graph as a whole is bounded.
// A text without "$" is returned as the same String, without copying.
//
// Not thread-safe; scopes are used by the thread that reads configurations.
#ifndef GRAPH_VARIABLE_ENVIRONMENT_H_
#define GRAPH_VARIABLE_ENVIRONMENT_H_

#include <cstdint>

#include "graph/string.h"
#include "graph/vector.h"

class ErrorHandler;

inline constexpr int kVariableMaxDepth = 10;
inline constexpr int kVariableResultLimit = 1 << 20;
inline constexpr int64_t kVariableWorkLimit = int64_t{16} << 20;

// What one replacement may still spend; shared by the replacements nested in
// it, because fan-out through nested values multiplies and a per-level limit
// would not bound the whole.
class VariableExpansionLimit {
 public:
  // `errh` may be null: the limit is then enforced silently.
  explicit VariableExpansionLimit(ErrorHandler* errh) : errh_(errh) {}

  bool exhausted() const { return exhausted_; }
  // Where the replacements that follow stand, for the message.
  void set_landmark(const String& landmark) { landmark_ = landmark; }
  // Spends `bytes` of work; false (and exhausted) when that goes past the
  // work limit.
  bool charge(int64_t bytes);
  // Marks the limit exhausted and reports it the first time.
  void exhaust();

 private:
  ErrorHandler* errh_;
  String landmark_;
  int64_t work_left_ = kVariableWorkLimit;
  bool exhausted_ = false;
};

// Answers the variables of a text. `form` is 'a' for "$name" and the
// one-character names, '{' for "${...}" and '(' for "$(...)"; `text` is what
// stood after the "$" or between the delimiters.
class VariableExpander {
 public:
  virtual ~VariableExpander() = default;
  // True when the variable is known and `*expansion` holds its replacement.
  virtual bool lookup(const String& text, String* expansion, int form, int depth,
                      VariableExpansionLimit& limit) const = 0;
};

// One scope of variables: its own names and values and the enclosing scope.
class VariableEnvironment : public VariableExpander {
 public:
  // The depth is the parent's depth + 1, or 0 without a parent.
  explicit VariableEnvironment(VariableEnvironment* parent = nullptr)
      : depth_(parent != nullptr ? parent->depth_ + 1 : 0), parent_(parent) {}

  int depth() const { return depth_; }
  VariableEnvironment* parent() const { return parent_; }
  int size() const { return names_.size(); }
  const String& name(int i) const { return names_[i]; }
  const String& value(int i) const { return values_[i]; }
  const Vector<String>& names() const { return names_; }
  const Vector<String>& values() const { return values_; }

  // Adds `name` to this scope and returns true, or, when this scope already
  // has it, replaces its value only when `override` is set and returns false.
  bool bind(const String& name, const String& value, bool override);

  // Looks the name up in this scope and then in each parent. The value found
  // (or the "${name-default}" default) is expanded in this environment, so a
  // value naming another variable sees the scopes of the place of use.
  bool lookup(const String& text, String* expansion, int form, int depth,
              VariableExpansionLimit& limit) const override;

 private:
  Vector<String> names_;
  Vector<String> values_;
  int depth_;
  VariableEnvironment* parent_;
};

// `text` with its variables replaced through `expander`; callers start at
// depth 0. Reports to `errh` (may be null) when the size limits cut it short.
String expand_variables(const String& text, const VariableExpander& expander, int depth,
                        ErrorHandler* errh = nullptr);
// The same within a replacement already under way (from a lookup).
String expand_variables(const String& text, const VariableExpander& expander, int depth,
                        VariableExpansionLimit& limit);

#endif  // GRAPH_VARIABLE_ENVIRONMENT_H_
