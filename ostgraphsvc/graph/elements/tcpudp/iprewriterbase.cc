#include "ostgraphsvc/graph/elements/tcpudp/iprewriterbase.h"

#include <arpa/inet.h>

#include <cstring>

#include "graph/args.h"
#include "graph/confparse.h"
#include "graph/error_handler.h"
#include "graph/handler.h"
#include "graph/router.h"
#include "graph/router_log.h"
#include "graph/string_builder.h"
#include "ostgraphsvc/graph/elements/ip/checksum.h"
#include "ostgraphsvc/graph/elements/ip/ip_headers.h"

namespace {

// Read handlers of the base, by user data.
enum ReadWhat : uintptr_t {
  kTableSize,
  kMappingFailures,
  kPatterns,
  kSize,
  kCapacity,
  kGcInterval,
};
// Write handlers of the base, by user data.
enum WriteWhat : uintptr_t { kWriteCapacity, kWriteClear };

void* user_data(uintptr_t v) { return reinterpret_cast<void*>(v); }
uintptr_t user_value(void* p) { return reinterpret_cast<uintptr_t>(p); }

// The largest time-out the wrapping millisecond clock can compare.
constexpr uint32_t kMaxSeconds = 2147483;

// Index of the last argument given as `keyword value`, or -1.
int last_keyword_of(const Vector<String>& conf, const char* keyword) {
  const size_t length = std::strlen(keyword);
  int last = -1;
  for (int i = 0; i < conf.size(); ++i) {
    const String& arg = conf[i];
    if (static_cast<size_t>(arg.length()) > length &&
        std::memcmp(arg.data(), keyword, length) == 0 &&
        (arg[static_cast<int>(length)] == ' ' || arg[static_cast<int>(length)] == '\t' ||
         arg[static_cast<int>(length)] == '\n' || arg[static_cast<int>(length)] == '\r'))
      last = i;
  }
  return last;
}

}  // namespace

bool rewriter_seconds_to_msec(uint32_t seconds, uint32_t* msec, const char* keyword,
                              ErrorHandler* errh) {
  if (seconds > kMaxSeconds) {
    errh->error("%s: out of range, bound %u", keyword, kMaxSeconds);
    return false;
  }
  *msec = seconds * 1000;
  return true;
}

int RewriteInputSpec::map_tuple(const FlowTuple& tuple, FlowTuple& rewritten, Packet* p,
                                int map_id) {
  int result;
  switch (kind) {
    case kNochange:
      return foutput;
    case kKeep:
      rewritten = tuple;
      return kRewriteAddFlow;
    case kPattern:
      result = pattern->map_tuple(tuple, rewritten, reply_element->map_for(map_id));
      break;
    case kMapper:
      result = mapper->rewrite_flowid(this, tuple, rewritten, p, map_id);
      break;
    default:
      return kRewriteDrop;
  }
  if (result == kRewriteDrop) ++failures;
  return result;
}

IPRewriterBase::IPRewriterBase() : heap_(new RewriteHeap) {}

IPRewriterBase::~IPRewriterBase() {
  // Subclasses release their own flows first; what is left are specs.
  for (RewriteInputSpec& spec : input_specs_) release_spec(&spec);
  heap_->unuse();
}

void* IPRewriterBase::cast(const char* name) {
  if (std::strcmp(name, "IPRewriterBase") == 0) return static_cast<IPRewriterBase*>(this);
  return Element::cast(name);
}

void IPRewriterBase::release_spec(RewriteInputSpec* spec) {
  if (spec->kind == RewriteInputSpec::kPattern && spec->pattern != nullptr) spec->pattern->unuse();
  spec->pattern = nullptr;
  spec->mapper = nullptr;
}

