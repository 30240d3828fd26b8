#include "ostgraphsvc/graph/elements/standard/rated.h"

#include <cstring>

#include "graph/args.h"
#include "graph/confparse.h"
#include "graph/error_handler.h"
#include "graph/handler.h"
#include "graph/packet.h"
#include "graph/router.h"
#include "graph/router_log.h"
#include "graph/schedule_info.h"
#include "graph/timestamp.h"

namespace {

constexpr uint32_t kUnset = 0xFFFFFFFF;

uint32_t now_tick() {
  return static_cast<uint32_t>(Timestamp::now().nsec() / Timestamp::kNsecPerMsec);
}

void* datum(int what) { return reinterpret_cast<void*>(static_cast<uintptr_t>(what)); }
int what_of(void* data) { return static_cast<int>(reinterpret_cast<uintptr_t>(data)); }

const char kDefaultData[] = "Random bullshit in a packet, at least 64 bytes long. Well, now it is.";

}  // namespace

// ---- RatedUnqueue -------------------------------------------------------------

int RatedUnqueue::configure_helper_ex(Element* e, Vector<String>& conf, ErrorHandler* errh,
                                      TokenBucket* bucket, uint32_t* burst_out,
                                      String* interface_out) {
  uint32_t rate = 0;
  String interface;
  // The groups consume a copy: the caller's arguments stay whole for a later
  // live change of one of them.
  Vector<String> rest = conf;
  Args first(e, errh);
  first.bind(rest)
      .read_bandwidth("RATE", Args::kMandatory | Args::kPositional, rate)
      .read_string("INTERFACE", 0, interface)
      .remove_consumed();
  if (first.commit() < 0) {
    log_syslog_level(6, "RatedUnqueue", __FILE__, __LINE__, "Error Reading Interface Name");
    return -1;
  }
  uint32_t duration = kUnset;
  uint32_t burst_bytes = kUnset;
  if (Args(rest, e, errh)
          .read_seconds("BURST_DURATION", 0, duration, 3)
          .read_uint("BURST_BYTES", 0, burst_bytes)
          .check_and_commit() < 0)
    return -1;
  if (duration != kUnset && burst_bytes != kUnset)
    return errh->error("cannot specify both BURST_DURATION and BURST_SIZE");
  if (duration == kUnset) duration = 20;

  uint64_t burst = burst_bytes;
  if (burst_bytes == kUnset) {
    burst = static_cast<uint64_t>(rate) * duration / 1000;
    if (burst > 0xFFFFFFFFu) burst = 0xFFFFFFFFu;
  }
  burst += BandwidthRatedSplitter::kSlack;
  if (burst > 0xFFFFFFFFu) burst = 0xFFFFFFFFu;
  const auto b = static_cast<uint32_t>(burst);
  log_syslog_level(6, "RatedUnqueue", __FILE__, __LINE__, "RatedUnqueue rate %u, tokens %u", rate,
                   b);
  bucket->assign(rate, b == 0 ? 1 : b);
  *burst_out = b == 0 ? 1 : b;
  *interface_out = interface;
  return 0;
}

uint32_t RatedUnqueue::bucket_rate(const TokenBucket& bucket) {
  if (bucket.token_scale() == 0) return 0;
  const uint64_t per_tick = bucket.tokens_per_tick();
  const uint64_t rate = (per_tick * 1000 + per_tick / 2) / bucket.token_scale();
  return rate > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(rate);
}

// ---- BandwidthRatedSplitter ---------------------------------------------------------

int BandwidthRatedSplitter::configure(Vector<String>& conf, ErrorHandler* errh) {
  TokenBucket bucket;
  uint32_t burst = 1;
  String interface;
  if (RatedUnqueue::configure_helper_ex(this, conf, errh, &bucket, &burst, &interface) < 0)
    return -1;
  const uint32_t level = bucket_.level();
  bucket_ = bucket;
  burst_ = burst;
  interface_ = interface;
  bucket_.set_last_tick(now_tick());
  // A fresh splitter starts with a full bucket; a live change keeps the fill.
  if (!started_) bucket_.set_full();
  if (started_) bucket_.set_level(level);
  started_ = true;
  return 0;
}

String BandwidthRatedSplitter::read_rate(Element* e, void*) {
  return cp_bandwidth_to_string(
      RatedUnqueue::bucket_rate(static_cast<BandwidthRatedSplitter*>(e)->bucket_));
}

