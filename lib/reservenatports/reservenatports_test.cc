#include "lib/reservenatports/reservenatports.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>

#include "platform/port_reservations/port_reservations.h"
#include "tests/support/started_log.h"

namespace {

using platform::PortProtocol;
using testing_support::ReadFile;
using testing_support::StartedLog;

uint32_t Create(PortProtocol p, int start, int count) {
  return platform::create_persistent_port_reservation(p, htons(static_cast<uint16_t>(start)),
                                                      static_cast<uint16_t>(count), nullptr);
}
bool Has(PortProtocol p, int start, int count) {
  return platform::lookup_persistent_port_reservation(p, htons(static_cast<uint16_t>(start)),
                                                      static_cast<uint16_t>(count), nullptr) == 0;
}
std::string Records() { return ReadFile(platform::port_reservations_record_path()); }
bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

class NatPortsTest : public ::testing::Test {
 protected:
  std::string Log() { return log_.text(); }
  StartedLog log_{CXLOG_FMT_LEVEL_NUMBER};
};

TEST_F(NatPortsTest, RangeBoundsApplyToAllThreeCommands) {
  struct Case {
    int start;
    int count;
    bool valid;
  };
  const Case cases[] = {
      {1024, 10, false},   {1025, 10, true},    {5000, 0, false},   {5000, 16384, false},
      {5000, 16383, true}, {65000, 534, false}, {65000, 533, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.start) + " num " + std::to_string(c.count));
    testing::internal::CaptureStdout();
    int rc = ReserveNatPorts(c.start, c.count);
    std::string out = testing::internal::GetCapturedStdout();
    if (!c.valid) {
      EXPECT_EQ(rc, -1);
      EXPECT_EQ(out, "invalid parameters");
      EXPECT_FALSE(LookupNatPorts(c.start, c.count));
      testing::internal::CaptureStdout();
      UninstallNatPorts(c.start, c.count);
      EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
      EXPECT_EQ(Records(), "");
      continue;
    }
    EXPECT_EQ(rc, 0);
    std::string range = std::to_string(c.start) + " num:" + std::to_string(c.count);
    EXPECT_EQ(out,
              "Reserved UDP nat ports from " + range + "\nReserved TCP nat ports from " + range);
    EXPECT_TRUE(LookupNatPorts(c.start, c.count));
    testing::internal::CaptureStdout();
    UninstallNatPorts(c.start, c.count);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_TRUE(Contains(Log(), "Deleted reserved TCP nat ports from " + range));
    EXPECT_TRUE(Contains(Log(), "Deleted reserved UDP nat ports from " + range));
    EXPECT_FALSE(LookupNatPorts(c.start, c.count));
  }
  EXPECT_TRUE(Contains(Log(), " 2 natportreserve invalid parameters"));
}

TEST_F(NatPortsTest, ExistingUdpRangeFailsAtUdpAndChangesNothing) {
  ASSERT_EQ(Create(PortProtocol::kUdp, 40000, 10), 0u);
  std::string before = Records();
  testing::internal::CaptureStdout();
  EXPECT_EQ(ReserveNatPorts(40000, 10), -1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Create UdpPortReservation returned error: 32\n"
            "Error: UDP reservation failed 40000 num:10\n");
  EXPECT_EQ(Records(), before);
  EXPECT_FALSE(Has(PortProtocol::kTcp, 40000, 10));
}

TEST_F(NatPortsTest, TcpFailureRollsUdpBack) {
  ASSERT_EQ(Create(PortProtocol::kTcp, 40005, 1), 0u);
  testing::internal::CaptureStdout();
  EXPECT_EQ(ReserveNatPorts(40000, 10), -1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Reserved UDP nat ports from 40000 num:10\n"
            "Create TcpPortReservation returned error :  32\n");
  EXPECT_FALSE(Has(PortProtocol::kUdp, 40000, 10));
  EXPECT_EQ(Records(), "tcp 40005 1\n");
  EXPECT_TRUE(Contains(Log(), "Create TcpPortReservation returned error: 32"));
}

TEST_F(NatPortsTest, DeleteRefusesCountBeyondSixteenBits) {
  ASSERT_EQ(Create(PortProtocol::kUdp, 40000, 10), 0u);
  testing::internal::CaptureStdout();
  EXPECT_EQ(DeleteUdpNatPorts(htons(40000), 65536 + 10), -1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Delete UdpPortReservation returned error: 87\n");
  EXPECT_TRUE(Has(PortProtocol::kUdp, 40000, 10));
}

TEST_F(NatPortsTest, UdpOnlyRange) {
  ASSERT_EQ(Create(PortProtocol::kUdp, 40000, 10), 0u);
  EXPECT_FALSE(LookupNatPorts(40000, 10));
  EXPECT_TRUE(Contains(Log(), " 4 natportreserve Reserved UDP nat ports from 40000 num:10"));
  EXPECT_TRUE(Contains(Log(), " 2 natportreserve Lookup TcpPortReservation returned error: 1168"));

  testing::internal::CaptureStdout();
  UninstallNatPorts(40000, 10);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Delete TcpPortReservation returned error: 1168\n");
  EXPECT_TRUE(Contains(Log(), "Deleted reserved UDP nat ports from 40000 num:10"));
  EXPECT_EQ(Records(), "");

  // Nothing left: both deletes report.
  testing::internal::CaptureStdout();
  UninstallNatPorts(40000, 10);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Delete TcpPortReservation returned error: 1168\n"
            "Delete UdpPortReservation returned error: 1168\n");
}

}  // namespace