bool IPRewriterBase::parse_input_spec(const String& text, int input, RewriteInputSpec* spec,
                                      ErrorHandler* errh) {
  PrefixErrorHandler cerrh(errh, String("input spec ") + String(input) + String(": "));
  String word, rest;
  if (!cp_parse_word(text, &word, &rest)) {
    cerrh.error("empty argument");
    return false;
  }
  Vector<String> words;
  cp_split_words(rest, &words);

  RewriteInputSpec s;
  s.owner = this;
  s.owner_input = input;
  s.reply_element = this;
  if (word == "drop" || word == "discard") {
    if (!words.empty()) {
      cerrh.error("syntax error, expected %<%s%>", word.c_str());
      return false;
    }
    s.kind = RewriteInputSpec::kDrop;
  } else if (word == "pass" || word == "passthrough" || word == "nochange") {
    s.kind = RewriteInputSpec::kNochange;
    if (words.size() > 1) {
      cerrh.error("syntax error, expected %<nochange [OUTPUT]%>");
      return false;
    }
    if (words.size() == 1) {
      ParseContext context(this, &cerrh);
      int32_t output;
      int status;
      if (!cp_parse_int32(&status, words[0], &output, context)) return false;
      if (output < 0) {
        cerrh.error("output port out of range");
        return false;
      }
      s.foutput = output;
    }
  } else if (word == "keep") {
    s.kind = RewriteInputSpec::kKeep;
    int32_t f, r;
    int status;
    if (words.size() != 2) {
      cerrh.error("syntax error, expected %<keep FOUTPUT ROUTPUT%>");
      return false;
    }
    if (!cp_parse_int32(&status, words[0], &f) || f < 0) {
      cerrh.error("bad forward port");
      return false;
    }
    if (!cp_parse_int32(&status, words[1], &r) || r < 0) {
      cerrh.error("bad reply port");
      return false;
    }
    s.foutput = f;
    s.routput = r;
  } else if (word == "pattern" || word == "xpattern") {
    s.kind = RewriteInputSpec::kPattern;
    if (!RewritePattern::parse_with_ports(rest, &s.pattern, &s.foutput, &s.routput, &cerrh))
      return false;
  } else {
    if (!words.empty()) {
      cerrh.error("syntax error, expected element name");
      return false;
    }
    Element* e = router() != nullptr ? router()->find_element(word, this) : nullptr;
    if (e == nullptr) {
      cerrh.error("unknown specification");
      return false;
    }
    s.mapper = static_cast<IPMapper*>(e->cast("IPMapper"));
    if (s.mapper == nullptr) {
      cerrh.error("element is not an IPMapper");
      return false;
    }
    // Mapped flows leave forward on output 0 and replies on output 1.
    s.kind = RewriteInputSpec::kMapper;
    s.foutput = 0;
    s.routput = noutputs() > 1 ? 1 : 0;
  }

  if (s.foutput >= noutputs() || s.routput >= s.reply_element->noutputs()) {
    cerrh.error("output port out of range");
    release_spec(&s);
    return false;
  }
  *spec = s;
  return true;
}

int IPRewriterBase::configure(Vector<String>& conf, ErrorHandler* errh) {
  String capacity_word, mapping_capacity_word;
  const bool mapping_capacity_last =
      last_keyword_of(conf, "MAPPING_CAPACITY") > last_keyword_of(conf, "CAPACITY");
  uint32_t timeout = timeout_;
  uint32_t guarantee = guarantee_;
  uint32_t reap_interval = reap_interval_;
  Args args(this, errh);
  args.bind(conf)
      .read_word("CAPACITY", 0, capacity_word)
      .read_word("MAPPING_CAPACITY", 0, mapping_capacity_word)
      .read_seconds("TIMEOUT", 0, timeout, 0)
      .read_seconds("GUARANTEE", 0, guarantee, 0)
      .read_seconds("REAP_TIME", Args::kDeprecated, reap_interval, 0)
      .read_seconds("REAP_INTERVAL", 0, reap_interval, 0)
      .remove_consumed();
  if (args.commit() < 0) return -1;

  // The two keywords say the same thing: whichever comes later wins.
  const String& capacity = mapping_capacity_last ? mapping_capacity_word : capacity_word;
  if (!capacity.empty()) {
    int32_t value;
    int status;
    if (cp_parse_int32(&status, capacity, &value)) {
      if (value < 0) return errh->error("bad MAPPING_CAPACITY");
      heap_->set_capacity(value);
    } else {
      Element* e = router() != nullptr ? router()->find_element(capacity, this) : nullptr;
      auto* other =
          e != nullptr ? static_cast<IPRewriterBase*>(e->cast("IPRewriterBase")) : nullptr;
      if (other == nullptr) return errh->error("bad MAPPING_CAPACITY");
      if (other->heap_ != heap_) {
        other->heap_->use();
        heap_->unuse();
        heap_ = other->heap_;
      }
    }
  }

  if (conf.size() != ninputs())
    return errh->error("need %d arguments, one per input port", ninputs());
  // The reap interval stays in seconds; it must still fit the clock.
  uint32_t reap_msec;
  if (!rewriter_seconds_to_msec(timeout, &timeout_, "TIMEOUT", errh) ||
      !rewriter_seconds_to_msec(guarantee, &guarantee_, "GUARANTEE", errh) ||
      !rewriter_seconds_to_msec(reap_interval, &reap_msec, "REAP_INTERVAL", errh))
    return -1;
  reap_interval_ = reap_interval;

  Vector<RewriteInputSpec> specs;
  specs.resize(conf.size());
  bool ok = true;
  for (int i = 0; i < conf.size(); ++i) ok = parse_input_spec(conf[i], i, &specs[i], errh) && ok;
  if (!ok) {
    for (RewriteInputSpec& spec : specs) release_spec(&spec);
    return -1;
  }
  for (RewriteInputSpec& spec : input_specs_) release_spec(&spec);
  input_specs_ = specs;
  return 0;
}