void BandwidthRatedSplitter::add_handlers() {
  static char rate_argument[] = "0 RATE";
  Router::add_read_handler(this, "rate", read_rate, nullptr);
  Router::add_write_handler(this, "rate", config_argument_write_handler, rate_argument);
  Router::add_read_handler(this, "config", read_rate, nullptr);
  Router::clear_handler_flags(this, "config");
}

void BandwidthRatedSplitter::push(int, Packet* p) {
  bucket_.refill();
  const uint64_t scale = bucket_.token_scale();
  if (bucket_.level() >= kSlack * scale) {
    const uint64_t cost = p->length() * scale;
    bucket_.set_level(cost >= bucket_.level() ? 0 : static_cast<uint32_t>(bucket_.level() - cost));
    output(0).push(p);
    return;
  }
  if (noutputs() == 2) {
    output(1).push(p);
    return;
  }
  p->release();
}

// ---- RatedSource ----------------------------------------------------------------

namespace {

enum {
  kData,
  kRate,
  kLimit,
  kActive,
  kCount,
  kReset,
  kDatasize,
};

}  // namespace

RatedSource::~RatedSource() {
  if (packet_ != nullptr) packet_->release();
}

Packet* RatedSource::build(const String& data, int datasize, uint32_t headroom) const {
  if (datasize < 0 || datasize <= data.length())
    return Packet::make(headroom, data.data(),
                        static_cast<uint32_t>(datasize < 0 ? data.length() : datasize));
  Packet* p = Packet::make(headroom, nullptr, static_cast<uint32_t>(datasize));
  if (p == nullptr || data.length() == 0) return p;
  unsigned char* d = p->data();
  for (int i = 0; i < datasize; i += data.length()) {
    const int n = datasize - i < data.length() ? datasize - i : data.length();
    std::memcpy(d + i, data.data(), static_cast<size_t>(n));
  }
  return p;
}

int RatedSource::configure(Vector<String>& conf, ErrorHandler* errh) {
  String data = kDefaultData;
  uint32_t rate = 10;
  int32_t limit = -1;
  bool active = true;
  int32_t length = -1;
  int32_t datasize = INT32_MIN;
  bool stop = false;
  uint32_t bandwidth = 0;
  if (Args(conf, this, errh)
          .read_string("DATA", Args::kPositional, data)
          .read_uint("RATE", Args::kPositional, rate)
          .read_int("LIMIT", Args::kPositional, limit)
          .read_bool("ACTIVE", Args::kPositional, active)
          .read_int("LENGTH", 0, length)
          .read_int("DATASIZE", 0, datasize)
          .read_bool("STOP", 0, stop)
          .read_bandwidth("BANDWIDTH", 0, bandwidth)
          .check_and_commit() < 0)
    return -1;
  if (datasize == INT32_MIN) datasize = length;
  if (bandwidth > 0) {
    const int size = datasize >= 0 ? datasize : data.length();
    // A zero-byte packet would make the packet rate a division by zero.
    if (size <= 0) return errh->error("BANDWIDTH requires a packet size above 0");
    rate = bandwidth / static_cast<uint32_t>(size);
  }
  uint32_t burst = rate < 200 ? 2 : rate / 100;
  if (bandwidth > 0 && static_cast<int64_t>(burst) < 2 * static_cast<int64_t>(datasize))
    burst = static_cast<uint32_t>(2 * datasize);
  Packet* p = build(data, datasize, 60);
  if (p == nullptr) return errh->error("out of memory");

  bucket_.assign(rate, burst);
  burst_ = burst;
  limit_ = limit < 0 ? kNoLimit : static_cast<uint32_t>(limit);
  active_ = active;
  stop_ = stop;
  data_ = data;
  datasize_ = datasize;
  if (packet_ != nullptr) packet_->release();
  packet_ = p;
  return 0;
}

void RatedSource::fill_one() {
  bucket_.set_level(bucket_.token_scale());
  bucket_.set_last_tick(now_tick());
}

int RatedSource::initialize(ErrorHandler* errh) {
  count_ = 0;
  if (output(0).active()) {
    const int tickets = ScheduleInfo::query(this, errh);
    task_.initialize(this, true);
    if (tickets > 0)
      task_.set_tickets(tickets > ScheduleInfo::kMaxTickets ? ScheduleInfo::kMaxTickets : tickets);
  }
  fill_one();
  timer_.initialize(this);
  return 0;
}

Packet* RatedSource::next_packet() {
  if (!active_) return nullptr;
  if (count_ >= limit_) {
    if (stop_ && router() != nullptr) router()->adjust_runcount(-1);
    return nullptr;
  }
  bucket_.refill();
  if (!bucket_.remove_if()) return nullptr;
  Packet* p = packet_->clone();
  if (p == nullptr) return nullptr;
  p->set_timestamp(Timestamp::now());
  ++count_;
  return p;
}

