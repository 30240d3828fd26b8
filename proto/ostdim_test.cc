// The device information map schema as the generated classes carry it: the
// whole file descriptor against the expected nine messages, and one map
// through the wire and back.
#include <google/protobuf/descriptor.h>
#include <google/protobuf/descriptor.pb.h>
#include <google/protobuf/text_format.h>
#include <google/protobuf/util/message_differencer.h>

#include <string>

#include <gtest/gtest.h>

#include "ostdim.pb.h"

namespace {

using google::protobuf::FileDescriptorProto;
using google::protobuf::TextFormat;
using google::protobuf::util::MessageDifferencer;

// Every message, field, number, label and type, in file order.
constexpr char kExpectedFile[] = R"pb(
  name: "ostdim.proto"
  message_type {
    name: "OstrelDIMArray"
    field {
      name: "dim"
      number: 1
      label: LABEL_REPEATED
      type: TYPE_MESSAGE
      type_name: ".OstrelDIMMsg"
    }
  }
  message_type {
    name: "OstrelDIMMsg"
    field { name: "overlay_ip" number: 1 label: LABEL_REQUIRED type: TYPE_UINT32 }
    field {
      name: "nexthop"
      number: 2
      label: LABEL_OPTIONAL
      type: TYPE_MESSAGE
      type_name: ".NextHopMsg"
    }
    field {
      name: "routeable_overlays"
      number: 3
      label: LABEL_OPTIONAL
      type: TYPE_MESSAGE
      type_name: ".NextHopMsg"
    }
    field {
      name: "wan_tags"
      number: 4
      label: LABEL_OPTIONAL
      type: TYPE_MESSAGE
      type_name: ".WanTagsMsg"
    }
    field { name: "dim_psk" number: 5 label: LABEL_OPTIONAL type: TYPE_BYTES }
    field { name: "public_key" number: 6 label: LABEL_OPTIONAL type: TYPE_BYTES }
    field { name: "overlay_port" number: 7 label: LABEL_OPTIONAL type: TYPE_UINT32 }
    field {
      name: "ost_tags"
      number: 8
      label: LABEL_OPTIONAL
      type: TYPE_MESSAGE
      type_name: ".OstTagsMsg"
    }
  }
  message_type {
    name: "WanTagsMsg"
    field {
      name: "wte"
      number: 1
      label: LABEL_REPEATED
      type: TYPE_MESSAGE
      type_name: ".WanTagElementMsg"
    }
  }
  message_type {
    name: "NextHopMsg"
    field {
      name: "nhe"
      number: 1
      label: LABEL_REPEATED
      type: TYPE_MESSAGE
      type_name: ".NextHopElementMsg"
    }
  }
  message_type {
    name: "OstTagElementMsg"
    field { name: "ost_tag_name" number: 1 label: LABEL_REQUIRED type: TYPE_STRING }
    field { name: "ost_tag_value" number: 2 label: LABEL_REPEATED type: TYPE_STRING }
  }
  message_type {
    name: "OstTagsMsg"
    field {
      name: "ite"
      number: 1
      label: LABEL_REPEATED
      type: TYPE_MESSAGE
      type_name: ".OstTagElementMsg"
    }
  }
  message_type {
    name: "NextHopElementMsg"
    field { name: "ipv4" number: 1 label: LABEL_REQUIRED type: TYPE_UINT32 }
    field { name: "cost" number: 2 label: LABEL_REQUIRED type: TYPE_UINT32 }
    field {
      name: "nhmsg_wte"
      number: 3
      label: LABEL_OPTIONAL
      type: TYPE_MESSAGE
      type_name: ".WanTagsMsg"
    }
    field {
      name: "nhmsg_ite"
      number: 4
      label: LABEL_OPTIONAL
      type: TYPE_MESSAGE
      type_name: ".OstTagsMsg"
    }
  }
  message_type {
    name: "WanTagElementMsg"
    field { name: "tag_name" number: 1 label: LABEL_REQUIRED type: TYPE_STRING }
    field {
      name: "ipv4"
      number: 2
      label: LABEL_REPEATED
      type: TYPE_MESSAGE
      type_name: ".OstIPv4Msg"
    }
  }
  message_type {
    name: "OstIPv4Msg"
    field { name: "ipv4" number: 1 label: LABEL_REQUIRED type: TYPE_UINT32 }
    field { name: "port" number: 2 label: LABEL_REQUIRED type: TYPE_UINT32 }
    field { name: "l2l3ifidx" number: 3 label: LABEL_OPTIONAL type: TYPE_UINT32 }
    field { name: "overlay_tag" number: 4 label: LABEL_OPTIONAL type: TYPE_STRING }
  }
  options { go_package: "./ostdimpb" }
)pb";

// The descriptor holds exactly the expected file: no package, no imports,
// nothing beyond the nine messages and the one option.
TEST(OstdimSchema, DescriptorIsTheNineMessages) {
  FileDescriptorProto expected;
  ASSERT_TRUE(TextFormat::ParseFromString(kExpectedFile, &expected));
  FileDescriptorProto actual;
  OstrelDIMArray::descriptor()->file()->CopyTo(&actual);
  std::string differences;
  MessageDifferencer differ;
  differ.ReportDifferencesToString(&differences);
  EXPECT_TRUE(differ.Compare(expected, actual)) << differences;
}

// One device with one WAN tag endpoint: its exact bytes, and back.
TEST(OstdimSchema, MapRoundTripsThroughTheWire) {
  OstrelDIMArray map;
  ASSERT_TRUE(TextFormat::ParseFromString(
      R"pb(dim {
             overlay_ip: 16777226
             wan_tags {
               wte {
                 tag_name: "internet"
                 ipv4 { ipv4: 16777226 port: 443 }
               }
             }
           })pb",
      &map));
  const std::string wire = map.SerializeAsString();
  const std::string expected(
      "\x0A\x1D\x08\x8A\x80\x80\x08\x22\x16\x0A\x14\x0A\x08internet"
      "\x12\x08\x08\x8A\x80\x80\x08\x10\xBB\x03",
      31);
  EXPECT_EQ(wire, expected);

  OstrelDIMArray back;
  ASSERT_TRUE(back.ParseFromString(expected));
  EXPECT_TRUE(MessageDifferencer::Equals(back, map));
  ASSERT_EQ(back.dim_size(), 1);
  EXPECT_EQ(back.dim(0).overlay_ip(), 16777226u);  // 10.0.0.1
  EXPECT_EQ(back.dim(0).wan_tags().wte(0).ipv4(0).port(), 443u);
  EXPECT_FALSE(back.dim(0).has_nexthop());
  EXPECT_EQ(back.SerializeAsString(), expected);
}

}  // namespace