int IPRewriterBase::initialize(ErrorHandler* errh) {
  const int before = errh->error_count();
  for (RewriteInputSpec& spec : input_specs_) {
    if (spec.reply_element->heap_ != heap_) {
      PrefixErrorHandler cerrh(errh,
                               String("input spec ") + String(spec.owner_input) + String(": "));
      cerrh.error("reply element %<%s%> must share this MAPPING_CAPACITY",
                  spec.reply_element->name().c_str());
    }
    if (spec.kind == RewriteInputSpec::kMapper) spec.mapper->attach_rewriter(this, &spec, errh);
  }
  if (next_reap_ == 0) {
    next_reap_ = rewriter_now_msec() + reap_interval_ * 1000;
    if (next_reap_ == 0) next_reap_ = 1;
  }
  return errh->error_count() > before ? -1 : 0;
}

void IPRewriterBase::cleanup(CleanupStage) {
  clear_flows();
  for (RewriteInputSpec& spec : input_specs_) release_spec(&spec);
  input_specs_.clear();
}

RewriteEntry* IPRewriterBase::find_in_map(int map_id, int ip_p, const FlowTuple& tuple, int input) {
  RewriteMap* map = map_for(map_id);
  if (map == nullptr) return nullptr;
  if (RewriteEntry* e = map->find(tuple).get()) return e;
  if (input < 0 || input >= input_specs_.size()) return nullptr;
  FlowTuple rewritten;
  if (input_specs_[input].map_tuple(tuple, rewritten, nullptr, map_id) != kRewriteAddFlow)
    return nullptr;
  return make_flow(ip_p, tuple, rewritten, input);
}

void IPRewriterBase::unlink_entry(RewriteMap* map, RewriteEntry* entry) {
  if (map == nullptr) return;
  RewriteMap::iterator it = map->find(entry->flowid());
  if (it.get() == entry) map->erase(it);
}

void IPRewriterBase::grow_map(RewriteMap* map) {
  if (map->size() > 2 * static_cast<uint64_t>(map->bucket_count()) &&
      map->bucket_count() != RewriteMap::kMaxBuckets)
    map->rehash(map->bucket_count() + 1);
}

RewriteEntry* IPRewriterBase::store_flow(RewriteFlow* flow, int /*input*/, RewriteMap* map,
                                         RewriteMap* reply_map) {
  const uint32_t now = rewriter_now_msec();
  if (next_reap_ != 0 && !time_before(now, next_reap_)) {
    next_reap_ = now + reap_interval_ * 1000;
    if (next_reap_ == 0) next_reap_ = 1;
    log_syslog_level(6, "IPRewriterBase::store_flow", __FILE__, __LINE__,
                     "IPRW:Timer expired. Reap");
    reap_flows(false);
  }

  RewriteInputSpec& spec = *flow->owner();
  if (flow->entry(0).output() >= noutputs() ||
      flow->entry(1).output() >= spec.reply_element->noutputs()) {
    spec.owner->release_flow(flow);
    return nullptr;
  }

  if (reply_map == nullptr) reply_map = spec.reply_element->map_for(0);
  // A key held by another flow means that flow is stale: its mapping would
  // send our packets elsewhere.
  for (int d = 0; d < 2; ++d) {
    RewriteMap* m = d == 0 ? map : reply_map;
    RewriteMap::iterator it = m->find(flow->entry(d).flowid());
    if (it.live() && it->flow() == flow) {
      // Its reply key is its own forward key (a tuple that is its own
      // reverse): one map cannot hold both directions.
      spec.owner->release_flow(flow);
      ++spec.failures;
      return nullptr;
    }
    if (it.live()) {
      destroy_flow(it->flow());
      it = m->find(flow->entry(d).flowid());
    }
    m->set(it, &flow->entry(d));
  }

  heap_->push(flow);
  ++spec.count;

  if (heap_->size() > heap_->capacity()) {
    move_expired_guarantees(now);
    if (heap_->empty(RewriteHeap::kBestEffort)) {
      destroy_flow(flow);
      ++spec.failures;
      return nullptr;
    }
    RewriteFlow* victim = heap_->top(RewriteHeap::kBestEffort);
    destroy_flow(victim);
    if (victim == flow) {
      ++spec.failures;
      return nullptr;
    }
  }

  grow_map(map);
  if (reply_map != map) grow_map(reply_map);
  return &flow->entry(0);
}

