#include "platform/divert/filter.h"

#include <cstddef>

namespace platform::divert {
namespace {

// Bounds the parser's and the evaluator's recursion on hostile text.
constexpr int kMaxNesting = 64;

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_ident_start(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; }
bool is_ident_char(char c) { return is_ident_start(c) || is_digit(c) || c == '.'; }

}  // namespace

// Recursive descent over the text, one token of lookahead. Each rule returns
// the index of the node it built; the first error stops everything.
class FilterProgram::Parser {
 public:
  Parser(std::string_view text, FilterProgram* prog) : text_(text), prog_(prog) {}

  bool run(uint32_t* root, FilterError* error) {
    skip_blanks();
    if (pos_ == text_.size()) return fail("Filter expression is empty", error);
    const uint32_t node = ternary(0);
    if (failed()) return fail(nullptr, error);
    skip_blanks();
    if (pos_ != text_.size()) {
      const char* why = text_[pos_] == ')' ? "Unbalanced parentheses" : "Unexpected trailing text";
      set_error(why);
      return fail(nullptr, error);
    }
    *root = node;
    return true;
  }

 private:
  bool failed() const { return reason_ != nullptr; }

  void set_error(const char* reason) {
    if (failed()) return;
    reason_ = reason;
    error_pos_ = static_cast<uint32_t>(pos_);
  }

  bool fail(const char* reason, FilterError* error) {
    if (reason != nullptr) set_error(reason);
    if (error != nullptr) *error = FilterError{reason_, error_pos_};
    return false;
  }

  void skip_blanks() {
    while (pos_ < text_.size() && is_blank(text_[pos_])) ++pos_;
  }

  // Consumes `token` (after blanks) when it comes next.
  bool accept(std::string_view token) {
    skip_blanks();
    if (text_.substr(pos_, token.size()) != token) return false;
    pos_ += token.size();
    return true;
  }

  uint32_t add(const Node& n) {
    prog_->nodes_.push_back(n);
    return static_cast<uint32_t>(prog_->nodes_.size() - 1);
  }

  uint32_t ternary(int depth) {
    if (depth > kMaxNesting) {
      set_error("Nesting too deep");
      return 0;
    }
    const uint32_t cond = logical(Op::kOr, depth);
    if (failed() || !accept("?")) return cond;
    const uint32_t yes = ternary(depth + 1);
    if (failed()) return 0;
    if (!accept(":")) {
      set_error("Expected ':'");
      return 0;
    }
    const uint32_t no = ternary(depth + 1);
    Node n;
    n.op = Op::kTernary;
    n.a = cond;
    n.b = yes;
    n.c = no;
    return add(n);
  }

  // `||` over `&&` over comparisons, each an n-ary node so that a long chain
  // of clauses costs no recursion.
  uint32_t logical(Op op, int depth) {
    const std::string_view token = op == Op::kOr ? "||" : "&&";
    auto operand = [&] { return op == Op::kOr ? logical(Op::kAnd, depth) : comparison(depth); };
    const uint32_t first = operand();
    if (failed()) return 0;
    if (!accept(token)) return first;
    std::vector<uint32_t> items{first};
    do {
      items.push_back(operand());
      if (failed()) return 0;
    } while (accept(token));
    Node n;
    n.op = op;
    n.first = static_cast<uint32_t>(prog_->children_.size());
    n.count = static_cast<uint32_t>(items.size());
    prog_->children_.insert(prog_->children_.end(), items.begin(), items.end());
    return add(n);
  }

  bool accept_cmp(Cmp* cmp) {
    skip_blanks();
    static constexpr struct {
      std::string_view token;
      Cmp cmp;
    } kOps[] = {{"==", Cmp::kEq}, {"!=", Cmp::kNe}, {"<=", Cmp::kLe},
                {">=", Cmp::kGe}, {"<", Cmp::kLt},  {">", Cmp::kGt}};
    for (const auto& op : kOps) {
      if (accept(op.token)) {
        *cmp = op.cmp;
        return true;
      }
    }
    return false;
  }

  uint32_t comparison(int depth) {
    const uint32_t left = unary(depth);
    Cmp cmp;
    if (failed() || !accept_cmp(&cmp)) return left;
    const uint32_t right = unary(depth);
    if (failed()) return 0;
    Cmp again;
    const size_t at = pos_;
    if (accept_cmp(&again)) {
      pos_ = at;
      skip_blanks();
      set_error("Chained comparison");
      return 0;
    }
    Node n;
    n.op = Op::kCmp;
    n.cmp = cmp;
    n.a = left;
    n.b = right;
    return add(n);
  }

  uint32_t unary(int depth) {
    skip_blanks();
    // "!=" is a comparison, never a negation.
    if (text_.substr(pos_, 1) == "!" && text_.substr(pos_, 2) != "!=") {
      ++pos_;
      if (depth + 1 > kMaxNesting) {
        set_error("Nesting too deep");
        return 0;
      }
      const uint32_t inner = unary(depth + 1);
      if (failed()) return 0;
      Node n;
      n.op = Op::kNot;
      n.a = inner;
      return add(n);
    }
    return primary(depth);
  }

  uint32_t primary(int depth) {
    skip_blanks();
    if (pos_ == text_.size()) {
      set_error("Expected a value");
      return 0;
    }
    const char c = text_[pos_];
    if (c == '(') {
      const size_t open = pos_++;
      ++open_parens_;
      const uint32_t inner = ternary(depth + 1);
      if (failed()) return 0;
      --open_parens_;
      if (!accept(")")) {
        skip_blanks();
        // Point at the bracket left open when the text simply ran out.
        if (pos_ == text_.size()) pos_ = open;
        set_error("Unbalanced parentheses");
        return 0;
      }
      return inner;
    }
    if (is_digit(c)) return number();
    if (is_ident_start(c)) return identifier();
    set_error(c == ')' && open_parens_ == 0 ? "Unbalanced parentheses" : "Expected a value");
    return 0;
  }

