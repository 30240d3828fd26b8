#include "platform/port_reservations/port_reservations.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "platform/error/win_error.h"
#include "platform/fs/paths.h"
#include "tests/support/temp_root.h"

namespace platform {
namespace {

using testing_support::ReadFile;
using testing_support::TempRoot;
using testing_support::WriteFile;

constexpr PortProtocol kUdp = PortProtocol::kUdp;
constexpr PortProtocol kTcp = PortProtocol::kTcp;

uint32_t Create(PortProtocol p, int start, int count) {
  return create_persistent_port_reservation(p, htons(static_cast<uint16_t>(start)),
                                            static_cast<uint16_t>(count), nullptr);
}
uint32_t Lookup(PortProtocol p, int start, int count) {
  return lookup_persistent_port_reservation(p, htons(static_cast<uint16_t>(start)),
                                            static_cast<uint16_t>(count), nullptr);
}
uint32_t Delete(PortProtocol p, int start, int count) {
  return delete_persistent_port_reservation(p, htons(static_cast<uint16_t>(start)),
                                            static_cast<uint16_t>(count));
}

bool Exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

class PortReservationsTest : public ::testing::Test {
 protected:
  void SetKernel(const std::string& text) {
    std::string path = kernel_reserved_ports_path();
    ASSERT_EQ(create_directories(path.substr(0, path.rfind('/'))), kErrorSuccess);
    WriteFile(path, text);
  }
  std::string Kernel() { return ReadFile(kernel_reserved_ports_path()); }

  TempRoot root_;
};

TEST_F(PortReservationsTest, RecordsKernelListAndBootFileFollowEachChange) {
  SetKernel("8080,9000-9001\n");
  EXPECT_EQ(Create(kUdp, 50000, 100), kErrorSuccess);
  EXPECT_EQ(Create(kTcp, 50000, 100), kErrorSuccess);
  EXPECT_EQ(ReadFile(port_reservations_record_path()), "udp 50000 100\ntcp 50000 100\n");
  EXPECT_EQ(Kernel(), "8080,9000-9001,50000-50099\n");
  EXPECT_EQ(ReadFile(reserved_ports_sysctl_conf_path()),
            "net.ipv4.ip_local_reserved_ports = 8080,9000-9001,50000-50099\n");
  EXPECT_EQ(Lookup(kUdp, 50000, 100), kErrorSuccess);
  EXPECT_EQ(Lookup(kTcp, 50000, 100), kErrorSuccess);

  // The ports stay reserved while either protocol still records them.
  EXPECT_EQ(Delete(kTcp, 50000, 100), kErrorSuccess);
  EXPECT_EQ(Kernel(), "8080,9000-9001,50000-50099\n");
  EXPECT_EQ(Lookup(kTcp, 50000, 100), kErrorNotFound);
  EXPECT_EQ(Delete(kUdp, 50000, 100), kErrorSuccess);
  EXPECT_EQ(Kernel(), "8080,9000-9001\n");
  EXPECT_EQ(ReadFile(port_reservations_record_path()), "");
  EXPECT_FALSE(Exists(reserved_ports_sysctl_conf_path()));
}

TEST_F(PortReservationsTest, RefusalsLeaveEverythingAsItWas) {
  SetKernel("40005\n");
  ASSERT_EQ(Create(kUdp, 50000, 100), kErrorSuccess);
  std::string records = ReadFile(port_reservations_record_path());
  std::string kernel = Kernel();

  struct Case {
    const char* what;
    uint32_t (*call)();
    uint32_t expected;
  };
  const Case cases[] = {
      {"overlap, same protocol", [] { return Create(kUdp, 50099, 10); }, kErrorSharingViolation},
      {"same range again", [] { return Create(kUdp, 50000, 100); }, kErrorSharingViolation},
      {"port the kernel reserves", [] { return Create(kTcp, 40000, 10); }, kErrorSharingViolation},
      {"count 0", [] { return Create(kUdp, 1000, 0); }, kErrorInvalidParameter},
      {"past 65535", [] { return Create(kUdp, 65530, 7); }, kErrorInvalidParameter},
      {"lookup, other count", [] { return Lookup(kUdp, 50000, 99); }, kErrorNotFound},
      {"lookup, other protocol", [] { return Lookup(kTcp, 50000, 100); }, kErrorNotFound},
      {"delete, sub-range", [] { return Delete(kUdp, 50000, 50); }, kErrorNotFound},
      {"delete, other protocol", [] { return Delete(kTcp, 50000, 100); }, kErrorNotFound},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(c.call(), c.expected);
    EXPECT_EQ(last_error(), c.expected);
    EXPECT_EQ(ReadFile(port_reservations_record_path()), records);
    EXPECT_EQ(Kernel(), kernel);
  }
  // The other protocol may share the range: the kernel's ports there are ours.
  EXPECT_EQ(Create(kTcp, 50000, 100), kErrorSuccess);
  EXPECT_EQ(Create(kUdp, 65535, 1), kErrorSuccess);
}

TEST_F(PortReservationsTest, UnreadableRecordFileIsNeverOverwritten) {
  SetKernel("\n");
  ASSERT_EQ(create_directories(root_.file("var/lib/dovadod")), kErrorSuccess);
  const std::string bad = "udp 50000 100\nudp fifty 1\n";
  WriteFile(port_reservations_record_path(), bad);
  EXPECT_EQ(Create(kTcp, 60000, 1), kErrorInvalidData);
  EXPECT_EQ(Delete(kUdp, 50000, 100), kErrorInvalidData);
  EXPECT_EQ(Lookup(kUdp, 50000, 100), kErrorInvalidData);
  EXPECT_EQ(ReadFile(port_reservations_record_path()), bad);
  EXPECT_EQ(Kernel(), "\n");
}

TEST_F(PortReservationsTest, FailedBootFileWriteUndoesTheChange) {
  SetKernel("8080\n");
  ASSERT_EQ(create_directories(root_.file("etc")), kErrorSuccess);
  WriteFile(root_.file("etc/sysctl.d"), "not a folder");
  EXPECT_NE(Create(kUdp, 50000, 10), kErrorSuccess);
  EXPECT_EQ(Lookup(kUdp, 50000, 10), kErrorNotFound);
  EXPECT_EQ(Kernel(), "8080\n");
}

TEST_F(PortReservationsTest, LookupWithoutRecordFileIsNotFound) {
  EXPECT_EQ(Lookup(kUdp, 50000, 1), kErrorNotFound);
  EXPECT_EQ(Delete(kUdp, 50000, 1), kErrorNotFound);
}

}  // namespace
}  // namespace platform