void IPRewriterBase::destroy_flow(RewriteFlow* flow) {
  RewriteInputSpec* spec = flow->owner();
  spec->owner->heap_->remove(flow);
  --spec->count;
  spec->owner->release_flow(flow);
}

void IPRewriterBase::move_expired_guarantees(uint32_t now) {
  while (!heap_->empty(RewriteHeap::kGuaranteed)) {
    RewriteFlow* flow = heap_->top(RewriteHeap::kGuaranteed);
    if (time_before(now, flow->expiry())) break;
    flow->set_expiry(heap_, false, flow->owner()->owner->idle_expiry(flow));
  }
}

void IPRewriterBase::reap_flows(bool clear_all) {
  const uint32_t now = rewriter_now_msec();
  move_expired_guarantees(now);
  while (!heap_->empty(RewriteHeap::kBestEffort)) {
    RewriteFlow* flow = heap_->top(RewriteHeap::kBestEffort);
    if (time_before(now, flow->expiry())) break;
    destroy_flow(flow);
  }
  const int32_t limit = clear_all ? 0 : heap_->capacity();
  while (heap_->size() > limit) {
    const int which = heap_->empty(RewriteHeap::kBestEffort) ? RewriteHeap::kGuaranteed
                                                             : RewriteHeap::kBestEffort;
    destroy_flow(heap_->top(which));
  }
}

void IPRewriterBase::clear_flows() {
  move_expired_guarantees(rewriter_now_msec());
  for (int which = 0; which < 2; ++which)
    while (!heap_->empty(which)) destroy_flow(heap_->top(which));
}

int IPRewriterBase::low_level_call(unsigned command, void* data) {
  int ip_p;
  if (command == kRewriteLookupTCP)
    ip_p = 6;
  else if (command == kRewriteLookupUDP)
    ip_p = 17;
  else
    return kRewriteUnsupported;
  FlowTuple tuple;
  std::memcpy(&tuple, data, sizeof tuple);
  RewriteEntry* e = find_entry(ip_p, tuple, -1);
  if (e == nullptr) return kRewriteNoMapping;
  const FlowTuple rewritten = e->rewritten_flowid();
  std::memcpy(data, &rewritten, sizeof rewritten);
  return 0;
}

// ---- Texts and handlers -----------------------------------------------------

void IPRewriterBase::unparse_entry(const RewriteEntry* entry, uint32_t now,
                                   StringBuilder& sb) const {
  entry->flowid().unparse(sb);
  sb << " => ";
  entry->rewritten_flowid().unparse(sb);
  const RewriteFlow* flow = entry->flow();
  const RewriteInputSpec* spec = flow->owner();
  const bool named = spec->owner != spec->reply_element;
  sb << " [";
  if (entry->is_forward())
    sb << '*';
  else if (named)
    sb << spec->owner->name() << ':';
  sb << flow->entry(0).output() << ' ';
  if (!entry->is_forward())
    sb << '*';
  else if (named)
    sb << spec->reply_element->name() << ':';
  sb << flow->entry(1).output() << "] i" << spec->owner_input << " exp ";
  const uint32_t expiry = flow->guaranteed() ? spec->owner->idle_expiry(flow) : flow->expiry();
  // A flow past its expiry waits for the next reap; it shows 0.
  const int32_t left = static_cast<int32_t>(expiry - now);
  const unsigned long seconds = left <= -500 ? 0 : static_cast<unsigned long>(left + 500) / 1000;
  sb.append_printf(24, "%lu", seconds);
}

