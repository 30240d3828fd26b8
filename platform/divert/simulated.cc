#include "platform/divert/simulated.h"

#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>

#include "platform/divert/backend.h"
#include "platform/divert/filter.h"
#include "platform/error/win_error.h"

namespace platform::divert {
namespace {

// A FIFO of packets in one preallocated byte area, so that pushing and
// popping never allocate. Each packet's bytes are contiguous: one that does
// not fit before the end of the area starts again at offset 0.
class PacketRing {
 public:
  PacketRing(uint32_t max_packets, uint32_t max_bytes)
      : bytes_(new uint8_t[max_bytes]),
        capacity_(max_bytes),
        entries_(new Entry[max_packets]),
        max_packets_(max_packets) {}

  bool empty() const { return count_ == 0; }
  uint32_t size() const { return count_; }

  bool push(const uint8_t* data, uint32_t len, const WINDIVERT_ADDRESS& addr, bool flag) {
    if (count_ == max_packets_ || len == 0 || len > capacity_) return false;
    uint32_t at = 0;
    if (count_ == 0) {
      at = 0;
    } else {
      const uint32_t oldest = entries_[head_].offset;
      if (write_ >= oldest) {
        // Used bytes lie in [oldest, write_): room at the end, else before oldest.
        if (len <= capacity_ - write_) {
          at = write_;
        } else if (len < oldest) {
          at = 0;
        } else {
          return false;
        }
      } else {
        // Wrapped: free bytes lie in [write_, oldest).
        if (len >= oldest - write_) return false;
        at = write_;
      }
    }
    std::memcpy(bytes_.get() + at, data, len);
    entries_[(head_ + count_) % max_packets_] = Entry{at, len, addr, flag};
    ++count_;
    write_ = at + len;
    return true;
  }

  const uint8_t* front_data() const { return bytes_.get() + entries_[head_].offset; }
  uint32_t front_len() const { return entries_[head_].len; }
  const WINDIVERT_ADDRESS& front_addr() const { return entries_[head_].addr; }
  bool front_flag() const { return entries_[head_].flag; }

  void pop() {
    head_ = (head_ + 1) % max_packets_;
    if (--count_ == 0) write_ = 0;
  }

 private:
  struct Entry {
    uint32_t offset = 0;
    uint32_t len = 0;
    WINDIVERT_ADDRESS addr{};
    bool flag = false;
  };

  std::unique_ptr<uint8_t[]> bytes_;
  uint32_t capacity_;
  std::unique_ptr<Entry[]> entries_;
  uint32_t max_packets_;
  uint32_t head_ = 0;
  uint32_t count_ = 0;
  uint32_t write_ = 0;
};

class SimulatedBackend;

// The process-wide network. One lock guards it and every simulated handle.
struct Network {
  std::mutex mu;
  std::vector<SimulatedBackend*> handles;  // in open order
  PacketRing delivered{kSimQueuePackets, kSimQueueBytes};
  uint64_t delivered_overflow = 0;
  uint32_t fail_next_open = 0;
};

Network& network() {
  static Network net;
  return net;
}

WINDIVERT_ADDRESS normalised_record(const WINDIVERT_ADDRESS& where) {
  WINDIVERT_ADDRESS a{};
  a.Timestamp = timestamp_now();
  a.Flags = where.Flags &
            (WINDIVERT_ADDRESS_OUTBOUND | WINDIVERT_ADDRESS_LOOPBACK | WINDIVERT_ADDRESS_IMPOSTOR);
  a.IfIdx = where.IfIdx;
  return a;
}

class SimulatedBackend final : public DivertBackend {
 public:
  ~SimulatedBackend() override { close(); }

  uint32_t open(const FilterProgram& filter) override {
    Network& net = network();
    std::lock_guard<std::mutex> lock(net.mu);
    if (net.fail_next_open != 0) {
      const uint32_t code = net.fail_next_open;
      net.fail_next_open = 0;
      closed_ = true;
      return code;
    }
    filter_ = &filter;
    queue_ = std::make_unique<PacketRing>(kSimQueuePackets, kSimQueueBytes);
    net.handles.push_back(this);
    return 0;
  }

  uint32_t recv(RecvArea* area) override {
    Network& net = network();
    std::unique_lock<std::mutex> lock(net.mu);
    ready_.wait(lock, [&] { return closed_ || shut_ || !queue_->empty(); });
    if (closed_) return kErrorInvalidHandle;
    if (queue_->empty()) return kWinDivertErrorNoData;
    if (queue_->front_len() > area->packet_capacity) {
      queue_->pop();
      ++counters_.oversize;
      return kWinDivertErrorInsufficientBuffer;
    }
    uint32_t bytes = 0;
    uint32_t count = 0;
    const uint32_t max =
        area->record_capacity < WINDIVERT_BATCH_MAX ? area->record_capacity : WINDIVERT_BATCH_MAX;
    while (count < max && !queue_->empty() &&
           queue_->front_len() <= area->packet_capacity - bytes) {
      std::memcpy(area->packets + bytes, queue_->front_data(), queue_->front_len());
      area->records[count] = queue_->front_addr();
      bytes += queue_->front_len();
      ++count;
      queue_->pop();
    }
    area->packet_bytes = bytes;
    area->count = count;
    counters_.received += count;
    return 0;
  }

