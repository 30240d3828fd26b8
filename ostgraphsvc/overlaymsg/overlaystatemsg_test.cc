// The overlay control-message schema on the wire: golden bytes both ways, the
// generated descriptor against the schema's table, unknown fields, and parsing
// a peer's incomplete or malformed message.
#include <google/protobuf/descriptor.h>
#include <google/protobuf/descriptor.pb.h>
#include <google/protobuf/stubs/logging.h>
#include <google/protobuf/unknown_field_set.h>
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "graph/ipaddress.h"
#include "graph/packet.h"
#include "ostgraphsvc/overlaymsg/control_packet.h"
#include "overlaystatemsg.pb.h"

namespace {

using google::protobuf::FieldDescriptor;
using google::protobuf::Message;

using Bytes = std::vector<uint8_t>;

Bytes serialize(const Message& m) {
  std::string s = m.SerializePartialAsString();
  return Bytes(s.begin(), s.end());
}

bool parse(const Bytes& b, OstrelOverlayStateMsg* m) {
  return parse_control_message(b.data(), static_cast<uint32_t>(b.size()), m);
}

constexpr uint32_t kTenZeroZeroOne = 16777226;  // 10.0.0.1 as it travels

TEST(OverlayStateMsgTest, AddressValueIsTheInMemoryNetworkOrder) {
  EXPECT_EQ(IPAddress(10, 0, 0, 1).addr(), kTenZeroZeroOne);
}

// Each message serialises to exactly its bytes, and the bytes parse back to
// a message that serialises the same.
struct Golden {
  const char* name;
  std::function<std::unique_ptr<Message>()> build;
  Bytes bytes;
};

TEST(OverlayStateMsgTest, GoldenBytesBothWays) {
  const std::vector<Golden> cases = {
      {"keepalive request, probe id 5",
       [] {
         auto m = std::make_unique<OstrelOverlayStateMsg>();
         m->set_osm_type(12);
         m->mutable_osm_probemsg()->set_seqnum(5);
         return m;
       },
       {0x08, 0x0C, 0x2A, 0x02, 0x08, 0x05}},
      {"wls_ipv4 10.0.0.1",
       [] {
         auto m = std::make_unique<WanLinkStateDescMsg>();
         m->set_wls_ipv4(kTenZeroZeroOne);
         m->set_wls_state(1);
         return m;
       },
       {0x08, 0x8A, 0x80, 0x80, 0x08, 0x10, 0x01}},
      {"one wls_natipv4 element, unpacked",
       [] {
         auto m = std::make_unique<WanLinkStateDescMsg>();
         m->add_wls_natipv4(kTenZeroZeroOne);
         return m;
       },
       {0x18, 0x8A, 0x80, 0x80, 0x08}},
      {"controller endpoint entry: zero addresses are written",
       [] {
         auto m = std::make_unique<WanEndPtDescMsg>();
         m->set_wep_my_pathid(7);
         m->set_wep_my_ipv4(0);
         m->set_wep_remote_nat_ipv4(0);
         return m;
       },
       {0x08, 0x07, 0x18, 0x00, 0x20, 0x00}},
      {"state sync with five versions",
       [] {
         auto m = std::make_unique<OstrelOverlayStateMsg>();
         m->set_osm_type(5);
         SyncStateMsg* s = m->mutable_osm_syncstatemsg();
         s->set_wep_version(1);
         s->set_wls_version(2);
         s->set_rm_version(3);
         s->set_ua_version(4);
         s->set_am_version(5);
         return m;
       },
       {0x08, 0x05, 0x22, 0x0A, 0x08, 0x01, 0x10, 0x02, 0x18, 0x03, 0x20, 0x04, 0x30, 0x05}},
  };
  for (const Golden& c : cases) {
    SCOPED_TRACE(c.name);
    std::unique_ptr<Message> built = c.build();
    EXPECT_EQ(serialize(*built), c.bytes);
    std::unique_ptr<Message> read(built->New());
    ASSERT_TRUE(read->ParsePartialFromArray(c.bytes.data(), static_cast<int>(c.bytes.size())));
    EXPECT_EQ(serialize(*read), c.bytes);
    EXPECT_EQ(read->GetReflection()->GetUnknownFields(*read).field_count(), 0);
  }
}

TEST(OverlayStateMsgTest, PackedNatAddressesParseToTheSameList) {
  const Bytes packed = {0x1A, 0x04, 0x8A, 0x80, 0x80, 0x08};
  WanLinkStateDescMsg m;
  ASSERT_TRUE(m.ParsePartialFromArray(packed.data(), static_cast<int>(packed.size())));
  ASSERT_EQ(m.wls_natipv4_size(), 1);
  EXPECT_EQ(m.wls_natipv4(0), kTenZeroZeroOne);
  EXPECT_EQ(serialize(m), (Bytes{0x18, 0x8A, 0x80, 0x80, 0x08}));
}

TEST(OverlayStateMsgTest, SyncKindWithoutItsSubMessageReadsZeros) {
  OstrelOverlayStateMsg m;
  ASSERT_TRUE(parse({0x08, 0x05}, &m));
  EXPECT_EQ(m.osm_type(), 5u);
  EXPECT_FALSE(m.has_osm_syncstatemsg());
  const SyncStateMsg& s = m.osm_syncstatemsg();
  EXPECT_EQ(s.wep_version() + s.wls_version() + s.rm_version() + s.ua_version() + s.am_version(),
            0u);
  EXPECT_FALSE(s.has_rm_version() || s.has_ua_version() || s.has_am_version());
  EXPECT_FALSE(m.has_osm_syncstatemsg());  // reading created nothing
}

TEST(OverlayStateMsgTest, UnknownFieldIsKept) {
  // PeerHfscConfig has no field 1: 08 07 is unknown, 10 03 is ifidx.
  const Bytes b = {0x08, 0x07, 0x10, 0x03};
  PeerHfscConfig m;
  ASSERT_TRUE(m.ParsePartialFromArray(b.data(), static_cast<int>(b.size())));
  EXPECT_EQ(m.ifidx(), 3u);
  const google::protobuf::UnknownFieldSet& unknown = m.GetReflection()->GetUnknownFields(m);
  ASSERT_EQ(unknown.field_count(), 1);
  EXPECT_EQ(unknown.field(0).number(), 1);
  EXPECT_EQ(unknown.field(0).varint(), 7u);
}

// Records what protobuf writes to its own log while it lives.
class ProtobufLogRecorder {
 public:
  ProtobufLogRecorder() {
    lines().clear();
    previous_ = google::protobuf::SetLogHandler(&Record);
  }
  ~ProtobufLogRecorder() { google::protobuf::SetLogHandler(previous_); }
  ProtobufLogRecorder(const ProtobufLogRecorder&) = delete;
  ProtobufLogRecorder& operator=(const ProtobufLogRecorder&) = delete;