String IPRewriterBase::table_text(RewriteMap* map) const {
  StringBuilder sb;
  const uint32_t now = rewriter_now_msec();
  for (RewriteMap::iterator it = map->begin(); it.live(); ++it) {
    unparse_entry(it.get(), now, sb);
    sb << '\n';
  }
  return sb.take_string();
}

String IPRewriterBase::table_handler(Element* e, void* data) {
  auto* rw = static_cast<IPRewriterBase*>(e);
  RewriteMap* map = rw->map_for(static_cast<int>(user_value(data)));
  if (map == nullptr) return String();
  return rw->table_text(map);
}

void IPRewriterBase::spec_line(const RewriteInputSpec& spec, StringBuilder& sb) const {
  switch (spec.kind) {
    case RewriteInputSpec::kDrop:
      sb << "<drop>";
      break;
    case RewriteInputSpec::kNochange:
      sb << "<nochange>";
      break;
    case RewriteInputSpec::kKeep:
      sb << "<keep>";
      break;
    case RewriteInputSpec::kPattern:
      spec.pattern->unparse(sb);
      break;
    default:
      sb << "<mapper>";
      break;
  }
  if (spec.count != 0) sb << " [" << spec.count << ']';
  sb << '\n';
}

String IPRewriterBase::read_handler(Element* e, void* data) {
  auto* rw = static_cast<IPRewriterBase*>(e);
  StringBuilder sb;
  switch (user_value(data)) {
    case kTableSize: {
      uint32_t n = 0;
      for (const RewriteInputSpec& spec : rw->input_specs_) n += spec.count;
      return String(n);
    }
    case kMappingFailures: {
      uint32_t n = 0;
      for (const RewriteInputSpec& spec : rw->input_specs_) n += spec.failures;
      return String(n);
    }
    case kPatterns:
      for (const RewriteInputSpec& spec : rw->input_specs_) rw->spec_line(spec, sb);
      return sb.take_string();
    case kSize:
      return String(rw->heap_->size());
    case kCapacity:
      return String(rw->heap_->capacity());
    case kGcInterval:
      sb.append_printf(24, "%lu", static_cast<unsigned long>(rw->reap_interval_));
      return sb.take_string();
    default:
      return String();
  }
}

int IPRewriterBase::write_handler(const String& value, Element* e, void* data, ErrorHandler* errh) {
  auto* rw = static_cast<IPRewriterBase*>(e);
  if (user_value(data) == kWriteClear) {
    rw->clear_flows();
    return 0;
  }
  Vector<String> conf;
  cp_split_arguments(value, &conf);
  uint32_t capacity = 0;
  if (Args(conf, e, errh)
          .read_uint("CAPACITY", Args::kMandatory | Args::kPositional, capacity)
          .check_and_commit() < 0)
    return -1;
  if (capacity > static_cast<uint32_t>(RewriteHeap::kDefaultCapacity))
    return errh->error("CAPACITY: out of range, bound %d", RewriteHeap::kDefaultCapacity);
  rw->heap_->set_capacity(static_cast<int32_t>(capacity));
  rw->reap_flows(false);
  return 0;
}

String IPRewriterBase::pattern_read_handler(Element* e, void* data) {
  auto* rw = static_cast<IPRewriterBase*>(e);
  const int input = static_cast<int>(user_value(data));
  if (input >= rw->input_specs_.size()) return String();
  StringBuilder sb;
  rw->spec_line(rw->input_specs_[input], sb);
  return sb.take_string();
}

int IPRewriterBase::pattern_write_handler(const String& value, Element* e, void* data,
                                          ErrorHandler* errh) {
  auto* rw = static_cast<IPRewriterBase*>(e);
  const int input = static_cast<int>(user_value(data));
  if (input >= rw->input_specs_.size()) return -1;
  RewriteInputSpec spec;
  if (!rw->parse_input_spec(value, input, &spec, errh)) return -1;
  RewriteInputSpec& old = rw->input_specs_[input];
  // Collected first: destroying re-sifts the heaps under the scan.
  Vector<RewriteFlow*> doomed;
  for (int which = 0; which < 2; ++which)
    for (int i = 0; i < rw->heap_->count(which); ++i)
      if (rw->heap_->flow_at(which, i)->owner() == &old)
        doomed.push_back(rw->heap_->flow_at(which, i));
  for (RewriteFlow* flow : doomed) rw->destroy_flow(flow);
  release_spec(&old);
  old = spec;
  if (old.kind == RewriteInputSpec::kMapper) old.mapper->attach_rewriter(rw, &old, errh);
  return 0;
}

