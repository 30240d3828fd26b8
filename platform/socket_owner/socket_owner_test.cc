#include "platform/socket_owner/socket_owner.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <string>
#include <vector>

#include "platform/error/win_error.h"
#include "platform/fs/paths.h"
#include "tests/support/temp_root.h"

namespace platform {
namespace {

using testing_support::TempRoot;
using testing_support::WriteFile;

constexpr const char* kTcpHeader =
    "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout "
    "inode\n";

std::string Row(int slot, const std::string& local, const std::string& remote,
                const std::string& state, const std::string& inode) {
  return "  " + std::to_string(slot) + ": " + local + " " + remote + " " + state +
         " 00000000:00000000 00:00000000 00000000     0        0 " + inode +
         " 1 0000000000000000 100 0 0 10 0\n";
}

std::vector<uint8_t> Bytes(const uint8_t* addr, size_t n) { return {addr, addr + n}; }

TEST(ParseSocketRowTest, DecodesHostOrderWordsIntoNetworkOrderBytes) {
  if (std::endian::native != std::endian::little) GTEST_SKIP() << "fixtures are little-endian";
  SocketRow row;
  ASSERT_TRUE(parse_socket_row(
      "   0: 0100007F:1F90 0A01A8C0:D431 01 00000000:00000000 00:00000000 00000000  0  0 23456 "
      "1 0000000000000000 20 4 30 10 -1",
      AF_INET, &row));
  EXPECT_EQ(row.family, AF_INET);
  EXPECT_EQ(Bytes(row.local_addr, 4), (std::vector<uint8_t>{127, 0, 0, 1}));
  EXPECT_EQ(row.local_port, 8080);
  EXPECT_EQ(Bytes(row.remote_addr, 4), (std::vector<uint8_t>{192, 168, 1, 10}));
  EXPECT_EQ(row.remote_port, 0xD431);
  EXPECT_EQ(row.state, kTcpStateEstablished);
  EXPECT_EQ(row.inode, 23456u);

  // ::ffff:127.0.0.1 and 2001:db8::1, each word a host-order integer.
  ASSERT_TRUE(parse_socket_row(
      "  12: 0000000000000000FFFF00000100007F:0035 B80D0120000000000000000001000000:0050 07 "
      "00000000:00000000 00:00000000 00000000   108        0 99 2 0000000000000000 0",
      AF_INET6, &row));
  EXPECT_EQ(row.family, AF_INET6);
  EXPECT_EQ(Bytes(row.local_addr, 16),
            (std::vector<uint8_t>{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 127, 0, 0, 1}));
  EXPECT_EQ(row.local_port, 53);
  EXPECT_EQ(Bytes(row.remote_addr, 16),
            (std::vector<uint8_t>{0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}));
  EXPECT_EQ(row.remote_port, 80);
  EXPECT_EQ(row.state, 0x07);
  EXPECT_EQ(row.inode, 99u);
}

TEST(ParseSocketRowTest, RefusesMalformedLinesAndLeavesRowAlone) {
  const std::string good_v4 = "0100007F:1F90 00000000:0000 0A";
  const std::string tail = " 00000000:00000000 00:00000000 00000000 0 0 ";
  struct Case {
    std::string line;
    int family;
  };
  const Case cases[] = {
      {"", AF_INET},
      {"  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt", AF_INET},
      {"0: " + good_v4 + tail + "5", AF_UNIX},
      {"0: " + good_v4 + tail + "5", AF_INET6},  // IPv4 text in an IPv6 table
      {"0 " + good_v4 + tail + "5", AF_INET},    // slot without ':'
      {"x: " + good_v4 + tail + "5", AF_INET},
      {"0: 0100007G:1F90 00000000:0000 0A" + tail + "5", AF_INET},
      {"0: 0100007F:1F900 00000000:0000 0A" + tail + "5", AF_INET},
      {"0: 0100007F1F90 00000000:0000 0A" + tail + "5", AF_INET},
      {"0: 100007F:1F90 00000000:0000 0A" + tail + "5", AF_INET},
      {"0: 0100007F:1F90 00000000:0000 A" + tail + "5", AF_INET},
      {"0: " + good_v4 + tail, AF_INET},                              // no inode
      {"0: " + good_v4 + " 00000000:00000000 00:00000000", AF_INET},  // cut short
      {"0: " + good_v4 + tail + "12a", AF_INET},
      {"0: " + good_v4 + tail + "18446744073709551616", AF_INET},  // 2^64
  };
  for (const Case& c : cases) {
    SocketRow row;
    row.inode = 7;
    EXPECT_FALSE(parse_socket_row(c.line, c.family, &row)) << c.line;
    EXPECT_EQ(row.inode, 7u) << c.line;
  }
  SocketRow row;
  ASSERT_TRUE(parse_socket_row("0: " + good_v4 + tail + "18446744073709551615", AF_INET, &row));
  EXPECT_EQ(row.inode, UINT64_MAX);
}

TEST(ReadSocketTableTest, ReadsRowsInFileOrderSkippingBadLines) {
  TempRoot root;
  std::string text = kTcpHeader;
  text += Row(0, "0100007F:0001", "00000000:0000", "0A", "11");
  text += "garbage line\n";
  // Overlong, dropped whole although a row hides at its end.
  text += std::string(2000, ' ') + Row(5, "0100007F:0009", "00000000:0000", "01", "77");
  text += Row(1, "0100007F:0002", "00000000:0000", "01", "12");
  // Enough rows to cross the reader's chunk boundaries several times.
  for (int i = 0; i < 2000; ++i)
    text += Row(2 + i, "0100007F:0003", "00000000:0000", "01", std::to_string(1000 + i));
  std::string last = Row(9999, "0100007F:0004", "00000000:0000", "01", "13");
  last.pop_back();  // no newline at the end of the file
  text += last;
  WriteFile(root.file("proc/net/tcp"), text);

  std::vector<SocketRow> rows;
  size_t bytes = 0;
  ASSERT_EQ(read_socket_table(SocketTable::kTcp, &rows, &bytes), 0u);
  EXPECT_EQ(bytes, text.size());
  ASSERT_EQ(rows.size(), 2003u);
  EXPECT_EQ(rows[0].inode, 11u);
  EXPECT_EQ(rows[1].inode, 12u);
  for (int i = 0; i < 2000; ++i) ASSERT_EQ(rows[2 + i].inode, 1000u + i) << i;
  EXPECT_EQ(rows[2002].inode, 13u);
  EXPECT_EQ(rows[2002].local_port, 4);

  EXPECT_EQ(read_socket_table(SocketTable::kUdp6, &rows), 2u);
  EXPECT_TRUE(rows.empty());
}

class FindSocketOwnerTest : public ::testing::Test {
 protected:
  void SetUp() override { clear_socket_owner_cache(); }
  void TearDown() override { clear_socket_owner_cache(); }

