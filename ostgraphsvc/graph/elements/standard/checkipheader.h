// CheckIPHeader: validates the IPv4 header of traffic packets (message type
// 1, captured, or 2, from an overlay connection; others pass unchecked),
// locates the IP and transport headers, trims link padding beyond the IP
// length and sets the destination annotation. Bad packets are counted by
// reason and go to output 1 when it exists, else they are freed.
//
// Paint writes a colour into one annotation byte; CheckPaint splits packets
// on that byte (output 1 or freed for other colours), pushed or pulled.
//
// Threads: the graph's thread only; the counters are plain members.
#ifndef OSTGRAPHSVC_GRAPH_ELEMENTS_STANDARD_CHECKIPHEADER_H_
#define OSTGRAPHSVC_GRAPH_ELEMENTS_STANDARD_CHECKIPHEADER_H_

#include <cstdint>

#include "graph/element.h"
#include "graph/ipaddress.h"

class CheckIPHeader : public Element {
 public:
  static constexpr int kReasonCount = 6;
  static const char* const kReasonText[kReasonCount];

  CheckIPHeader() = default;

  const char* class_name() const override { return "CheckIPHeader"; }
  const char* port_count() const override { return "1/1-2"; }
  const char* processing() const override { return "a/ah"; }
  const char* flags() const override { return "A"; }
  int configure(Vector<String>& conf, ErrorHandler* errh) override;
  void add_handlers() override;
  Packet* packet_action(Packet* p) override;

  uint32_t drops() const { return drops_; }
  uint32_t offset() const { return offset_; }
  const Vector<IPAddress>& bad_src() const { return bad_src_; }
  const Vector<IPAddress>& good_dst() const { return good_dst_; }

 private:
  static String read_handler(Element* e, void* data);
  Packet* drop(int reason, Packet* p);
  static bool contains(const Vector<IPAddress>& list, IPAddress a);

  uint32_t offset_ = 0;
  Vector<IPAddress> bad_src_;
  Vector<IPAddress> good_dst_;
  bool checksum_ = true;
  bool verbose_ = false;
  bool details_ = false;
  uint32_t reason_drops_[kReasonCount] = {};
  uint32_t drops_ = 0;
};

class Paint : public Element {
 public:
  const char* class_name() const override { return "Paint"; }
  const char* port_count() const override { return "1"; }
  const char* processing() const override { return "a"; }
  int configure(Vector<String>& conf, ErrorHandler* errh) override;
  bool can_live_reconfigure() const override { return true; }
  void add_handlers() override;
  Packet* packet_action(Packet* p) override;

  uint8_t color() const { return color_; }
  int anno() const { return anno_; }

 private:
  friend class CheckPaint;
  uint8_t color_ = 0;
  int anno_ = 16;
};

class CheckPaint : public Element {
 public:
  const char* class_name() const override { return "CheckPaint"; }
  const char* port_count() const override { return "1/1-2"; }
  const char* processing() const override { return "a/ah"; }
  int configure(Vector<String>& conf, ErrorHandler* errh) override;
  void add_handlers() override;
  void push(int port, Packet* p) override;
  Packet* pull(int port) override;

 private:
  void divert(Packet* p);
  uint8_t color_ = 0;
  int anno_ = 16;
};

// Reads COLOR and ANNO (Paint and CheckPaint share them).
int configure_paint(Element* e, Vector<String>& conf, ErrorHandler* errh, uint8_t* color,
                    int* anno);

#endif  // OSTGRAPHSVC_GRAPH_ELEMENTS_STANDARD_CHECKIPHEADER_H_