  uint32_t number() {
    const size_t start = pos_;
    size_t end = pos_;
    while (end < text_.size() && (is_digit(text_[end]) || text_[end] == '.')) ++end;
    const std::string_view tok = text_.substr(start, end - start);
    Node n;
    n.op = Op::kConst;
    if (tok.find('.') == std::string_view::npos) {
      uint64_t v = 0;
      for (char d : tok) {
        v = v * 10 + static_cast<uint64_t>(d - '0');
        if (v > 0xFFFFFFFFu) {
          set_error("Number over 32 bits");
          return 0;
        }
      }
      n.value = static_cast<uint32_t>(v);
    } else if (!parse_address(tok, &n.value)) {
      set_error("Bad IPv4 address");
      return 0;
    }
    pos_ = end;
    return add(n);
  }

  // Exactly four dot-separated decimal parts of 1 to 3 digits, each <= 255.
  static bool parse_address(std::string_view tok, uint32_t* out) {
    uint32_t value = 0;
    int parts = 0;
    size_t i = 0;
    while (true) {
      uint32_t part = 0;
      size_t digits = 0;
      while (i < tok.size() && is_digit(tok[i])) {
        part = part * 10 + static_cast<uint32_t>(tok[i] - '0');
        if (++digits > 3) return false;
        ++i;
      }
      if (digits == 0 || part > 255) return false;
      value = value << 8 | part;
      ++parts;
      if (i == tok.size()) break;
      ++i;  // the dot
      if (parts == 4) return false;
    }
    if (parts != 4) return false;
    *out = value;
    return true;
  }

  uint32_t identifier() {
    const size_t start = pos_;
    size_t end = pos_;
    while (end < text_.size() && is_ident_char(text_[end])) ++end;
    const std::string_view name = text_.substr(start, end - start);
    static constexpr struct {
      std::string_view name;
      Field field;
    } kFields[] = {
        {"inbound", Field::kInbound},       {"outbound", Field::kOutbound},
        {"impostor", Field::kImpostor},     {"loopback", Field::kLoopback},
        {"ifIdx", Field::kIfIdx},           {"ip.SrcAddr", Field::kSrcAddr},
        {"ip.DstAddr", Field::kDstAddr},    {"remoteAddr", Field::kRemoteAddr},
        {"remotePort", Field::kRemotePort},
    };
    Node n;
    if (name == "true" || name == "false") {
      n.op = Op::kConst;
      n.value = name == "true" ? 1 : 0;
      pos_ = end;
      return add(n);
    }
    for (const auto& f : kFields) {
      if (f.name != name) continue;
      n.op = Op::kField;
      n.field = f.field;
      pos_ = end;
      return add(n);
    }
    set_error("Unknown field");
    return 0;
  }

  std::string_view text_;
  FilterProgram* prog_;
  size_t pos_ = 0;
  int open_parens_ = 0;
  const char* reason_ = nullptr;
  uint32_t error_pos_ = 0;
};

bool FilterProgram::compile(std::string_view text, FilterError* error) {
  nodes_.clear();
  children_.clear();
  compiled_ = false;
  uint32_t root = 0;
  Parser parser(text, this);
  if (!parser.run(&root, error)) {
    nodes_.clear();
    children_.clear();
    return false;
  }
  root_ = root;
  compiled_ = true;
  return true;
}

bool FilterProgram::matches(const PacketFields& fields) const {
  return compiled_ && eval(root_, fields) != 0;
}

uint32_t FilterProgram::field_value(Field field, const PacketFields& f) {
  switch (field) {
    case Field::kInbound:
      return f.outbound ? 0 : 1;
    case Field::kOutbound:
      return f.outbound ? 1 : 0;
    case Field::kImpostor:
      return f.impostor ? 1 : 0;
    case Field::kLoopback:
      return f.loopback ? 1 : 0;
    case Field::kIfIdx:
      return f.if_idx;
    case Field::kSrcAddr:
      return f.src_addr;
    case Field::kDstAddr:
      return f.dst_addr;
    case Field::kRemoteAddr:
      return f.outbound ? f.dst_addr : f.src_addr;
    case Field::kRemotePort:
      return f.remote_port;
  }
  return 0;
}

uint32_t FilterProgram::eval(uint32_t index, const PacketFields& f) const {
  const Node& n = nodes_[index];
  switch (n.op) {
    case Op::kConst:
      return n.value;
    case Op::kField:
      return field_value(n.field, f);
    case Op::kNot:
      return eval(n.a, f) == 0 ? 1 : 0;
    case Op::kCmp: {
      const uint32_t l = eval(n.a, f);
      const uint32_t r = eval(n.b, f);
      switch (n.cmp) {
        case Cmp::kEq:
          return l == r;
        case Cmp::kNe:
          return l != r;
        case Cmp::kLt:
          return l < r;
        case Cmp::kGt:
          return l > r;
        case Cmp::kLe:
          return l <= r;
        case Cmp::kGe:
          return l >= r;
      }
      return 0;
    }
    case Op::kAnd:
      for (uint32_t i = 0; i < n.count; ++i) {
        if (eval(children_[n.first + i], f) == 0) return 0;
      }
      return 1;
    case Op::kOr:
      for (uint32_t i = 0; i < n.count; ++i) {
        if (eval(children_[n.first + i], f) != 0) return 1;
      }
      return 0;
    case Op::kTernary:
      return eval(eval(n.a, f) != 0 ? n.b : n.c, f);
  }
  return 0;
}

}  // namespace platform::divert
