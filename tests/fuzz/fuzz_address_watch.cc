// Address notifications are datagrams from a netlink socket: whatever they
// hold, the walk must stay inside the datagram, always end, and report only
// IPv4 additions and deletions on a real interface index.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "ostgraphsvc/ostnetmonitor/address_watcher.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > AddressWatcher::kBufferSize) return 0;
  // Exactly `size` bytes on the heap, so that a read past them is seen.
  std::vector<uint8_t> buf(data, data + size);
  AddressWatcher::HandleDatagram(buf.data(), buf.size(), [](int type, uint32_t, uint32_t index) {
    if (type != kMibAddInstance && type != kMibDeleteInstance) std::abort();
    if (index == 0) std::abort();
  });
  return 0;
}