  uint32_t send(const OutPacket* packets, uint32_t count, uint32_t* sent_bytes) override {
    Network& net = network();
    std::lock_guard<std::mutex> lock(net.mu);
    if (closed_) return kErrorInvalidHandle;
    uint32_t bytes = 0;
    for (uint32_t i = 0; i < count; ++i) {
      const OutPacket& p = packets[i];
      if (!net.delivered.push(p.data, p.len, normalised_record(*p.addr), true)) {
        ++net.delivered_overflow;
        ++counters_.send_dropped;
        continue;
      }
      ++counters_.reinjected;
      bytes += p.len;
    }
    *sent_bytes = bytes;
    return 0;
  }

  // Stolen packets live only in the queue: nothing is held for them.
  void release(const WINDIVERT_ADDRESS*, uint32_t) override {}

  void shutdown_recv() override {
    Network& net = network();
    std::lock_guard<std::mutex> lock(net.mu);
    if (closed_ || shut_) return;
    shut_ = true;
    // Steals nothing more: later packets pass to the next handle or the host.
    std::erase(net.handles, this);
    ready_.notify_all();
  }

  void close() override {
    Network& net = network();
    std::lock_guard<std::mutex> lock(net.mu);
    if (closed_) return;
    closed_ = true;
    std::erase(net.handles, this);
    ready_.notify_all();
  }

  DivertCounters counters() const override {
    std::lock_guard<std::mutex> lock(network().mu);
    return counters_;
  }

  // Under the network lock: steals the packet when the filter matches.
  bool offer(const uint8_t* data, uint32_t len, const PacketFields& fields,
             const WINDIVERT_ADDRESS& record) {
    ++counters_.seen;
    if (!filter_->matches(fields)) return false;
    ++counters_.stolen;
    if (!queue_->push(data, len, record, false)) {
      ++counters_.overflow;
      return true;
    }
    ready_.notify_one();
    return true;
  }

 private:
  const FilterProgram* filter_ = nullptr;
  std::unique_ptr<PacketRing> queue_;
  std::condition_variable ready_;
  bool closed_ = false;
  bool shut_ = false;
  DivertCounters counters_;
};

}  // namespace

std::unique_ptr<DivertBackend> make_simulated_backend() {
  return std::make_unique<SimulatedBackend>();
}

namespace sim {

bool inject(const void* packet, uint32_t len, const WINDIVERT_ADDRESS& where) {
  if (packet == nullptr || len == 0 || len > WINDIVERT_MTU_MAX) {
    set_last_error(kErrorInvalidParameter);
    return false;
  }
  const auto* data = static_cast<const uint8_t*>(packet);
  const WINDIVERT_ADDRESS record = normalised_record(where);
  PacketFields fields;
  const bool ipv4 = packet_fields(data, len, record, &fields);
  Network& net = network();
  std::lock_guard<std::mutex> lock(net.mu);
  if (ipv4) {
    for (SimulatedBackend* h : net.handles) {
      if (h->offer(data, len, fields, record)) return true;
    }
  }
  if (!net.delivered.push(data, len, record, false)) ++net.delivered_overflow;
  return false;
}

std::vector<SimPacket> take_delivered() {
  Network& net = network();
  std::lock_guard<std::mutex> lock(net.mu);
  std::vector<SimPacket> out;
  out.reserve(net.delivered.size());
  while (!net.delivered.empty()) {
    SimPacket p;
    p.bytes.assign(net.delivered.front_data(),
                   net.delivered.front_data() + net.delivered.front_len());
    p.addr = net.delivered.front_addr();
    p.reinjected = net.delivered.front_flag();
    out.push_back(std::move(p));
    net.delivered.pop();
  }
  return out;
}

uint64_t delivered_overflow() {
  Network& net = network();
  std::lock_guard<std::mutex> lock(net.mu);
  return net.delivered_overflow;
}

void fail_next_open(uint32_t code) {
  Network& net = network();
  std::lock_guard<std::mutex> lock(net.mu);
  net.fail_next_open = code;
}

size_t open_handles() {
  Network& net = network();
  std::lock_guard<std::mutex> lock(net.mu);
  return net.handles.size();
}

void reset() {
  Network& net = network();
  std::lock_guard<std::mutex> lock(net.mu);
  while (!net.delivered.empty()) net.delivered.pop();
  net.delivered_overflow = 0;
  net.fail_next_open = 0;
}

}  // namespace sim
}  // namespace platform::divert
