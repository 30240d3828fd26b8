// The flow element's dumps and handlers: flow lines into the log or a file,
// the filtered JSON dump, the host cache as JSON, and "clear".
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "graph/confparse.h"
#include "graph/error_handler.h"
#include "graph/handler.h"
#include "graph/json.h"
#include "graph/ostrel_utils.h"
#include "graph/router.h"
#include "graph/router_log.h"
#include "graph/string_builder.h"
#include "ostgraphsvc/graph/elements/analysis/aggregate_ip_flows.h"
#include "ostgraphsvc/graph/elements/policy/ost_firewall.h"
#include "ostgraphsvc/graph/elements/policy/ost_policy.h"
#include "ostgraphsvc/graph/elements/policy/policy_vocabulary.h"
#include "platform/fs/open_file.h"
#include "platform/fs/paths.h"

namespace {

constexpr char kFlowDumpFile[] = "/var/log/flow_dump.txt";
constexpr char kDnsDumpFile[] = "/var/log/dns_dump.json";
constexpr int kFlushAt = 2048;
constexpr int kTitleMax = 128;
constexpr const char* kTableTitles[4] = {"TCP Flows", "UDP Flows", "ICMP Flows", "OTHER Flows"};
constexpr char kLeftOut[] = "%u records left out (dump limit 64 MiB)\n";
constexpr uint32_t kAnyAddress = 0xFFFFFFFF;
constexpr int kHostMax = 256;

int64_t whole_seconds(Timestamp t) {
  int64_t s = t.nsec() / Timestamp::kNsecPerSec;
  if (t.nsec() % Timestamp::kNsecPerSec < 0) --s;
  return s;
}

// A fixed-size name field: up to its first NUL, never past its end.
template <size_t N>
String field(const char (&text)[N]) {
  return String(text, static_cast<int>(strnlen(text, N)));
}

// Interface and process names stand as "unk" while unknown.
String or_unk(const String& s) { return s.length() > 0 ? s : String("unk"); }

// A name that may be null (ids without a name): "".
String text_of(const char* name) { return String(name != nullptr ? name : ""); }

String policy_name(const OstPolicy* policy, uint16_t index) {
  if (policy == nullptr || index >= policy->active_table().count) return String();
  return policy->active_table().rows[index].name;
}

String schedq_text(const AggregateIPFlows::StatFlowInfo* fi) {
  StringBuilder sb;
  sb << vocabulary_name(traffic_class_names, static_cast<int>(fi->traffic_class)) << '-'
     << vocabulary_name(policy_priority_names, static_cast<int>(fi->priority));
  return sb.take_string();
}

// Removes and creates the dump file at `path` (shown as `shown`), never
// through a link, mode 0600. The open descriptor, or -1.
int recreate_dump_file(const std::string& path, const char* shown) {
  constexpr char kTag[] = "AggregateIPFlows::recreate_dump_file";
  if (::unlink(path.c_str()) != 0)
    log_syslog_level(6, kTag, __FILE__, __LINE__, "Error deleting file %s", shown);
  else
    log_syslog_level(6, kTag, __FILE__, __LINE__, "%s file successfully deleted", shown);
  const int fd = platform::open_no_links(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
  if (fd < 0) return -1;
  ::fchmod(fd, 0600);  // whatever the umask
  return fd;
}

bool write_all(int fd, const char* data, size_t length) {
  while (length > 0) {
    const ssize_t n = ::write(fd, data, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

struct DumpFilter {
  uint32_t sip = kAnyAddress;
  uint32_t dip = kAnyAddress;
  int32_t sport = -1;
  int32_t dport = -1;
  String protocol = String("all");
};

// Keyword arguments split at top-level commas; keywords other than the five
// are ignored. False when a value does not parse.
bool parse_dump_filter(const String& text, DumpFilter* filter) {
  Vector<String> args;
  cp_split_arguments(text, &args);
  for (const String& arg : args) {
    String keyword, rest;
    if (!cp_parse_keyword(arg, &keyword, &rest)) continue;
    int status = 0;
    IPAddress address;
    if (keyword == "SIP" || keyword == "DIP") {
      if (!cp_parse_ip_address(rest, &address)) return false;
      (keyword == "SIP" ? filter->sip : filter->dip) = address.addr();
    } else if (keyword == "SPORT") {
      if (!cp_parse_int32(&status, rest, &filter->sport)) return false;
    } else if (keyword == "DPORT") {
      if (!cp_parse_int32(&status, rest, &filter->dport)) return false;
    } else if (keyword == "L4PROTO") {
      if (!cp_parse_string(rest, &filter->protocol)) return false;
    }
  }
  return true;
}

bool filter_shows(const DumpFilter& f, const AggregateIPFlows::StatFlowInfo* fi,
                  const String& app_name) {
  if (f.sip != kAnyAddress && f.sip != fi->src_addr.addr()) return false;
  if (f.dip != kAnyAddress && f.dip != fi->dst_addr.addr()) return false;
  if (f.sport != -1 && f.sport != fi->src_port) return false;
  if (f.dport != -1 && f.dport != fi->dst_port) return false;
  return f.protocol == "all" || f.protocol == app_name;
}

// Writes a JSON array of pre-written objects, keeping within `limit` bytes:
// objects that no longer fit are counted, and the count follows the array on
// a line of its own.
class LimitedArray {
 public:
  explicit LimitedArray(size_t limit) : limit_(limit) { out_ << '['; }

  // False when the object was left out.
  bool add(const Json& object) {
    if (left_out_ == 0) {
      scratch_.clear();
      object.write_text(scratch_);
      const size_t need = static_cast<size_t>(scratch_.length()) + (first_ ? 0 : 1) + 1;
      if (static_cast<size_t>(out_.length()) + need <= limit_) {
        if (!first_) out_ << ',';
        out_.append(scratch_.data(), scratch_.length());
        first_ = false;
        return true;
      }
    }
    ++left_out_;
    return false;
  }

  String finish() {
    out_ << ']';
    if (left_out_ > 0) {
      out_ << '\n';
      out_.append_printf(64, kLeftOut, left_out_);
    }
    return out_.take_string();
  }

 private:
  size_t limit_;
  StringBuilder out_;
  StringBuilder scratch_;
  bool first_ = true;
  uint32_t left_out_ = 0;
};

}  // namespace

int AggregateIPFlows::flow_text_line(const StatFlowInfo* fi, char (&out)[kFlowLineMax + 1]) const {
  String fw_label, fw_text;
  if (firewall_ != nullptr && firewall_->get_flow_state_text(fi->fw_state, &fw_text) == 0)
    fw_label = String("fw_state=");
  else
    fw_text = String();
  const int32_t app = fi->detection.app_id;
  const int n = std::snprintf(
      out, sizeof out,
      "%s:%u==>%s:%u  fid=%u dscp=%u app=%s cat=%s host=%s schedq=%s policy=%s pathid=%u rt=%s "
      "dur=%u rxif=%s txif=%s rxovl=%s txovl=%s fapp=%d pname=%s stat<%u:%u==>%u:%u> %s%s\n",
      fi->src_addr.to_string().c_str(), fi->src_port, fi->dst_addr.to_string().c_str(),
      fi->dst_port, fi->aggregate, fi->dscp_key, text_of(app_name(app)).printable().c_str(),
      text_of(category_name(fi->detection.category)).printable().c_str(),
      fi->host.printable().c_str(), schedq_text(fi).c_str(),
      policy_name(policy_, fi->policy_index).printable().c_str(), fi->path_id,
      fi->dest_type == 2 ? "Overlay" : "Direct",
      static_cast<unsigned>(whole_seconds(fi->last_time - fi->first_time)),
      or_unk(field(fi->rx_if)).printable().c_str(), or_unk(field(fi->tx_if)).printable().c_str(),
      fi->rx_overlay_addr.to_string().c_str(), fi->tx_overlay_addr.to_string().c_str(),
      static_cast<int>(fi->detection.first_packet_found),
      or_unk(field(fi->process_name)).printable().c_str(), fi->packets[0], fi->bytes[0],
      fi->packets[1], fi->bytes[1], fw_label.c_str(), fw_text.c_str());
  if (n < 0) {
    out[0] = '\0';
    return 0;
  }
  return n < kFlowLineMax ? n : kFlowLineMax;
}

template <typename Flush>
void AggregateIPFlows::dump_flows(StringBuilder& text, bool limited, Flush flush) {
  size_t flushed = 0;
  uint32_t left_out = 0;
  char line[kFlowLineMax + 1];
  char title[kTitleMax + 1];
  for (int t = 0; t < 4; ++t) {
    const int title_length = std::snprintf(title, sizeof title, "\t\t%s\n", kTableTitles[t]);
    bool titled = false;
    for (auto it = tables_[t].begin(); it.live(); ++it) {
      for (const StatFlowInfo* fi = it->value.head; fi != nullptr; fi = fi->next) {
        if (left_out > 0) {
          ++left_out;
          continue;
        }
        const int n = flow_text_line(fi, line);
        const size_t need = static_cast<size_t>(n) + (titled ? 0 : title_length);
        if (limited && flushed + static_cast<size_t>(text.length()) + need > dump_limit_) {
          ++left_out;
          continue;
        }
        if (!titled) text.append(title, title_length);
        titled = true;
        text.append(line, n);
        if (text.length() > kFlushAt) {
          flushed += static_cast<size_t>(text.length());
          flush(text);
        }
      }
    }
    flushed += static_cast<size_t>(text.length());
    flush(text);
  }
  if (left_out == 0) return;
  text.append_printf(64, kLeftOut, left_out);
  flush(text);
}

void AggregateIPFlows::dump_flow_tables(StringBuilder& text, const String& file_name) {
  dump_flows(text, file_name.length() > 0, [&](StringBuilder& piece) {
    OstrelUtils::ostwinutls_log(file_name, String(piece.c_str(), piece.length()));
    piece.clear();
  });
}

Json AggregateIPFlows::flow_json(const StatFlowInfo* fi) const {
  const String app = text_of(app_name(fi->detection.app_id));
  String tcp_state;
  if (firewall_ == nullptr || firewall_->get_tcp_state_text(fi->fw_state, &tcp_state) != 0)
    tcp_state = String();
  Json o;
  o.make_unshared(Json::kObject);
  o.set("sip", fi->src_addr.to_string());
  o.set("dip", fi->dst_addr.to_string());
  o.get_insert("sport") = Json(static_cast<int>(fi->src_port));
  o.get_insert("dport") = Json(static_cast<int>(fi->dst_port));
  o.set("protocol", app);
  o.set("appid", app);
  o.set("appcat", text_of(category_name(fi->detection.category)));
  o.get_insert("fid") = Json(static_cast<long long>(fi->aggregate));
  o.get_insert("dscp") = Json(static_cast<long long>(fi->dscp_key));
  o.set("policyname", policy_name(policy_, fi->policy_index));
  o.set("desttype", String(fi->dest_type == 2 ? "Overlay" : "Direct"));
  o.get_insert("pathid") = Json(static_cast<long long>(fi->path_id));
  o.set("fwpolicy", fi->fw_state.rule_name.length() > 0 ? fi->fw_state.rule_name : String("none"));
  o.set("tcpstate", tcp_state);
  o.set("hostnameuri", fi->host);
  o.set("rxif", or_unk(field(fi->rx_if)));
  o.set("txif", or_unk(field(fi->tx_if)));
  o.set("rxovl", fi->rx_overlay_addr.to_string());
  o.set("txovl", fi->tx_overlay_addr.to_string());
  o.get_insert("fapp") = Json(static_cast<int>(fi->detection.first_packet_found));
  o.get_insert("customapp") = Json(static_cast<int>(fi->detection.custom_app));
  o.set("schedq", schedq_text(fi));
  o.get_insert("rxpkts") = Json(static_cast<long long>(fi->packets[0]));
  o.get_insert("rxbytes") = Json(static_cast<long long>(fi->bytes[0]));
  o.get_insert("txpkts") = Json(static_cast<long long>(fi->packets[1]));
  o.get_insert("txbytes") = Json(static_cast<long long>(fi->bytes[1]));
  const String pname = field(fi->process_name);
  if (pname.length() > 0) o.set("pname", pname);
  String host = fi->detection.first_name_text();
  if (host.length() == 0) host = fi->detection.second_name_text();
  o.set("host", host.substring(0, kHostMax));
  return o;
}

int AggregateIPFlows::dump_filter_handler(int, String& value, Element* e, const Handler*,
                                          ErrorHandler* errh) {
  auto* self = static_cast<AggregateIPFlows*>(e);
  DumpFilter filter;
  if (!parse_dump_filter(value, &filter)) {
    if (errh != nullptr) errh->error("error parsing arguments");
    return -1;
  }
  int first = 0, last = 3;
  if (filter.protocol == "tcp") first = last = 0;
  if (filter.protocol == "udp") first = last = 1;
  if (filter.protocol == "icmp") first = last = 2;
  if (filter.protocol == "other") {
    first = last = 3;
    filter.protocol = String("all");
  }
  LimitedArray array(self->dump_limit_);
  for (int t = first; t <= last; ++t) {
    for (auto it = self->tables_[t].begin(); it.live(); ++it) {
      for (const StatFlowInfo* fi = it->value.head; fi != nullptr; fi = fi->next) {
        if (!filter_shows(filter, fi, text_of(self->app_name(fi->detection.app_id)))) continue;
        array.add(self->flow_json(fi));
      }
    }
  }
  value = array.finish();
  return 0;
}

String AggregateIPFlows::dump_handler(Element* e, void*) {
  StringBuilder text;
  static_cast<AggregateIPFlows*>(e)->dump_flow_tables(text, String());
  return text.take_string();
}

// The file is made anew and written through its own descriptor, so no
// link planted after the creation is followed by the appends.
String AggregateIPFlows::read_handler_file(Element* e, void*) {
  const std::string path = platform::under_root(kFlowDumpFile);
  const int fd = recreate_dump_file(path, kFlowDumpFile);
  if (fd < 0) return String();
  StringBuilder text;
  bool ok = true;
  static_cast<AggregateIPFlows*>(e)->dump_flows(text, true, [&](StringBuilder& piece) {
    ok = ok && write_all(fd, piece.data(), static_cast<size_t>(piece.length()));
    piece.clear();
  });
  ::close(fd);
  return text.take_string();
}

void AggregateIPFlows::dns_cache_to_json(String& text, Json& array) {
  array.make_unshared(Json::kArray);
  const Timestamp now = Timestamp::now();
  LimitedArray out(dump_limit_);
  dns_cache_.for_each([&](const IPAddress&, const DnsCacheEntry& entry) {
    Json o;
    o.make_unshared(Json::kObject);
    o.set("dstaddr", entry.address.to_string());
    o.set("hostname", entry.host);
    o.get_insert("appid") = Json(entry.app_id);
    o.get_insert("catid") = Json(entry.category_id);
    o.get_insert("ttl_s") = Json(static_cast<long long>(whole_seconds(now - entry.time)));
    if (out.add(o)) array.append(o);
  });
  text = out.finish();
}

String AggregateIPFlows::dns_dump_file(Element* e, void*) {
  String text;
  Json array;
  static_cast<AggregateIPFlows*>(e)->dns_cache_to_json(text, array);
  const std::string path = platform::under_root(kDnsDumpFile);
  const int fd = recreate_dump_file(path, kDnsDumpFile);
  bool ok = fd >= 0 && write_all(fd, text.data(), static_cast<size_t>(text.length()));
  if (fd >= 0 && ::close(fd) != 0) ok = false;
  if (!ok) return String("Unable to write DNS Cache to /var/log/dns_dump.json");
  return String("DNS Cache dumped to /var/log/dns_dump.json");
}
