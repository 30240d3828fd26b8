#include "ostgraphsvc/graph/elements/tcpudp/rewrite_pattern.h"

#include <arpa/inet.h>

#include "graph/confparse.h"
#include "graph/error_handler.h"
#include "graph/string_builder.h"
#include "graph/timestamp.h"

namespace {

// A decimal number 0-65535 filling the whole text.
bool parse_port_number(const String& text, uint32_t* value) {
  if (text.empty() || text.length() > 5) return false;
  uint32_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint32_t>(c - '0');
  }
  if (v > 65535) return false;
  *value = v;
  return true;
}

// Cuts a trailing '#' or '?' off a range word.
void strip_range_suffix(String& word, bool* sequential, bool* same_first) {
  if (word.empty()) return;
  const char last = word[word.length() - 1];
  if (last != '#' && last != '?') return;
  *same_first = false;
  if (last == '#') *sequential = true;
  word = word.substring(0, word.length() - 1);
}

struct Range {
  uint32_t base = 0;  // host order
  uint32_t variation = 0;
  bool ranged = false;
  bool sequential = false;
  bool same_first = true;
};

bool parse_source_address(String word, Range* r) {
  if (word == "-") return true;
  IPAddress a;
  if (cp_parse_ip_address(word, &a)) {
    r->base = a.host_order();
    return true;
  }
  strip_range_suffix(word, &r->sequential, &r->same_first);
  if (int dash = word.find_left('-'); dash > 0) {
    IPAddress lo, hi;
    if (!cp_parse_ip_address(word.substring(0, dash), &lo) ||
        !cp_parse_ip_address(word.substring(dash + 1), &hi) || hi.host_order() < lo.host_order())
      return false;
    r->base = lo.host_order();
    r->variation = hi.host_order() - lo.host_order();
    r->ranged = true;
    return true;
  }
  int slash = word.find_left('/');
  if (slash <= 0) return false;
  uint32_t len = 0;
  if (!cp_parse_ip_address(word.substring(0, slash), &a) ||
      !parse_port_number(word.substring(slash + 1), &len) || len > 32)
    return false;
  const uint32_t mask = IPAddress::make_prefix(static_cast<int>(len)).host_order();
  const uint32_t addr = a.host_order();
  if (addr == 0 || mask == 0) return false;
  r->ranged = true;
  if (mask == 0xFFFFFFFFu) {
    r->base = addr;
    r->variation = 0;
  } else if (mask == 0xFFFFFFFEu) {
    r->base = addr & mask;
    r->variation = 1;
  } else {
    // Network and broadcast addresses are never handed out.
    r->base = (addr & mask) | 1;
    r->variation = ~mask - 2;
  }
  return true;
}

bool parse_source_port(String word, Range* r) {
  if (word == "-") return true;
  uint32_t v;
  if (parse_port_number(word, &v)) {
    if (v == 0) return false;
    r->base = v;
    return true;
  }
  strip_range_suffix(word, &r->sequential, &r->same_first);
  int dash = word.find_left('-');
  uint32_t lo, hi;
  if (dash <= 0 || !parse_port_number(word.substring(0, dash), &lo) ||
      !parse_port_number(word.substring(dash + 1), &hi) || hi < lo)
    return false;
  r->base = lo;
  r->variation = hi - lo;
  r->ranged = true;
  return true;
}

bool parse_address(const String& word, IPAddress* a) {
  if (word == "-") return true;
  return cp_parse_ip_address(word, a);
}

bool parse_port(const String& word, uint16_t* port) {
  if (word == "-") return true;
  uint32_t v;
  if (!parse_port_number(word, &v) || v == 0) return false;
  *port = htons(static_cast<uint16_t>(v));
  return true;
}

bool parse_output(const String& word, int* output) {
  int32_t v;
  int status;
  if (!cp_parse_int32(&status, word, &v) || v < 0) return false;
  *output = v;
  return true;
}

void append_address(StringBuilder& sb, uint32_t host_order) {
  sb << IPAddress(htonl(host_order)).to_string();
}

}  // namespace

RewritePattern::RewritePattern(IPAddress saddr, uint16_t sport, IPAddress daddr, uint16_t dport,
                               bool is_napt, bool sequential, bool same_first, uint32_t variation)
    : saddr_(saddr),
      sport_(sport),
      daddr_(daddr),
      dport_(dport),
      variation_(variation),
      is_napt_(is_napt),
      sequential_(sequential),
      same_first_(same_first),
      random_state_(static_cast<uint64_t>(Timestamp::now().nsec()) ^
                    reinterpret_cast<uintptr_t>(this) ^ 0x9E3779B97F4A7C15ull) {
  if (random_state_ == 0) random_state_ = 1;
}

