// A name in the abstract Unix socket namespace, held by one socket at a time.
//
// The name belongs to the network namespace of the calling thread, so holders
// in different network namespaces never meet, and the kernel frees it when its
// socket closes, also when the holding process dies: nothing is left behind
// for a later start to clean. A process that keeps the claim for its lifetime
// tells a second one in the same namespace that it runs.
//
// Threads: one object per owner; not for concurrent use.
#ifndef PLATFORM_ABSTRACT_NAME_ABSTRACT_NAME_H_
#define PLATFORM_ABSTRACT_NAME_ABSTRACT_NAME_H_

#include <string_view>

namespace platform {

class AbstractNameClaim {
 public:
  AbstractNameClaim() = default;
  AbstractNameClaim(const AbstractNameClaim&) = delete;
  AbstractNameClaim& operator=(const AbstractNameClaim&) = delete;
  ~AbstractNameClaim();

  // Binds a close-on-exec socket to `name` (1 to 107 bytes, no leading NUL).
  // False with 183 when another socket holds the name; for a root caller only
  // when a root process holds it, else 5 (the name was taken by another
  // account, whose claim means nothing); 87 for a bad name, or the socket
  // error. True also when this object holds it already.
  bool claim(std::string_view name);
  // Gives the name up; harmless when not held.
  void release();
  bool held() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

}  // namespace platform

#endif  // PLATFORM_ABSTRACT_NAME_ABSTRACT_NAME_H_