  static std::vector<std::string>& lines() {
    static std::vector<std::string> recorded;
    return recorded;
  }

 private:
  static void Record(google::protobuf::LogLevel, const char*, int, const std::string& message) {
    lines().push_back(message);
  }
  google::protobuf::LogHandler* previous_;
};

TEST(OverlayStateMsgTest, PeerInputMakesNoProtobufLogging) {
  const struct {
    const char* name;
    Bytes bytes;
  } cases[] = {
      // No osm_type, an endpoint message without wep_version, a probe.
      {"missing required fields", {0x1A, 0x00, 0x2A, 0x02, 0x08, 0x05}},
      // A site id and a token that are not UTF-8.
      {"strings that are not UTF-8", {0x08, 0x11, 0x3A, 0x06, 0x0A, 0x02, 0xC3, 0x28, 0x10, 0x01,
                                      0x52, 0x08, 0x08, 0x01, 0x10, 0x01, 0x1A, 0x02, 0xFF, 0xFE}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ProtobufLogRecorder recorder;
    OstrelOverlayStateMsg m;
    EXPECT_TRUE(parse(c.bytes, &m));
    Packet* p = make_control_packet(m, 1, OVERLAY_ADDRMGMT_MSG);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(Bytes(p->data(), p->end_data()), c.bytes);
    p->release();
    EXPECT_EQ(ProtobufLogRecorder::lines(), std::vector<std::string>{});
  }

  OstrelOverlayStateMsg m;
  ASSERT_TRUE(parse(cases[0].bytes, &m));
  EXPECT_FALSE(m.has_osm_type());
  EXPECT_EQ(m.osm_type(), 0u);
  EXPECT_EQ(m.osm_probemsg().seqnum(), 5u);
  EXPECT_TRUE(m.has_osm_endptmsg());
  EXPECT_FALSE(m.IsInitialized());
  ASSERT_TRUE(parse(cases[1].bytes, &m));
  EXPECT_EQ(m.osm_addrmgmtmsg().amm_site_id(), "\xFF\xFE");

  // The plain parse is the trap: the recorder sees it.
  ProtobufLogRecorder recorder;
  EXPECT_FALSE(m.ParseFromArray(cases[0].bytes.data(), static_cast<int>(cases[0].bytes.size())));
  EXPECT_FALSE(ProtobufLogRecorder::lines().empty());
}

TEST(OverlayStateMsgTest, MalformedMessageKeepsTheFieldsBeforeTheFault) {
  struct Case {
    const char* name;
    Bytes bytes;
  };
  Bytes deep = {0x08, 0x0C, 0x2A, 0x02, 0x08, 0x05};
  // Unknown field 15 as closed groups nested deeper than the parser's limit.
  deep.insert(deep.end(), 200, 0x7B);
  deep.insert(deep.end(), 200, 0x7C);
  const std::vector<Case> cases = {
      {"length past the end", {0x08, 0x0C, 0x2A, 0x02, 0x08, 0x05, 0x32, 0x09, 0x0A}},
      {"truncated varint", {0x08, 0x0C, 0x2A, 0x02, 0x08, 0x05, 0x38, 0xFF}},
      {"bad wire type", {0x08, 0x0C, 0x2A, 0x02, 0x08, 0x05, 0x0F}},
      {"nesting past the limit", deep},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ProtobufLogRecorder recorder;
    OstrelOverlayStateMsg m;
    EXPECT_FALSE(parse(c.bytes, &m));
    EXPECT_EQ(m.osm_type(), 12u);
    EXPECT_EQ(m.osm_probemsg().seqnum(), 5u);
    EXPECT_TRUE(ProtobufLogRecorder::lines().empty());
  }
}

// The schema as its peers know it: every message in order, every field with
// its number, label, type and message type.
struct FieldRow {
  const char* name;
  int number;
  FieldDescriptor::Label label;
  FieldDescriptor::Type type;
  const char* message_type;  // "" for scalars
};
struct MessageRow {
  const char* name;
  std::vector<FieldRow> fields;
};

constexpr auto kReq = FieldDescriptor::LABEL_REQUIRED;
constexpr auto kOpt = FieldDescriptor::LABEL_OPTIONAL;
constexpr auto kRep = FieldDescriptor::LABEL_REPEATED;
constexpr auto kU32 = FieldDescriptor::TYPE_UINT32;
constexpr auto kStr = FieldDescriptor::TYPE_STRING;
constexpr auto kMsg = FieldDescriptor::TYPE_MESSAGE;
constexpr auto kFlt = FieldDescriptor::TYPE_FLOAT;
constexpr auto kDbl = FieldDescriptor::TYPE_DOUBLE;
constexpr auto kBool = FieldDescriptor::TYPE_BOOL;

const std::vector<MessageRow>& schema() {
  static const std::vector<MessageRow> rows = {
      {"OstrelOverlayStateMsg",
       {{"osm_type", 1, kReq, kU32, ""},
        {"osm_wlsmsg", 2, kOpt, kMsg, "WanLinkStateMsg"},
        {"osm_endptmsg", 3, kOpt, kMsg, "WanEndPtMsg"},
        {"osm_syncstatemsg", 4, kOpt, kMsg, "SyncStateMsg"},
        {"osm_probemsg", 5, kOpt, kMsg, "ProbeMsg"},
        {"osm_routemsg", 6, kOpt, kMsg, "RouteMsg"},
        {"osm_userauthmsg", 7, kOpt, kMsg, "UserAuthMsg"},
        {"osm_hfscmsg", 8, kOpt, kMsg, "HfscMsg"},
        {"osm_mtpolicymsg", 9, kOpt, kMsg, "TenantPolicyMsg"},
        {"osm_addrmgmtmsg", 10, kOpt, kMsg, "AddrMgmtMsg"},
        {"osm_maintmsg", 11, kOpt, kMsg, "MaintenanceModeMsg"}}},
      {"WanLinkStateMsg",
       {{"wls_version", 1, kReq, kU32, ""}, {"wls_list", 2, kRep, kMsg, "WanLinkStateDescMsg"}}},
      {"HfscData", {{"q_name", 1, kOpt, kStr, ""}, {"q_share", 2, kOpt, kFlt, ""}}},
      {"SegmentData",
       {{"SegmentId", 1, kOpt, kU32, ""},
        {"Bandwidth", 2, kOpt, kFlt, ""},
        {"hfsc_list", 3, kRep, kMsg, "HfscData"}}},
      {"PeerHfscConfig",
       {{"ifidx", 2, kOpt, kU32, ""},
        {"tx_cap", 3, kOpt, kU32, ""},
        {"segments", 4, kRep, kMsg, "SegmentData"}}},
      {"HfscMsg",
       {{"hfsc_version", 1, kOpt, kU32, ""}, {"pschd", 2, kRep, kMsg, "PeerHfscConfig"}}},
      {"WanLinkStateDescMsg",
       {{"wls_ipv4", 1, kReq, kU32, ""},
        {"wls_state", 2, kReq, kU32, ""},
        {"wls_natipv4", 3, kRep, kU32, ""},
        {"wls_pathid", 4, kRep, kU32, ""}}},
      {"WanEndPtMsg",
       {{"wep_version", 1, kReq, kU32, ""},
        {"wep_list", 2, kRep, kMsg, "WanEndPtDescMsg"},
        {"msg_trigger_reason", 3, kOpt, kU32, ""},
        {"wep_mac_addr", 4, kOpt, kStr, ""},
        {"wep_sw_ver", 5, kOpt, kStr, ""},
        {"wep_dev_name", 6, kOpt, kStr, ""}}},
      {"WanEndPtDescMsg",
       {{"wep_my_pathid", 1, kReq, kU32, ""},
        {"wep_overlay_tag", 2, kOpt, kStr, ""},
        {"wep_my_ipv4", 3, kOpt, kU32, ""},
        {"wep_remote_nat_ipv4", 4, kOpt, kU32, ""},
        {"wep_remote_nat_port", 5, kOpt, kU32, ""},
        {"wep_ods", 6, kOpt, kMsg, "OverlayDescStats"},
        {"wep_wannetwork_tag", 7, kOpt, kStr, ""},
        {"wep_my_mtu", 8, kOpt, kU32, ""},
        {"wep_remote_wan", 9, kOpt, kMsg, "RemoteWanMsg"},
        {"wep_my_l3ifindex", 10, kOpt, kU32, ""}}},
      {"RemoteWanMsg", {{"rwm_prop", 1, kOpt, kU32, ""}, {"rwm_usable", 2, kOpt, kBool, ""}}},
      {"OverlayDescStats",
       {{"ods_rxloss_delayed", 1, kReq, kDbl, ""}, {"ods_rxloss_instant", 2, kReq, kDbl, ""}}},
      {"SyncStateMsg",
       {{"wep_version", 1, kReq, kU32, ""},
        {"wls_version", 2, kReq, kU32, ""},
        {"rm_version", 3, kOpt, kU32, ""},
        {"ua_version", 4, kOpt, kU32, ""},
        {"hfsc_version", 5, kOpt, kU32, ""},
        {"am_version", 6, kOpt, kU32, ""},
        {"tpm_version", 7, kOpt, kU32, ""},
        {"mm_version", 8, kOpt, kU32, ""}}},
      {"ProbeMsg", {{"seqnum", 1, kOpt, kU32, ""}}},
      {"OverlayHeaderEx", {{"seq_num", 1, kOpt, kU32, ""}}},
      {"Route",
       {{"ip", 1, kReq, kU32, ""}, {"netmask", 2, kReq, kU32, ""}, {"gw", 3, kReq, kU32, ""}}},
      {"RouteMsg", {{"route", 1, kRep, kMsg, "Route"}, {"rm_version", 2, kReq, kU32, ""}}},
      {"UserAuthMsg",
       {{"uam_jwt", 1, kOpt, kStr, ""},
        {"uam_version", 2, kReq, kU32, ""},
        {"uam_authack", 3, kOpt, kBool, ""},
        {"uam_auth_state", 4, kOpt, kU32, ""},
        {"uam_newver_supported", 5, kOpt, kU32, ""}}},
      {"TenantPolicyMsg",
       {{"tpm_version", 1, kReq, kU32, ""},
        {"site_id", 2, kReq, kStr, ""},
        {"tenant_id", 3, kReq, kStr, ""},
        {"env_id", 4, kReq, kStr, ""}}},
      {"AddrMgmtMsg",
       {{"amm_version", 1, kReq, kU32, ""},
        {"amm_msg_type", 2, kReq, kU32, ""},
        {"amm_site_id", 3, kReq, kStr, ""},
        {"amm_mac_addr", 4, kOpt, kStr, ""},
        {"amm_tenant_id", 5, kOpt, kStr, ""},
        {"amm_ipv4_addr", 6, kOpt, kU32, ""},
        {"amm_lifetime", 7, kOpt, kU32, ""},
        {"amm_name", 8, kOpt, kStr, ""},
        {"amm_nameservers", 9, kOpt, kStr, ""},
        {"amm_extensions", 10, kOpt, kStr, ""},
        {"amm_ret_code", 11, kOpt, kU32, ""},
        {"amm_domain_list", 12, kOpt, kStr, ""},
        {"amm_ipv4_mask", 13, kOpt, kU32, ""}}},
      {"MaintenanceModeMsg",
       {{"mm_version", 1, kReq, kU32, ""}, {"maint_mode", 2, kReq, kU32, ""}}},
  };
  return rows;
}

TEST(OverlayStateMsgTest, DescriptorMatchesTheSchema) {
  const google::protobuf::FileDescriptor* file = OstrelOverlayStateMsg::descriptor()->file();
  EXPECT_EQ(file->name(), "overlaystatemsg.proto");
  EXPECT_EQ(file->package(), "");
  EXPECT_EQ(file->syntax(), google::protobuf::FileDescriptor::SYNTAX_PROTO2);
  EXPECT_EQ(file->dependency_count(), 0);
  EXPECT_EQ(file->enum_type_count(), 0);
  EXPECT_EQ(file->extension_count(), 0);
  EXPECT_EQ(file->service_count(), 0);
  EXPECT_EQ(file->options().ByteSizeLong(), 0u);
  ASSERT_EQ(file->message_type_count(), static_cast<int>(schema().size()));
  for (int i = 0; i < file->message_type_count(); ++i) {
    const google::protobuf::Descriptor* message = file->message_type(i);
    const MessageRow& row = schema()[static_cast<size_t>(i)];
    SCOPED_TRACE(row.name);
    EXPECT_EQ(message->full_name(), row.name);
    EXPECT_EQ(message->nested_type_count() + message->enum_type_count() +
                  message->oneof_decl_count() + message->extension_count() +
                  message->extension_range_count(),
              0);
    EXPECT_EQ(message->options().ByteSizeLong(), 0u);
    ASSERT_EQ(message->field_count(), static_cast<int>(row.fields.size()));
    for (int f = 0; f < message->field_count(); ++f) {
      const FieldDescriptor* field = message->field(f);
      const FieldRow& want = row.fields[static_cast<size_t>(f)];
      SCOPED_TRACE(want.name);
      EXPECT_EQ(field->name(), want.name);
      EXPECT_EQ(field->number(), want.number);
      EXPECT_EQ(field->label(), want.label);
      EXPECT_EQ(field->type(), want.type);
      EXPECT_EQ(field->message_type() != nullptr ? field->message_type()->full_name() : "",
                want.message_type);
      EXPECT_FALSE(field->has_default_value());
      EXPECT_FALSE(field->is_packed());
      EXPECT_EQ(field->options().ByteSizeLong(), 0u);
    }
  }
}

}  // namespace
