#include "graph/element.h"

#include <climits>
#include <cstdint>
#include <cstring>
#include <functional>

#include "graph/args.h"
#include "graph/bitvector.h"
#include "graph/error_handler.h"
#include "graph/router.h"

namespace {

// --- port counts -------------------------------------------------------------

struct PortRange {
  int lo = 0;
  int hi = INT_MAX;
};

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// A decimal number that fits an int.
const char* read_number(const char* p, const char* end, int* value) {
  long long v = 0;
  for (; p < end && is_digit(*p); ++p) {
    v = v * 10 + (*p - '0');
    if (v > INT_MAX) return nullptr;
  }
  *value = static_cast<int>(v);
  return p;
}

// One side: "", "-", "N", "N-", "N-M" or "-M", filling all of [p, end).
bool parse_port_range(const char* p, const char* end, PortRange* range) {
  *range = PortRange();
  if (p < end && is_digit(*p)) {
    p = read_number(p, end, &range->lo);
    if (p == nullptr) return false;
    if (p == end) {
      range->hi = range->lo;
      return true;
    }
  }
  if (p == end) return true;
  if (*p != '-') return false;
  ++p;
  if (p == end) return true;
  if (!is_digit(*p)) return false;
  p = read_number(p, end, &range->hi);
  // An empty range is no port count either.
  return p == end && range->hi >= range->lo;
}

struct PortCount {
  PortRange inputs;
  PortRange outputs;
  int outputs_plus = -1;  // >= 0: outputs = inputs + this
};

bool parse_port_count(const char* text, PortCount* count) {
  if (text == nullptr) return false;
  const char* end = text + std::strlen(text);
  const char* slash = static_cast<const char*>(std::memchr(text, '/', end - text));
  if (slash == nullptr) {
    if (!parse_port_range(text, end, &count->inputs)) return false;
    count->outputs = count->inputs;
    return true;
  }
  if (!parse_port_range(text, slash, &count->inputs)) return false;
  const char* p = slash + 1;
  if (p == end || *p != '=') return parse_port_range(p, end, &count->outputs);
  count->outputs_plus = 0;
  for (++p; p < end && *p == '+'; ++p) ++count->outputs_plus;
  return p == end;
}

int fit(int used, const PortRange& range) {
  if (used < range.lo) return range.lo;
  return used < range.hi ? used : range.hi;
}

// --- processing codes --------------------------------------------------------

int processing_value(char c) {
  switch (c) {
    case 'a':
    case 'A':
      return Element::kProcessingAgnostic;
    case 'h':
    case 'H':
      return Element::kProcessingPush;
    case 'l':
    case 'L':
      return Element::kProcessingPull;
    default:
      return -1;
  }
}

// Fills n codes from [*p, end), one letter per port, the last repeating from
// `last`. A bad letter ends the side.
int read_processing_side(const char* p, const char* end, int n, int last, int* codes,
                         ErrorHandler* errh) {
  for (int i = 0; i < n; ++i) {
    if (p < end) {
      const int value = processing_value(*p++);
      if (value >= 0) {
        last = value;
      } else {
        if (errh != nullptr) errh->error("bad processing code");
        p = end;
      }
    }
    codes[i] = last;
  }
  return last;
}

// --- flow codes --------------------------------------------------------------

struct FlowCode {
  uint32_t words[8] = {};

  void add(int code) { words[code >> 5] |= uint32_t{1} << (code & 31); }
  void complement() {
    for (uint32_t& w : words) w = ~w;
  }
  bool intersects(const FlowCode& other) const {
    for (int i = 0; i < 8; ++i) {
      if (words[i] & other.words[i]) return true;
    }
    return false;
  }
};

bool is_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// "#" is private to the port; ports past 127 have no such code.
void add_flow_member(FlowCode* code, char c, int port) {
  if (c != '#') {
    code->add(static_cast<unsigned char>(c));
    return;
  }
  if (port < 128) code->add(128 + port);
}

class FlowReader {
 public:
  FlowReader(const Element* element, ErrorHandler* errh) : element_(element), errh_(errh) {}

