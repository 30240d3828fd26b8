#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "platform/port_reservations/port_reservations.h"
#include "tests/support/netns.h"
#include "tests/support/temp_root.h"

namespace platform {
namespace {

using testing_support::ReadFile;

constexpr const char* kKernelList = "/proc/sys/net/ipv4/ip_local_reserved_ports";

// The real kernel list, in a namespace of the test's own (the list is per
// network namespace); the machine's own list must not move.
TEST(PortReservationsNetnsTest, KernelListGainsAndLosesTheRange) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root";
  testing_support::TempRoot root;
  ::setenv("DOVADOD_SYSROOT", "/", 1);  // TempRoot restores it
  testing_support::TestNetns ns("natports");
  ASSERT_TRUE(ns.created());
  const std::string host_before = ReadFile(kKernelList);

  std::string with_range;
  std::string after_delete;
  uint32_t created = 1;
  uint32_t deleted = 1;
  ASSERT_TRUE(ns.RunInside([&] {
    created = create_persistent_port_reservation(PortProtocol::kUdp, htons(47000), 20, nullptr);
    with_range = ReadFile(kKernelList);
    deleted = delete_persistent_port_reservation(PortProtocol::kUdp, htons(47000), 20);
    after_delete = ReadFile(kKernelList);
  }));
  EXPECT_EQ(created, 0u);
  EXPECT_EQ(deleted, 0u);
  EXPECT_NE(with_range.find("47000-47019"), std::string::npos) << with_range;
  EXPECT_EQ(after_delete.find("47000"), std::string::npos) << after_delete;
  EXPECT_EQ(ReadFile(kKernelList), host_before);
}

}  // namespace
}  // namespace platform
