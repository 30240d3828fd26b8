// The handle table and the parameter checks in front of the backends.
//
// A handle value encodes a table slot and that slot's generation, so a closed
// handle stays refused after its slot is reused. Each call holds a reference
// to the handle's state while it runs; closing drops the table's reference
// and wakes the backend, and the state goes with the last reference.
#include "platform/divert/divert.h"

#include <time.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string_view>
#include <vector>

#include "platform/divert/backend.h"
#include "platform/divert/filter.h"
#include "platform/divert/packet.h"
#include "platform/error/win_error.h"

namespace platform::divert {
namespace {

struct HandleState {
  FilterProgram filter;
  // Declared after the filter so that it is destroyed first: it reads it.
  std::unique_ptr<DivertBackend> backend;
};

constexpr uint32_t kMaxSlots = 0xFFFF;

class HandleTable {
 public:
  // Returns kWinDivertInvalidHandle when every slot is taken.
  WinDivertHandle add(std::shared_ptr<HandleState> state) {
    std::lock_guard<std::mutex> lock(mu_);
    size_t slot = 0;
    while (slot < slots_.size() && slots_[slot].state) ++slot;
    if (slot == kMaxSlots) return kWinDivertInvalidHandle;
    if (slot == slots_.size()) slots_.emplace_back();
    Slot& s = slots_[slot];
    ++s.generation;
    s.state = std::move(state);
    return static_cast<WinDivertHandle>(s.generation << 16 | (slot + 1));
  }

  std::shared_ptr<HandleState> get(WinDivertHandle handle) {
    std::lock_guard<std::mutex> lock(mu_);
    Slot* s = find(handle);
    return s ? s->state : nullptr;
  }

  std::shared_ptr<HandleState> remove(WinDivertHandle handle) {
    std::lock_guard<std::mutex> lock(mu_);
    Slot* s = find(handle);
    return s ? std::move(s->state) : nullptr;
  }

 private:
  struct Slot {
    uint64_t generation = 0;
    std::shared_ptr<HandleState> state;
  };

  Slot* find(WinDivertHandle handle) {
    if (handle <= 0) return nullptr;
    const uint64_t value = static_cast<uint64_t>(handle);
    const uint64_t slot = (value & 0xFFFF) - 1;
    if (slot >= slots_.size()) return nullptr;
    Slot& s = slots_[slot];
    if (!s.state || s.generation != value >> 16) return nullptr;
    return &s;
  }

  std::mutex mu_;
  std::vector<Slot> slots_;
};

HandleTable& table() {
  static HandleTable t;
  return t;
}

std::atomic<bool> g_force_simulated{false};

enum class Choice { kSimulated, kNetfilter, kUnknown };

Choice backend_choice() {
  if (g_force_simulated.load()) return Choice::kSimulated;
  const char* env = std::getenv("DOVADOD_DIVERT");
  const std::string_view v = env ? env : "";
  if (v == "simulated") return Choice::kSimulated;
  // A misspelt choice must not fall through to capturing real traffic.
  if (v.empty() || v == "netfilter") return Choice::kNetfilter;
  return Choice::kUnknown;
}

bool fail(uint32_t code) {
  set_last_error(code);
  return false;
}

}  // namespace

int64_t timestamp_now() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

void use_simulated_backend(bool on) { g_force_simulated.store(on); }

bool release_received(WinDivertHandle handle, const WINDIVERT_ADDRESS* records, uint32_t count) {
  const std::shared_ptr<HandleState> state = table().get(handle);
  if (!state) return fail(kErrorInvalidHandle);
  if (records == nullptr && count > 0) return fail(kErrorInvalidParameter);
  if (count > 0) state->backend->release(records, count);
  return true;
}

bool get_counters(WinDivertHandle handle, DivertCounters* out) {
  const std::shared_ptr<HandleState> state = table().get(handle);
  if (!state) return fail(kErrorInvalidHandle);
  if (out == nullptr) return fail(kErrorInvalidParameter);
  *out = state->backend->counters();
  return true;
}

bool close_with_counters(WinDivertHandle handle, DivertCounters* out) {
  if (out == nullptr) return fail(kErrorInvalidParameter);
  const std::shared_ptr<HandleState> state = table().remove(handle);
  if (!state) return fail(kErrorInvalidHandle);
  state->backend->close();
  *out = state->backend->counters();
  return true;
}

}  // namespace platform::divert

using platform::divert::HandleState;
using platform::divert::table;

WinDivertHandle WinDivertOpen(const char* filter, WINDIVERT_LAYER layer, int16_t priority,
                              uint64_t flags) {
  using namespace platform::divert;
  if (filter == nullptr || layer != WINDIVERT_LAYER_NETWORK || flags != 0 ||
      priority > WINDIVERT_PRIORITY_HIGHEST || priority < WINDIVERT_PRIORITY_LOWEST) {
    platform::set_last_error(platform::kErrorInvalidParameter);
    return kWinDivertInvalidHandle;
  }
  auto state = std::make_shared<HandleState>();
  if (!state->filter.compile(filter, nullptr)) {
    platform::set_last_error(platform::kErrorInvalidParameter);
    return kWinDivertInvalidHandle;
  }
  switch (backend_choice()) {
    case Choice::kSimulated:
      state->backend = make_simulated_backend();
      break;
    case Choice::kNetfilter:
      state->backend = make_netfilter_backend();
      break;
    case Choice::kUnknown:
      platform::set_last_error(platform::kErrorInvalidParameter);
      return kWinDivertInvalidHandle;
  }
  const uint32_t err = state->backend->open(state->filter);
  if (err != 0) {
    platform::set_last_error(err);
    return kWinDivertInvalidHandle;
  }
  std::shared_ptr<HandleState> keep = state;
  const WinDivertHandle handle = table().add(std::move(state));
  if (handle == kWinDivertInvalidHandle) {
    keep->backend->close();
    platform::set_last_error(platform::kErrorTooManyOpenFiles);
  }
  return handle;
}

