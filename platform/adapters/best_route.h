// The host's best route to one IPv4 destination (IP Helper's GetBestRoute),
// and a bounded per-destination cache of the answers for the packet thread.
//
// `get_best_route` sends one RTM_GETROUTE request for the destination
// (RTA_DST) with RTM_F_FIB_MATCH, so the kernel answers with the table entry
// that matched: its prefix (0.0.0.0/0 for the default route), gateway and
// output interface. `parse_best_route_reply` is the pure, bounds-checked
// reader of that reply.
//
// `BestRouteCache` keeps at most 65,536 answers (failures included, so that a
// destination without a route costs no round trip per packet), each for at
// most 10 s; `invalidate_best_route_caches` (network change monitors, any
// thread) empties every cache at its next lookup. A cache itself belongs to
// one thread.
#ifndef PLATFORM_ADAPTERS_BEST_ROUTE_H_
#define PLATFORM_ADAPTERS_BEST_ROUTE_H_

#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/adapters/adapters.h"

namespace platform {

struct BestRoute {
  uint32_t destination = 0;  // network order; 0 with prefix 0 for the default route
  uint8_t prefix_len = 0;
  uint32_t gateway = 0;  // network order; 0 when the destination is on-link
  uint32_t if_index = 0;
};

// Reads the kernel's answer to one route request: an RTM_NEWROUTE (whose
// destination is taken as the prefix it states) or an NLMSG_ERROR. Returns 0
// with `*out` filled, the Windows error carried by an error message, or 13
// for anything truncated or inconsistent. Never reads outside [buf, buf+len).
uint32_t parse_best_route_reply(const void* buf, size_t len, BestRoute* out);

// Asks the kernel for the route to `destination` (network order). Returns 0,
// or a Windows error that is also stored as the last error (1168 when no
// route covers the destination). `*out` is untouched on failure.
uint32_t get_best_route(uint32_t destination, BestRoute* out);

// Empties every BestRouteCache of the process at its next lookup.
void invalidate_best_route_caches();

class BestRouteCache {
 public:
  static constexpr uint32_t kSlots = 65536;
  static constexpr int64_t kLifetimeMsec = 10000;

  using Lookup = uint32_t (*)(uint32_t destination, BestRoute* out);

  // `lookup` answers misses (get_best_route unless a test gives another).
  explicit BestRouteCache(Lookup lookup = get_best_route);
  BestRouteCache(const BestRouteCache&) = delete;
  BestRouteCache& operator=(const BestRouteCache&) = delete;

  // The answer for `destination` at `now_msec` (any monotonic-enough
  // millisecond clock): from the cache while it is younger than 10 s and no
  // invalidation came since, else from `lookup`. Returns 0 or the error;
  // `*miss` (optional) says whether `lookup` was asked. On an error the
  // last error is set again, so a cached failure reads like a fresh one.
  uint32_t get(uint32_t destination, int64_t now_msec, BestRoute* out, bool* miss = nullptr);

  void clear();
  uint64_t lookups() const { return lookups_; }

 private:
  struct Slot {
    uint32_t destination = 0;
    uint32_t error = 0;
    int64_t expires_msec = 0;
    uint32_t epoch = 0;
    bool used = false;
    BestRoute route;
  };

  Lookup lookup_;
  std::unique_ptr<Slot[]> slots_;
  uint32_t epoch_ = 0;
  uint64_t lookups_ = 0;
};

}  // namespace platform

#endif  // PLATFORM_ADAPTERS_BEST_ROUTE_H_