bool RatedSource::run_task(Task*) {
  if (!active_ || count_ >= limit_) {
    next_packet();  // handles STOP at the limit
    return false;
  }
  Packet* p = next_packet();
  if (p != nullptr) {
    output(0).push(p);
    task_.reschedule();
    return true;
  }
  const uint32_t wait = bucket_.time_until_contains();
  if (wait == 0xFFFFFFFFu) return false;
  timer_.schedule_at(Timestamp::now() + Timestamp::make_msec(wait));
  return false;
}

Packet* RatedSource::pull(int) { return next_packet(); }

void RatedSource::wake() {
  if (output(0).active() && !task_.scheduled()) task_.reschedule();
}

String RatedSource::read_handler(Element* e, void* data) {
  auto* s = static_cast<RatedSource*>(e);
  switch (what_of(data)) {
    case kData:
      return s->data_;
    case kRate:
      return String(RatedUnqueue::bucket_rate(s->bucket_));
    case kLimit:
      return s->limit_ == kNoLimit ? String("-1") : String(s->limit_);
    case kActive:
      return String(s->active_);
    case kCount:
      return String(s->count_);
    default:
      return String(s->datasize_);
  }
}

int RatedSource::write_handler(const String& value, Element* e, void* data, ErrorHandler* errh) {
  auto* s = static_cast<RatedSource*>(e);
  const String text = cp_uncomment(value);
  switch (what_of(data)) {
    case kData: {
      Packet* p = s->build(value, -1, 204);
      if (p == nullptr) return errh->error("out of memory");
      s->data_ = value;
      s->packet_->release();
      s->packet_ = p;
      return 0;
    }
    case kRate: {
      uint32_t rate;
      if (!cp_parse_uint32(nullptr, text, &rate)) return errh->error("syntax error");
      const uint64_t old_scale = s->bucket_.token_scale();
      const uint64_t level = s->bucket_.level();
      s->burst_ = rate < 200 ? 2 : rate / 100;
      s->bucket_.assign(rate, s->burst_);
      // Keep the same number of tokens under the new scale.
      uint64_t scaled = old_scale == 0 ? 0 : level * s->bucket_.token_scale() / old_scale;
      if (scaled > TokenBucket::kFull) scaled = TokenBucket::kFull;
      s->bucket_.set_level(static_cast<uint32_t>(scaled));
      return 0;
    }
    case kLimit: {
      int32_t limit;
      if (!cp_parse_int32(nullptr, text, &limit)) return errh->error("syntax error");
      s->limit_ = limit < 0 ? kNoLimit : static_cast<uint32_t>(limit);
      return 0;
    }
    case kActive: {
      bool active;
      if (!cp_parse_bool(text, &active)) return errh->error("syntax error");
      s->active_ = active;
      if (active) s->wake();
      return 0;
    }
    case kReset:
      s->count_ = 0;
      s->fill_one();
      s->wake();
      return 0;
    default: {
      int32_t datasize;
      if (!cp_parse_int32(nullptr, text, &datasize)) return errh->error("syntax error");
      Packet* p = s->build(s->data_, datasize, 60);
      if (p == nullptr) return errh->error("out of memory");
      s->datasize_ = datasize;
      s->packet_->release();
      s->packet_ = p;
      return 0;
    }
  }
}

void RatedSource::add_handlers() {
  Router::add_read_handler(this, "data", read_handler, datum(kData));
  Router::add_write_handler(this, "data", write_handler, datum(kData));
  Router::add_read_handler(this, "rate", read_handler, datum(kRate));
  Router::add_write_handler(this, "rate", write_handler, datum(kRate));
  Router::add_read_handler(this, "limit", read_handler, datum(kLimit));
  Router::add_write_handler(this, "limit", write_handler, datum(kLimit));
  Router::add_read_handler(this, "active", read_handler, datum(kActive));
  Router::add_write_handler(this, "active", write_handler, datum(kActive));
  Router::add_read_handler(this, "count", read_handler, datum(kCount));
  Router::add_write_handler(this, "reset", write_handler, datum(kReset));
  Router::add_read_handler(this, "length", read_handler, datum(kDatasize));
  Router::add_write_handler(this, "length", write_handler, datum(kDatasize));
  Router::add_read_handler(this, "datasize", read_handler, datum(kDatasize));
  Router::add_write_handler(this, "datasize", write_handler, datum(kDatasize));
  if (output(0).active()) add_task_handlers(&task_);
}