  // The code of `port` on the side [begin, end).
  FlowCode code_at(const char* begin, const char* end, int port) const {
    FlowCode code;
    const char* p = begin;
    for (int i = 0; i <= port && p < end; ++i) code = read_one(&p, end, port);
    return code;
  }

  void bad_slash() const {
    if (errh_ != nullptr) errh_->error("%<%p{element}%> flow code: missing or bad %</%>", element_);
  }

 private:
  FlowCode read_one(const char** pp, const char* end, int port) const {
    FlowCode code;
    const char* p = *pp;
    const char c = *p++;
    if (c != '[') {
      if (is_letter(c) || c == '#') {
        add_flow_member(&code, c, port);
      } else {
        invalid(c);
      }
      *pp = p;
      return code;
    }
    const bool negated = p < end && *p == '^';
    if (negated) ++p;
    for (; p < end && *p != ']'; ++p) {
      if (is_letter(*p) || *p == '#') {
        add_flow_member(&code, *p, port);
      } else {
        invalid(*p);
      }
    }
    if (p == end) {
      if (errh_ != nullptr) errh_->error("%<%p{element}%> flow code: missing %<]%>", element_);
    } else {
      ++p;
    }
    if (negated) code.complement();
    *pp = p;
    return code;
  }

  void invalid(char c) const {
    if (errh_ != nullptr)
      errh_->error("%<%p{element}%> flow code: invalid character %<%c%>", element_, c);
  }

  const Element* element_;
  ErrorHandler* errh_;
};

const String& unknown_name() {
  static const String name("<unknown>");
  return name;
}

}  // namespace

std::atomic<int> Element::live_elements_{0};

Element::Element() { live_elements_.fetch_add(1, std::memory_order_relaxed); }

Element::~Element() {
  if (!is_inline(inputs_)) delete[] inputs_;
  if (!is_inline(outputs_)) delete[] outputs_;
  live_elements_.fetch_sub(1, std::memory_order_relaxed);
}

bool Element::is_inline(const Port* ports) const {
  // Unrelated pointers need the total order of std::less.
  return !std::less<const Port*>()(ports, ports_) &&
         !std::less<const Port*>()(ports_ + kInlinePorts, ports);
}

void Element::push(int port, Packet* p) {
  p = packet_action(p);
  if (p != nullptr) outputs_[port].push(p);
}

Packet* Element::pull(int port) {
  Packet* p = inputs_[port].pull();
  return p != nullptr ? packet_action(p) : nullptr;
}

void* Element::cast(const char* name) {
  const char* mine = class_name();
  return name != nullptr && mine != nullptr && std::strcmp(name, mine) == 0 ? this : nullptr;
}

int Element::configure(Vector<String>& conf, ErrorHandler* errh) {
  return Args(conf, this, errh).check_and_commit();
}

String Element::declaration() const { return name() + " :: " + class_name(); }

int Element::live_reconfigure(Vector<String>& conf, ErrorHandler* errh) {
  if (can_live_reconfigure()) return configure(conf, errh);
  if (errh != nullptr) return errh->error("cannot reconfigure %p{element} live", this);
  return ErrorHandler::kErrorResult;
}

String Element::name() const {
  if (router_ != nullptr) return router_->ename(eindex_);
  return own_name_.empty() ? unknown_name() : own_name_;
}

String Element::current_configuration() const {
  if (router_ == nullptr) return String();
  if (eindex_ >= 0) {
    const Handler* h = Router::find_handler(this, "config");
    // Reading does not change the element; the callbacks just take it
    // non-const.
    if (h != nullptr && h->readable()) return h->invoke_read(const_cast<Element*>(this), String());
  }
  return router_->econfiguration(eindex_);
}

