// OstrelTCPMSSFix: clamps the MSS option of TCP SYN segments to the path MTU
// less 40 (graph name "OstrelTCPMSSFix", ports 1/1, push), and can set the
// window-scale shift of initial SYNs.
//
// The MTU of a packet is its `mtu_anno`, or the configured MTU when that is
// 0. The window scale comes from WINDOW_SCALING, else from "wsfactor" in
// "/opt/ostrel/etc/graph/tcpparams.json" (under the platform root), read at
// each configure. Checksums are adjusted incrementally; a packet is copied
// only when one of its bytes has to change.
//
// Ownership: takes every packet it is given. Threads: the packet thread.
#ifndef OSTGRAPHSVC_GRAPH_ELEMENTS_IP_TCPMSSFIX_H_
#define OSTGRAPHSVC_GRAPH_ELEMENTS_IP_TCPMSSFIX_H_

#include <cstdint>

#include "graph/element.h"

class OstrelTCPMSSFix : public Element {
 public:
  static constexpr uint32_t kDefaultMTU = 1300;
  static constexpr const char* kParamsPath = "/opt/ostrel/etc/graph/tcpparams.json";

  const char* class_name() const override { return "OstrelTCPMSSFix"; }
  const char* port_count() const override { return "1/1"; }
  const char* processing() const override { return kPush; }
  // MTU (mandatory, positional; 0 means 1300), WINDOW_SCALING.
  int configure(Vector<String>& conf, ErrorHandler* errh) override;
  void push(int port, Packet* p) override;

  // Reads "wsfactor" from the TCP parameters file into window_scale; leaves
  // it alone when the file is missing, not JSON or has no integer there.
  void load_config();

  uint32_t mtu() const { return mtu_; }
  uint32_t window_scale() const { return window_scale_; }

 private:
  uint32_t mtu_ = 0;
  uint32_t window_scale_ = 0;
};

#endif  // OSTGRAPHSVC_GRAPH_ELEMENTS_IP_TCPMSSFIX_H_
