// Diagnostic elements that write one line per packet and pass it on
// unchanged. IPPrint decodes the IPv4 header and the TCP, UDP or ICMP header
// behind it in the style of a capture tool, reading nothing beyond the
// packet's end; it writes to the log, or to OUTFILE. Print writes the length
// and the first bytes, optionally the annotations and buffer room.
//
// Ownership: IPPrint owns its open OUTFILE, closed in cleanup.
// Threads: the graph's thread only.
#ifndef OSTGRAPHSVC_GRAPH_ELEMENTS_STANDARD_PRINT_H_
#define OSTGRAPHSVC_GRAPH_ELEMENTS_STANDARD_PRINT_H_

#include <cstdint>
#include <cstdio>

#include "graph/element.h"

class StringBuilder;

class IPPrint : public Element {
 public:
  enum Contents { kNone = 0, kHex = 1, kAscii = 2 };

  IPPrint() = default;
  ~IPPrint() override;

  const char* class_name() const override { return "IPPrint"; }
  const char* port_count() const override { return "1"; }
  const char* processing() const override { return kAgnostic; }
  int configure(Vector<String>& conf, ErrorHandler* errh) override;
  int initialize(ErrorHandler* errh) override;
  void cleanup(CleanupStage stage) override;
  void add_handlers() override;
  Packet* packet_action(Packet* p) override;

  // The line for `p` (without a newline); empty when `p` has no IP header
  // position.
  String line(const Packet* p) const;

 private:
  void transport_part(StringBuilder& sb, const unsigned char* ip, const unsigned char* end,
                      uint32_t packet_length) const;
  void contents_part(StringBuilder& sb, const Packet* p, const unsigned char* ip,
                     const unsigned char* end) const;

  String label_;
  int contents_ = kNone;
  bool payload_ = false;
  int32_t maxlength_ = 1500;
  bool print_id_ = false;
  bool print_timestamp_ = true;
  bool print_paint_ = false;
  bool print_tos_ = false;
  bool print_ttl_ = false;
  bool print_length_ = false;
  bool print_aggregate_ = false;
  bool swap_ = true;
  bool active_ = true;
  String outfile_name_;
  FILE* outfile_ = nullptr;
};

class Print : public Element {
 public:
  const char* class_name() const override { return "Print"; }
  const char* port_count() const override { return "1"; }
  const char* processing() const override { return kAgnostic; }
  int configure(Vector<String>& conf, ErrorHandler* errh) override;
  bool can_live_reconfigure() const override { return true; }
  void add_handlers() override;
  Packet* packet_action(Packet* p) override;

  String line(const Packet* p) const;

 private:
  String label_;
  int32_t maxlength_ = 24;
  int contents_ = IPPrint::kHex;
  bool timestamp_ = false;
  bool printanno_ = false;
  bool active_ = true;
  bool headroom_ = false;
};

#endif  // OSTGRAPHSVC_GRAPH_ELEMENTS_STANDARD_PRINT_H_