bool WinDivertRecvEx(WinDivertHandle handle, void* pPacket, uint32_t packetLen, uint32_t* pRecvLen,
                     uint64_t flags, WINDIVERT_ADDRESS* pAddr, uint32_t* pAddrLen,
                     void* lpOverlapped) {
  using platform::divert::fail;
  if (pRecvLen) *pRecvLen = 0;
  const std::shared_ptr<HandleState> state = table().get(handle);
  if (!state) return fail(platform::kErrorInvalidHandle);
  if (pPacket == nullptr || packetLen == 0 || pAddr == nullptr || pAddrLen == nullptr ||
      *pAddrLen < sizeof(WINDIVERT_ADDRESS) || *pAddrLen % sizeof(WINDIVERT_ADDRESS) != 0 ||
      flags != 0 || lpOverlapped != nullptr) {
    return fail(platform::kErrorInvalidParameter);
  }
  platform::divert::RecvArea area;
  area.packets = static_cast<uint8_t*>(pPacket);
  area.packet_capacity = packetLen;
  area.records = pAddr;
  const uint32_t records = *pAddrLen / sizeof(WINDIVERT_ADDRESS);
  area.record_capacity = records < WINDIVERT_BATCH_MAX ? records : WINDIVERT_BATCH_MAX;
  const uint32_t err = state->backend->recv(&area);
  if (err != 0) return fail(err);
  if (pRecvLen) *pRecvLen = area.packet_bytes;
  *pAddrLen = area.count * static_cast<uint32_t>(sizeof(WINDIVERT_ADDRESS));
  return true;
}

bool WinDivertSendEx(WinDivertHandle handle, const void* pPacket, uint32_t packetLen,
                     uint32_t* pSendLen, uint64_t flags, const WINDIVERT_ADDRESS* pAddr,
                     uint32_t addrLen, void* lpOverlapped) {
  using platform::divert::fail;
  if (pSendLen) *pSendLen = 0;
  const std::shared_ptr<HandleState> state = table().get(handle);
  if (!state) return fail(platform::kErrorInvalidHandle);
  const uint32_t count = addrLen / sizeof(WINDIVERT_ADDRESS);
  if (pPacket == nullptr || packetLen == 0 || pAddr == nullptr || count == 0 ||
      addrLen % sizeof(WINDIVERT_ADDRESS) != 0 || count > WINDIVERT_BATCH_MAX || flags != 0 ||
      lpOverlapped != nullptr) {
    return fail(platform::kErrorInvalidParameter);
  }
  // Split the whole batch before sending any of it.
  platform::divert::OutPacket out[WINDIVERT_BATCH_MAX];
  const auto* bytes = static_cast<const uint8_t*>(pPacket);
  uint32_t offset = 0;
  for (uint32_t i = 0; i < count; ++i) {
    const platform::divert::Ipv4Parse ip =
        platform::divert::parse_ipv4(bytes + offset, packetLen - offset);
    if (offset == packetLen || !ip.framed) return fail(platform::kErrorInvalidParameter);
    out[i] = platform::divert::OutPacket{bytes + offset, ip.total_len, &pAddr[i]};
    offset += ip.total_len;
  }
  if (offset != packetLen) return fail(platform::kErrorInvalidParameter);
  uint32_t sent = 0;
  const uint32_t err = state->backend->send(out, count, &sent);
  if (err != 0) return fail(err);
  if (pSendLen) *pSendLen = sent;
  return true;
}

bool WinDivertShutdown(WinDivertHandle handle, WINDIVERT_SHUTDOWN how) {
  const std::shared_ptr<HandleState> state = table().get(handle);
  if (!state) return platform::divert::fail(platform::kErrorInvalidHandle);
  if (how != WINDIVERT_SHUTDOWN_RECV) return platform::divert::fail(platform::kErrorInvalidParameter);
  state->backend->shutdown_recv();
  return true;
}

bool WinDivertClose(WinDivertHandle handle) {
  const std::shared_ptr<HandleState> state = table().remove(handle);
  if (!state) return platform::divert::fail(platform::kErrorInvalidHandle);
  state->backend->close();
  return true;
}

bool WinDivertHelperCheckFilter(const char* filter, const char** errorStr, uint32_t* errorPos) {
  platform::divert::FilterError error{"Filter expression is missing", 0};
  platform::divert::FilterProgram program;
  if (filter != nullptr && program.compile(filter, &error)) return true;
  if (errorStr) *errorStr = error.reason;
  if (errorPos) *errorPos = error.pos;
  platform::set_last_error(platform::kErrorInvalidParameter);
  return false;
}
