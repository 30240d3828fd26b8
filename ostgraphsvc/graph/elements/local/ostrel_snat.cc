#include "ostgraphsvc/graph/elements/local/ostrel_snat.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "graph/confparse.h"
#include "graph/error_handler.h"
#include "graph/packet.h"
#include "graph/router.h"
#include "graph/router_log.h"
#include "graph/string_builder.h"
#include "lib/tarnutils/tarnutils.h"
#include "ostgraphsvc/graph/elements/tcpudp/rewrite_pattern.h"

namespace {

constexpr uint8_t kICMP = 1;
constexpr uint8_t kTCP = 6;
constexpr uint8_t kUDP = 17;
// Pattern texts are cut to this many characters.
constexpr size_t kPatternTextSize = 256;

OstrelL3ProtoClassifier* g_classifier = nullptr;

bool is_icmp_error(uint8_t type) {
  return type == 3 || type == 4 || type == 5 || type == 11 || type == 12;
}

}  // namespace

// ---- OstrelSNATIPMapper ------------------------------------------------------

OstrelSNATIPMapper::~OstrelSNATIPMapper() {
  for (RewriteInputSpec* spec : patterns_) {
    if (spec == nullptr) continue;
    spec->pattern->unuse();
    delete spec;
  }
}

void* OstrelSNATIPMapper::cast(const char* name) {
  if (std::strcmp(name, "OstrelSNATIPMapper") == 0) return static_cast<OstrelSNATIPMapper*>(this);
  if (std::strcmp(name, "IPMapper") == 0) return static_cast<IPMapper*>(this);
  return nullptr;
}

bool OstrelSNATIPMapper::add_pattern(const String& text, uint16_t* id) {
  RewritePattern* pattern = nullptr;
  int foutput = -1;
  int routput = -1;
  SilentErrorHandler silent;
  if (!RewritePattern::parse_with_ports(text, &pattern, &foutput, &routput, &silent)) return false;
  auto* spec = new RewriteInputSpec;
  spec->kind = RewriteInputSpec::kPattern;
  spec->pattern = pattern;
  spec->foutput = foutput;
  spec->routput = routput;
  const uint16_t new_id = next_pattern_id_;
  while (patterns_.size() <= new_id) patterns_.push_back(nullptr);
  if (RewriteInputSpec* old = patterns_[new_id]) {
    old->pattern->unuse();
    delete old;
  }
  patterns_[new_id] = spec;
  *id = new_id;
  ++next_pattern_id_;
  return true;
}

int OstrelSNATIPMapper::add_napt_pattern(IPAddress address) {
  next_pattern_id_ = 1;
  rules_.clear();
  const String dotted = address.to_string();
  std::string range;
  GetSnatPortRange(&range);
  char text[kPatternTextSize];
  if (!range.empty()) {
    log_syslog_level(6, "OstrelSNATIPMapper::add_napt_pattern", __FILE__, __LINE__,
                     "Port range %s is set in registry", range.c_str());
    std::snprintf(text, sizeof text, "%s %s - - 0 1", dotted.c_str(), range.c_str());
  } else {
    log_syslog_level(6, "OstrelSNATIPMapper::add_napt_pattern", __FILE__, __LINE__,
                     "Port range is not set in registry, using 59500-60000 range for source "
                     "natting");
    std::snprintf(text, sizeof text, "%s 59500-60000 - - 0 1", dotted.c_str());
  }
  uint16_t id;
  if (!add_pattern(String(text), &id)) return -1;
  rules_.push_back(NaptRule{address, kUDP, id});
  rules_.push_back(NaptRule{address, kTCP, id});
  log_syslog_level(6, "OstrelSNATIPMapper::add_napt_pattern", __FILE__, __LINE__,
                   "Applying SNAT pattern(%d) %s NATVPN=%s", id, text, "FALSE");

  std::snprintf(text, sizeof text, "%s - 0-65535# 0 1", dotted.c_str());
  log_syslog_level(6, "OstrelSNATIPMapper::add_napt_pattern", __FILE__, __LINE__,
                   "Applying SNAT pattern(%d) %s NATVPN=%s", next_pattern_id_, text, "FALSE");
  if (!add_pattern(String(text), &id)) return -1;
  rules_.push_back(NaptRule{address, kICMP, id});
  return 0;
}

void OstrelSNATIPMapper::clear_rewriter(const char* name, const char* missing) {
  Element* e = router() != nullptr ? router()->find_element(String(name), this) : nullptr;
  auto* rw = e != nullptr ? static_cast<IPRewriterBase*>(e->cast("IPRewriterBase")) : nullptr;
  if (rw == nullptr) {
    log_syslog_level(6, "OstrelSNATIPMapper::clear_snat_flows", __FILE__, __LINE__, "%s", missing);
    return;
  }
  rw->clear_flows();
}

void OstrelSNATIPMapper::clear_snat_flows() {
  clear_rewriter("nat/iprw", "Unable to find the iprw element");
  clear_rewriter("nat/icmprw", "Unable to find the icmprw element");
}

void OstrelSNATIPMapper::attach_rewriter(IPRewriterBase* rewriter, RewriteInputSpec* spec,
                                         ErrorHandler* errh) {
  for (int id = 0; id < patterns_.size(); ++id) {
    const RewriteInputSpec* p = patterns_[id];
    if (p == nullptr) continue;
    if (p->foutput >= rewriter->noutputs() || p->routput >= spec->reply_element->noutputs())
      errh->error("output port out of range in %s pattern %d", declaration().c_str(), id);
  }
}

