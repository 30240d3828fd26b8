// The exits of the element graph: OstrelToDevice and OstrelToHost.
//
// Neither sends anything itself. Each appends every packet it is pushed to
// the pending-send list of the graph's capture element (the first element,
// in index order, that casts to "FromDevice"); the consumer thread drains
// that list after each message block and decides from the packet's
// annotations where it goes. The two differ only in their configure phase,
// their flags and the case of a graph without a capture element:
// OstrelToDevice then fails to initialize, so the router does not start;
// OstrelToHost starts and frees every packet it gets with the line
// "FromDevice Handle Null".
//
// Ownership: a pushed packet belongs to the capture element's list from then
// on. The capture element is another element of the same router, not owned.
// Threads: configure and initialize on the thread that builds the router;
// push on the consumer thread only, which is also the only one to drain the
// list, so it has no lock.
#ifndef OSTGRAPHSVC_GRAPH_ELEMENTS_LOCAL_OSTREL_OUTPUT_H_
#define OSTGRAPHSVC_GRAPH_ELEMENTS_LOCAL_OSTREL_OUTPUT_H_

#include <cstdint>

#include "graph/element.h"

class FromDevice;

// What both exits share: the capture element they hand packets to.
class OstrelCaptureExit : public Element {
 public:
  FromDevice* from_device() const { return from_device_; }
  bool initialised() const { return initialised_ != 0; }

 protected:
  // Looks the capture element up; false when the router has none.
  bool attach();
  // Appends `p` to the capture element's list; false, `p` untouched, when
  // there is none.
  bool hand_over(Packet* p);

 private:
  FromDevice* from_device_ = nullptr;
  uint8_t initialised_ = 0;
};

class OstrelToDevice : public OstrelCaptureExit {
 public:
  const char* class_name() const override { return "OstrelToDevice"; }
  const char* port_count() const override { return "1/0"; }
  const char* processing() const override { return kPush; }
  const char* flags() const override { return "S2"; }
  int configure_phase() const override { return 0; }
  // Any arguments, ignored.
  int configure(Vector<String>&, ErrorHandler*) override { return 0; }
  // -1 (no message) when the router has no capture element.
  int initialize(ErrorHandler* errh) override;
  void push(int port, Packet* p) override;
};

class OstrelToHost : public OstrelCaptureExit {
 public:
  const char* class_name() const override { return "OstrelToHost"; }
  const char* port_count() const override { return "1/0"; }
  const char* processing() const override { return kPush; }
  // Any arguments, ignored.
  int configure(Vector<String>&, ErrorHandler*) override { return 0; }
  // Always 0; without a capture element every packet is freed at push.
  int initialize(ErrorHandler* errh) override;
  void push(int port, Packet* p) override;
};

#endif  // OSTGRAPHSVC_GRAPH_ELEMENTS_LOCAL_OSTREL_OUTPUT_H_