  void Link(const std::string& pid, const std::string& fd, const std::string& target) {
    uint32_t rc = create_directories(root_.file("proc/" + pid + "/fd"));
    ASSERT_TRUE(rc == 0 || rc == kErrorAlreadyExists) << rc;
    const std::string path = root_.file("proc/" + pid + "/fd/" + fd);
    ::unlink(path.c_str());
    ASSERT_EQ(::symlink(target.c_str(), path.c_str()), 0);
  }

  TempRoot root_;
};

TEST_F(FindSocketOwnerTest, EarliestHeldCandidateWins) {
  Link("100", "3", "socket:[111]");
  Link("100", "4", "pipe:[222]");
  Link("200", "5", "socket:[222]");
  Link("300", "0", "socket:[333]");
  Link("300", "1", "/dev/null");
  ASSERT_EQ(create_directories(root_.file("proc/net")), 0u);
  ASSERT_EQ(::symlink("300", root_.file("proc/self").c_str()), 0);
  WriteFile(root_.file("proc/400/fd/notanumber"), "");

  size_t index = 99;
  EXPECT_EQ(find_socket_owner(std::vector<uint64_t>{222}, &index), 200u);
  EXPECT_EQ(index, 0u);
  EXPECT_EQ(find_socket_owner(std::vector<uint64_t>{999, 333, 111}, &index), 300u);
  EXPECT_EQ(index, 1u);
  EXPECT_EQ(find_socket_owner(std::vector<uint64_t>{999, 444}, &index), 0u);
  EXPECT_EQ(find_socket_owner({}, &index), 0u);

  // Many candidates take another lookup path.
  std::vector<uint64_t> many;
  for (uint64_t i = 0; i < 40; ++i) many.push_back(5000 + i);
  many.push_back(111);
  many.push_back(222);
  EXPECT_EQ(find_socket_owner(many, &index), 100u);
  EXPECT_EQ(index, 40u);
}

TEST_F(FindSocketOwnerTest, RemembersOwnersButNeverTrustsAMovedSocket) {
  Link("100", "3", "socket:[111]");
  EXPECT_EQ(find_socket_owner(std::vector<uint64_t>{111}), 100u);

  // The socket has moved to another process, and the old descriptor now holds
  // another socket: the remembered owner must not answer.
  Link("100", "3", "socket:[555]");
  Link("400", "7", "socket:[111]");
  EXPECT_EQ(find_socket_owner(std::vector<uint64_t>{111}), 400u);

  // Gone altogether.
  ASSERT_EQ(::unlink(root_.file("proc/400/fd/7").c_str()), 0);
  EXPECT_EQ(find_socket_owner(std::vector<uint64_t>{111}), 0u);
  // Sockets passed during a walk are remembered too, and checked the same way.
  EXPECT_EQ(find_socket_owner(std::vector<uint64_t>{555}), 100u);
}

TEST_F(FindSocketOwnerTest, ListsEveryHolderWithWhatVouchesForIt) {
  auto process = [&](const std::string& pid, const std::string& mnt, const std::string& status) {
    ASSERT_EQ(create_directories(root_.file("proc/" + pid + "/ns")), 0u);
    ASSERT_EQ(::symlink(("/opt/bin/p" + pid).c_str(), root_.file("proc/" + pid + "/exe").c_str()),
              0);
    ASSERT_EQ(::symlink(mnt.c_str(), root_.file("proc/" + pid + "/ns/mnt").c_str()), 0);
    ASSERT_EQ(::symlink("user:[2]", root_.file("proc/" + pid + "/ns/user").c_str()), 0);
    if (!status.empty()) WriteFile(root_.file("proc/" + pid + "/status"), status);
  };
  process("self", "mnt:[1]", "");
  const std::string head = "Name:\tp\nUmask:\t0022\n";
  Link("100", "3", "socket:[111]");
  process("100", "mnt:[1]", head + "Uid:\t0\t0\t0\t0\nGid:\t0\t0\t0\t0\n");
  Link("200", "4", "socket:[222]");  // a holder of the other candidate
  Link("200", "5", "socket:[111]");
  process("200", "mnt:[9]", head + "Uid:\t0\t0\t0\t0\n");
  Link("300", "0", "socket:[111]");
  process("300", "mnt:[1]", head + "Uid:\t1000\t0\t0\t0\n");
  Link("400", "0", "socket:[111]");
  process("400", "mnt:[1]", head + "Uid:\t0\t1000\t0\t0\n");
  Link("500", "0", "socket:[111]");  // nothing but its descriptors to read
  Link("600", "0", "socket:[666]");  // holds something else

  std::vector<SocketHolder> holders;
  ASSERT_EQ(find_socket_holders(std::vector<uint64_t>{111, 222}, &holders), 0u);
  struct Want {
    uint32_t pid;
    const char* image;
    bool own_namespaces;
    bool root;
  } wants[] = {
      {100, "/opt/bin/p100", true, true},
      {200, "/opt/bin/p200", false, true},
      {300, "/opt/bin/p300", true, false},
      {400, "/opt/bin/p400", true, false},
      {500, "", false, false},
  };
  ASSERT_EQ(holders.size(), std::size(wants));
  // A plain directory lists in no particular order.
  std::sort(holders.begin(), holders.end(),
            [](const SocketHolder& a, const SocketHolder& b) { return a.pid < b.pid; });
  for (size_t i = 0; i < holders.size(); ++i) {
    SCOPED_TRACE(wants[i].pid);
    EXPECT_EQ(holders[i].pid, wants[i].pid);
    EXPECT_EQ(holders[i].image, wants[i].image);
    EXPECT_EQ(holders[i].own_namespaces, wants[i].own_namespaces);
    EXPECT_EQ(holders[i].root, wants[i].root);
  }

  // No holder at all, as for a socket in flight between processes.
  ASSERT_EQ(find_socket_holders(std::vector<uint64_t>{999}, &holders), 0u);
  EXPECT_TRUE(holders.empty());
}

}  // namespace
}  // namespace platform