int OstrelSNATIPMapper::rewrite_flowid(RewriteInputSpec* spec, const FlowTuple& tuple,
                                       FlowTuple& rewritten, Packet* p, int map_id) {
  const uint16_t id = p != nullptr ? p->snat_pattern_anno() : 0;
  RewriteInputSpec* pattern_spec = pattern(id);
  if (pattern_spec == nullptr) {
    ROUTER_LOG_LIMITED(6, "OstrelSNATIPMapper::rewrite_flowid",
                       "Pattern %d not yet provisioned dropping!!!", id);
    return kRewriteDrop;
  }
  pattern_spec->reply_element = spec->reply_element;
  const int result = pattern_spec->map_tuple(tuple, rewritten, p, map_id);
  if (result == kRewriteDrop) return result;
  spec->foutput = pattern_spec->foutput;
  spec->routput = pattern_spec->routput;
  return result;
}

String OstrelSNATIPMapper::mappings_handler(Element* e, void*) {
  auto* mapper = static_cast<OstrelSNATIPMapper*>(e);
  StringBuilder sb;
  sb << "NAPT Rules\n";
  for (const NaptRule& rule : mapper->rules_)
    sb << "\twanip:" << rule.wan.to_string() << " protocol:" << static_cast<int>(rule.protocol)
       << " pattern:" << static_cast<int>(rule.pattern_id) << '\n';
  return sb.take_string();
}

int OstrelSNATIPMapper::reconfigure_handler(const String& value, Element* e, void*,
                                            ErrorHandler* errh) {
  Vector<String> conf;
  cp_split_arguments(value, &conf);
  log_syslog_level(6, "OstrelSNATIPMapper::reconfigure", __FILE__, __LINE__,
                   "Will reconfigure IPMappings..");
  return e->configure(conf, errh);
}

void OstrelSNATIPMapper::add_handlers() {
  Router::add_read_handler(this, "mappings", mappings_handler, nullptr);
  Router::add_write_handler(this, "reconfigure", reconfigure_handler, nullptr);
}

// ---- OstrelL3ProtoClassifier -------------------------------------------------

OstrelL3ProtoClassifier::~OstrelL3ProtoClassifier() {
  if (g_classifier == this) g_classifier = nullptr;
}

OstrelL3ProtoClassifier* OstrelL3ProtoClassifier::process_classifier() { return g_classifier; }

int OstrelL3ProtoClassifier::configure(Vector<String>& conf, ErrorHandler* errh) {
  if (conf.empty()) return errh->error("Missing parameter, IPMapper element name!!");
  String name;
  Element* e = nullptr;
  if (cp_parse_string(conf[0], &name) && router() != nullptr)
    e = router()->find_element(name, this);
  if (e == nullptr) return errh->error("%s not found", conf[0].c_str());
  if (g_classifier == nullptr) g_classifier = this;
  auto* mapper = static_cast<OstrelSNATIPMapper*>(e->cast("OstrelSNATIPMapper"));
  if (mapper == nullptr) return errh->error("%s is not an IPMapper element!!!", name.c_str());
  mapper_ = mapper;
  return 0;
}

int OstrelL3ProtoClassifier::classify(int port, Packet* p) const {
  const unsigned char* ip = p->data();
  const uint32_t hl = (ip[0] & 0x0F) * 4u;
  const uint32_t total = static_cast<uint32_t>(ip[2] << 8 | ip[3]);
  const uint8_t protocol = ip[9];
  IPAddress src, dst;
  std::memcpy(&src, ip + 12, 4);
  std::memcpy(&dst, ip + 16, 4);
  // The type byte only when the datagram holds it.
  const int icmp_type = protocol == kICMP && hl < total ? ip[hl] : -1;

  if (port == 1) {
    if (!(dst == virtual_address_)) return 7;
    if (protocol == kTCP) return 1;
    if (protocol == kUDP) return 3;
    if (icmp_type == 0) return 5;
    if (icmp_type >= 0 && is_icmp_error(static_cast<uint8_t>(icmp_type))) return 6;
    return 7;
  }

  if (src == virtual_address_ || (src.data()[0] == 169 && src.data()[1] == 254)) return 7;
  int pattern_id = -1;
  if (mapper_ != nullptr) {
    for (const NaptRule& rule : mapper_->rules()) {
      if (rule.wan == src) return 7;
      if (rule.protocol == protocol) {
        pattern_id = rule.pattern_id;
        break;
      }
    }
  }
  if (pattern_id < 0) return 7;
  p->set_snat_pattern_anno(static_cast<uint16_t>(pattern_id));
  if (protocol == kTCP) return 0;
  if (protocol == kUDP) return 2;
  if (icmp_type == 8) return 4;
  if (icmp_type >= 0 && is_icmp_error(static_cast<uint8_t>(icmp_type))) return 6;
  return 7;
}

void OstrelL3ProtoClassifier::push(int port, Packet* p) {
  const uint32_t length = p->length();
  const unsigned char* ip = p->data();
  if (length < 20 || (ip[0] >> 4) != 4) {
    p->release();
    return;
  }
  const uint32_t hl = (ip[0] & 0x0F) * 4u;
  const uint32_t total = static_cast<uint32_t>(ip[2] << 8 | ip[3]);
  if (hl < 20 || total > length || total < hl) {
    p->release();
    return;
  }
  const int out = classify(port, p);
  if (out >= noutputs()) {
    p->release();
    return;
  }
  output(out).push(p);
}