int Element::set_port_counts(int ninputs, int noutputs) {
  if (ninputs < 0 || noutputs < 0) return -22;
  if (router_ != nullptr && router_->ports_resolved()) {
    if (router_->state() > Router::kConfiguring) return -16;
    router_->unresolve_ports();
  }

  const bool prefer_pull = processing() == kPull;
  const bool inputs_inline = ninputs == 0 || ninputs + noutputs <= kInlinePorts ||
                             (ninputs <= kInlinePorts && (noutputs > kInlinePorts || prefer_pull));
  const bool outputs_inline = noutputs == 0 || ninputs + noutputs <= kInlinePorts ||
                              (noutputs <= kInlinePorts && !inputs_inline);

  // Allocate both before freeing anything, so a failure changes nothing.
  Port* new_inputs = inputs_inline ? nullptr : new Port[ninputs];
  Port* new_outputs = nullptr;
  if (!outputs_inline) {
    try {
      new_outputs = new Port[noutputs];
    } catch (...) {
      delete[] new_inputs;
      throw;
    }
  }
  if (inputs_inline && outputs_inline) {
    new_inputs = prefer_pull ? ports_ : ports_ + noutputs;
    new_outputs = prefer_pull ? ports_ + ninputs : ports_;
  } else if (inputs_inline) {
    new_inputs = ports_;
  } else if (outputs_inline) {
    new_outputs = ports_;
  }

  if (!is_inline(inputs_)) delete[] inputs_;
  if (!is_inline(outputs_)) delete[] outputs_;
  inputs_ = new_inputs;
  outputs_ = new_outputs;
  ninputs_ = ninputs;
  noutputs_ = noutputs;
  return 0;
}

int Element::apply_port_count(int inputs_used, int outputs_used, ErrorHandler* errh) {
  PortCount count;
  if (!parse_port_count(port_count(), &count)) {
    if (errh != nullptr) errh->error("%p{element}: bad port count", this);
    return -1;
  }
  const int ninputs = fit(inputs_used, count.inputs);
  int noutputs = fit(outputs_used, count.outputs);
  if (count.outputs_plus >= 0)
    noutputs = ninputs <= INT_MAX - count.outputs_plus ? ninputs + count.outputs_plus : INT_MAX;
  return set_port_counts(ninputs, noutputs);
}

void Element::port_processing(int* input_codes, int* output_codes, ErrorHandler* errh) const {
  const char* text = processing();
  if (text == nullptr) text = "";
  const char* end = text + std::strlen(text);
  const char* slash = static_cast<const char*>(std::memchr(text, '/', end - text));
  const int last = read_processing_side(text, slash != nullptr ? slash : end, ninputs_,
                                        kProcessingAgnostic, input_codes, errh);
  read_processing_side(slash != nullptr ? slash + 1 : text, end, noutputs_, last, output_codes,
                       errh);
}

void Element::flow_targets(bool is_output, int port, BitVector* result, ErrorHandler* errh) const {
  const int nother = is_output ? ninputs_ : noutputs_;
  result->assign(nother, false);
  if (port < 0 || port >= (is_output ? noutputs_ : ninputs_)) return;
  const char* text = flow_code();
  if (text == kCompleteFlow) {
    result->assign(nother, true);
    return;
  }

  const char* end = text + std::strlen(text);
  const char* slash = static_cast<const char*>(std::memchr(text, '/', end - text));
  FlowReader reader(this, errh);
  if (slash != nullptr && (slash + 1 == end || slash[1] == '/')) {
    reader.bad_slash();
    return;
  }
  const char* in_begin = text;
  const char* in_end = slash != nullptr ? slash : end;
  const char* out_begin = slash != nullptr ? slash + 1 : text;
  const char* out_end = slash != nullptr ? end : in_end;
  const char* mine_begin = is_output ? out_begin : in_begin;
  const char* mine_end = is_output ? out_end : in_end;
  const char* other_begin = is_output ? in_begin : out_begin;
  const char* other_end = is_output ? in_end : out_end;

  const FlowCode mine = reader.code_at(mine_begin, mine_end, port);
  for (int i = 0; i < nother; ++i) {
    if (mine.intersects(reader.code_at(other_begin, other_end, i))) result->set(i, true);
  }
}