int IPRewriterBase::lookup_handler(int, String& value, Element* e, const Handler* h,
                                   ErrorHandler* errh) {
  auto* rw = static_cast<IPRewriterBase*>(e);
  RewriteMap* map = rw->map_for(static_cast<int>(user_value(h->read_user_data())));
  if (map == nullptr) {
    value = String("no map!");
    return 0;
  }
  Vector<String> conf;
  cp_split_arguments(value, &conf);
  String words[4];
  const char* keywords[4] = {"SADDR", "SPORT", "DADDR", "DPORT"};
  Args args(conf, e, errh);
  for (int i = 0; i < 4; ++i)
    args.read_word(keywords[i], Args::kMandatory | Args::kPositional, words[i]);
  if (args.check_and_commit() < 0) return -1;
  IPAddress addresses[2];
  uint16_t ports[2];
  for (int i = 0; i < 2; ++i) {
    ParseContext context(e, errh);
    context.keyword = keywords[2 * i + 1];
    if (!cp_parse_ip_address(words[2 * i], &addresses[i]))
      return errh->error("%s: expected IP address", keywords[2 * i]);
    if (!cp_parse_port(6, words[2 * i + 1], &ports[i], context))
      return errh->error("%s: expected port", keywords[2 * i + 1]);
  }
  const FlowTuple tuple(addresses[0], addresses[1], htons(ports[0]), htons(ports[1]));
  RewriteEntry* entry = map->find(tuple).get();
  if (entry == nullptr) {
    value = String();
    return 0;
  }
  const FlowTuple r = entry->rewritten_flowid();
  StringBuilder sb;
  sb << r.saddr().to_string() << ' ' << static_cast<unsigned>(ntohs(r.sport())) << ' '
     << r.daddr().to_string() << ' ' << static_cast<unsigned>(ntohs(r.dport()));
  value = sb.take_string();
  return 0;
}

void IPRewriterBase::add_handlers() {
  Router::add_read_handler(this, "table_size", read_handler, user_data(kTableSize));
  Router::add_read_handler(this, "nmappings", read_handler, user_data(kTableSize), Handler::kListU);
  Router::add_read_handler(this, "mapping_failures", read_handler, user_data(kMappingFailures));
  Router::add_read_handler(this, "patterns", read_handler, user_data(kPatterns));
  Router::add_read_handler(this, "size", read_handler, user_data(kSize));
  Router::add_read_handler(this, "capacity", read_handler, user_data(kCapacity));
  Router::add_write_handler(this, "capacity", write_handler, user_data(kWriteCapacity));
  Router::add_read_handler(this, "gc_interval", read_handler, user_data(kGcInterval));
  Router::add_write_handler(this, "clear", write_handler, user_data(kWriteClear));
  for (int i = 0; i < ninputs(); ++i) {
    String name = String("pattern") + String(i);
    Router::add_read_handler(this, name, pattern_read_handler,
                             user_data(static_cast<uintptr_t>(i)));
    Router::add_write_handler(this, name, pattern_write_handler,
                              user_data(static_cast<uintptr_t>(i)));
  }
}

void IPRewriterBase::rewrite_ip_header(RewriteFlow* flow, int direction, Packet* p,
                                       IPHeaderView& header, int annos) {
  const FlowTuple& other = flow->entry(1 - direction).flowid();
  header.set_src(other.daddr());
  header.set_dst(other.saddr());
  if (annos & kDstAnno) p->set_dst_ip_anno(other.saddr());
  if (direction == 1 && (annos & kReplyAnno)) p->set_anno_u8(annos >> 2, flow->reply_anno());
  const uint16_t ip_delta =
      direction == 1 ? flow->ip_csum_delta() : static_cast<uint16_t>(~flow->ip_csum_delta());
  checksum_update(header.checksum_field(), ip_delta);
}
