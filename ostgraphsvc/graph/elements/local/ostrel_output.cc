#include "ostgraphsvc/graph/elements/local/ostrel_output.h"

#include "graph/packet.h"
#include "graph/router.h"
#include "graph/router_log.h"
#include "ostgraphsvc/graph/elements/local/fromdevice.h"

namespace {

// The first element of the router, in index order, that casts to
// "FromDevice"; null when there is none.
FromDevice* FindFromDevice(const Router* router) {
  if (router == nullptr) return nullptr;
  for (int i = 0; i < router->nelements(); ++i) {
    Element* e = router->element(i);
    if (e == nullptr) continue;
    if (void* found = e->cast("FromDevice")) return static_cast<FromDevice*>(found);
  }
  return nullptr;
}

}  // namespace

bool OstrelCaptureExit::attach() {
  from_device_ = FindFromDevice(router());
  initialised_ = 1;
  return from_device_ != nullptr;
}

bool OstrelCaptureExit::hand_over(Packet* p) {
  if (from_device_ == nullptr) return false;
  from_device_->pending_send().push_back(p);
  return true;
}

int OstrelToDevice::initialize(ErrorHandler*) { return attach() ? 0 : -1; }

void OstrelToDevice::push(int, Packet* p) {
  // A router whose initialize failed never runs; still, never keep a packet
  // nobody will drain.
  if (!hand_over(p)) p->release();
}

int OstrelToHost::initialize(ErrorHandler*) {
  attach();
  return 0;
}

void OstrelToHost::push(int, Packet* p) {
  if (hand_over(p)) return;
  ROUTER_LOG_LIMITED(6, "OstrelToHost::push", "FromDevice Handle Null");
  p->release();
}