bool RewritePattern::parse(const String& text, RewritePattern** result, ErrorHandler* errh) {
  Vector<String> words;
  cp_split_words(text, &words);
  if (words.size() == 1) {
    errh->error("no such pattern %<%s%>", words[0].c_str());
    return false;
  }
  if (words.size() < 2 || words.size() > 4) {
    errh->error("syntax error");
    return false;
  }
  const bool napt = words.size() > 2;
  Range source_address;
  Range source_port;
  IPAddress daddr;
  uint16_t dport = 0;
  const String& sport_word = words.size() == 4 ? words[1] : words[2];
  const String& daddr_word = words.size() == 4 ? words[2] : words[1];
  if (!parse_source_address(words[0], &source_address)) {
    errh->error("bad source address");
    return false;
  }
  if (napt && !parse_source_port(sport_word, &source_port)) {
    errh->error("bad source port");
    return false;
  }
  if (!parse_address(daddr_word, &daddr)) {
    errh->error("bad destination address");
    return false;
  }
  if (words.size() == 4 && !parse_port(words[3], &dport)) {
    errh->error("bad destination port");
    return false;
  }
  // With a port the range, wherever it was written, varies the port.
  const Range& ranged = source_port.ranged ? source_port : source_address;
  const uint32_t variation = ranged.ranged ? ranged.variation : 0;
  *result = new RewritePattern(IPAddress(htonl(source_address.base)),
                               htons(static_cast<uint16_t>(source_port.base)), daddr, dport, napt,
                               ranged.sequential, ranged.same_first, variation);
  return true;
}

bool RewritePattern::parse_with_ports(const String& text, RewritePattern** result, int* foutput,
                                      int* routput, ErrorHandler* errh) {
  Vector<String> words;
  cp_split_words(text, &words);
  if (words.size() < 3) {
    errh->error("syntax error");
    return false;
  }
  int f, r;
  if (!parse_output(words[words.size() - 2], &f)) {
    errh->error("bad forward port");
    return false;
  }
  if (!parse_output(words[words.size() - 1], &r)) {
    errh->error("bad reply port");
    return false;
  }
  StringBuilder pattern;
  for (int i = 0; i + 2 < words.size(); ++i) {
    if (i > 0) pattern << ' ';
    pattern << words[i];
  }
  if (!parse(pattern.take_string(), result, errh)) return false;
  *foutput = f;
  *routput = r;
  return true;
}

uint32_t RewritePattern::random_offset() {
  // xorshift64*: one multiply per new flow, no system call.
  random_state_ ^= random_state_ >> 12;
  random_state_ ^= random_state_ << 25;
  random_state_ ^= random_state_ >> 27;
  const uint64_t r = (random_state_ * 0x2545F4914F6CDD1Dull) >> 32;
  return static_cast<uint32_t>((r * (uint64_t{variation_} + 1)) >> 32);
}

void RewritePattern::apply_offset(FlowTuple& tuple, uint32_t offset) const {
  if (is_napt_) {
    tuple.set_sport(htons(static_cast<uint16_t>(ntohs(sport_) + offset)));
    return;
  }
  tuple.set_saddr(IPAddress(htonl(saddr_.host_order() + offset)));
}

int RewritePattern::map_tuple(const FlowTuple& tuple, FlowTuple& rewritten, RewriteMap* reply_map) {
  rewritten = tuple;
  if (!saddr_.empty()) rewritten.set_saddr(saddr_);
  if (sport_ != 0) rewritten.set_sport(sport_);
  if (!daddr_.empty()) rewritten.set_daddr(daddr_);
  if (dport_ != 0) rewritten.set_dport(dport_);
  if (variation_ == 0) return -2;

  const uint32_t base = is_napt_ ? ntohs(sport_) : saddr_.host_order();
  if (same_first_) {
    const uint32_t d = static_cast<uint32_t>(ntohs(tuple.sport())) - base;
    if (d <= variation_) {
      FlowTuple candidate = rewritten;
      candidate.set_sport(tuple.sport());
      if (reply_map == nullptr || !reply_map->find(candidate.reverse()).live()) {
        rewritten = candidate;
        next_ = d + 1;
        return -2;
      }
    }
  }

  uint32_t offset;
  if (sequential_)
    offset = next_ > variation_ ? 0 : next_;
  else
    offset = random_offset();
  // Each taken candidate is a live reply entry, so this ends after at most
  // the map's size + 1 probes.
  for (uint64_t tries = 0; tries <= variation_; ++tries) {
    FlowTuple candidate = rewritten;
    apply_offset(candidate, offset);
    if (reply_map == nullptr || !reply_map->find(candidate.reverse()).live()) {
      rewritten = candidate;
      next_ = offset + 1;
      return -2;
    }
    offset = offset == variation_ ? 0 : offset + 1;
  }
  return -1;
}

void RewritePattern::unparse(StringBuilder& sb) const {
  if (saddr_.empty()) {
    sb << '-';
  } else if (!is_napt_ && variation_ != 0) {
    append_address(sb, saddr_.host_order());
    sb << '-';
    append_address(sb, saddr_.host_order() + variation_);
  } else {
    sb << saddr_.to_string();
  }
  if (is_napt_) {
    sb << ' ';
    if (variation_ != 0)
      sb << static_cast<unsigned>(ntohs(sport_)) << '-'
         << static_cast<unsigned>(ntohs(sport_) + variation_);
    else if (sport_ == 0)
      sb << '-';
    else
      sb << static_cast<unsigned>(ntohs(sport_));
  }
  sb << ' ';
  if (daddr_.empty())
    sb << '-';
  else
    sb << daddr_.to_string();
  if (is_napt_) {
    sb << ' ';
    if (dport_ == 0)
      sb << '-';
    else
      sb << static_cast<unsigned>(ntohs(dport_));
  }
}
