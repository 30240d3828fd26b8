#include "ostgraphsvc/ostssl/ostssl.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "ostgraphsvc/ostssl/ostssl_listener_recorder.h"
#include "platform/net/net.h"
#include "tests/support/started_log.h"
#include "tests/support/temp_root.h"

namespace {

using testing_support::StartedLog;

std::string Std(const String& s) { return std::string(s.data(), s.length()); }

size_t Count(const std::string& text, const std::string& needle) {
  size_t n = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}

IPAddress Ip(const char* dotted) {
  in_addr a{};
  EXPECT_EQ(inet_pton(AF_INET, dotted, &a), 1);
  return IPAddress(a.s_addr);
}

// sha1sum's digest of `text`, from a child process.
std::string Sha1sum(const std::string& text) {
  testing_support::TempRoot root;
  const std::string file = root.file("path.txt");
  testing_support::WriteFile(file, text);
  std::string command = "sha1sum " + file;
  FILE* child = popen(command.c_str(), "r");
  if (child == nullptr) return "";
  char out[128] = {};
  size_t got = fread(out, 1, sizeof(out) - 1, child);
  pclose(child);
  std::string digest(out, got);
  return digest.substr(0, digest.find(' '));
}

class OstsslTest : public ::testing::Test {
 protected:
  void SetUp() override { ostssl::reset_for_testing(); }
  void TearDown() override { ostssl::reset_for_testing(); }
};

// A connection as the connect thread leaves it before the listener hears of
// it: peer 192.0.2.1 at 203.0.113.7:443, bound to 192.168.1.10:`local_port`.
std::shared_ptr<ostssl> Connected(uint16_t local_port) {
  std::shared_ptr<ostssl> conn = ostssl::create();
  conn->peer_overlay_ip = Ip("192.0.2.1").addr();
  sockaddr_in remote{};
  remote.sin_family = AF_INET;
  remote.sin_addr.s_addr = Ip("203.0.113.7").addr();
  remote.sin_port = htons(443);
  std::memcpy(&conn->remote_addr, &remote, sizeof(remote));
  conn->remote_addr_len = sizeof(remote);
  conn->local_bound_addr.sin_family = AF_INET;
  conn->local_bound_addr.sin_addr.s_addr = Ip("192.168.1.10").addr();
  conn->local_bound_addr.sin_port = htons(local_port);
  conn->protocol = OSTSSL_PROTO_TLS;
  conn->path_mtu = 1448;
  conn->if_index = 7;
  conn->if_metric = 25;
  conn->hubgrp_id = "grp-1";
  conn->hub_role = "Primary";
  return conn;
}

TEST_F(OstsslTest, PathIdIsShaOfIdentityAddressesAndPorts) {
  const std::string text = "UFQDN/192.0.2.1@tarn.local1248462831678808963137425603";
  const std::string digest = Sha1sum(text);
  ASSERT_EQ(digest.size(), 40u) << digest;
  EXPECT_EQ(digest.substr(0, 8), "ce3cddbe");
  // The first four digest bytes, little-endian.
  uint32_t expected = 0;
  for (int i = 3; i >= 0; --i) {
    expected =
        expected << 8 | static_cast<uint32_t>(std::stoul(digest.substr(i * 2, 2), nullptr, 16));
  }
  EXPECT_EQ(expected, 3202170062u);

  ostssl::set_multilink_mode(2);
  std::shared_ptr<ostssl> conn = Connected(50000);
  conn->fill_conn_info();
  const ostssl_conn_info& info = conn->conn_info;
  EXPECT_EQ(info.path_id, 3202170062u);
  EXPECT_EQ(Std(info.peer_id), "UFQDN/192.0.2.1@tarn.local");
  EXPECT_EQ(Std(info.protocol_name), "TLS");
  EXPECT_EQ(info.protocol, 2);
  EXPECT_EQ(info.ssl_protocol, 2);
  EXPECT_EQ(info.local_ip, Ip("192.168.1.10").addr());
  EXPECT_EQ(info.remote_ip, Ip("203.0.113.7").addr());
  EXPECT_EQ(info.local_port, htons(50000));
  EXPECT_EQ(info.remote_port, htons(443));
  EXPECT_EQ(info.sock, -1);
  EXPECT_EQ(info.path_mtu, 1448);
  EXPECT_EQ(info.if_index, 7);
  EXPECT_EQ(info.if_metric, 25);
  EXPECT_EQ(info.multilink_mode, 2);
  EXPECT_EQ(Std(info.hubgrp_id), "grp-1");
  EXPECT_EQ(Std(info.hub_role), "Primary");
  EXPECT_EQ(info.peer_overlay_ip, Ip("192.0.2.1").addr());
  // The record's texts share no storage with the connection's.
  EXPECT_NE(info.hubgrp_id.data(), conn->hubgrp_id.data());

  // A reconnect from another local port is another path.
  std::shared_ptr<ostssl> again = Connected(50001);
  again->fill_conn_info();
  EXPECT_NE(again->conn_info.path_id, info.path_id);
}

TEST_F(OstsslTest, TablesBucketAndKeepTheFirstEntry) {
  const OstRemoteWANIPLocalIPPair key{Ip("203.0.113.7"), Ip("192.168.1.10")};
  EXPECT_EQ(hashcode(key), 3451839872u);
  EXPECT_EQ(ssl_conn_table_bucket(key), 5u);

  for (ssl_conn_table* table : {&ostssl::ssl_con_tbl(), &ostssl::sslCons()}) {
    EXPECT_EQ(table->table.bucket_count(), 63u);
    std::shared_ptr<ostssl> first = Connected(50000);
    std::shared_ptr<ostssl> second = Connected(50001);
    EXPECT_TRUE(table->insert(key, first));
    EXPECT_FALSE(table->insert(key, second));
    EXPECT_EQ(table->find(key), first);
    EXPECT_EQ(table->size(), 1u);
    // The same peer over another interface is another connection.
    const OstRemoteWANIPLocalIPPair other{key.remote_wan_ip, Ip("10.1.1.2")};
    EXPECT_EQ(table->find(other), nullptr);
    EXPECT_TRUE(table->insert(other, second));
    EXPECT_EQ(table->size(), 2u);
    EXPECT_TRUE(table->erase(key));
    EXPECT_FALSE(table->erase(key));
    EXPECT_EQ(table->find(other), second);
  }
  EXPECT_STREQ(ostssl::ssl_con_tbl().log_name, "ssl_con_tbl");
  EXPECT_STREQ(ostssl::ssl_con_tbl().count_name, "Connecting Hubs");
  EXPECT_STREQ(ostssl::sslCons().log_name, "ssl_tbl");
  EXPECT_STREQ(ostssl::sslCons().count_name, "Connected Hubs");
}

TEST_F(OstsslTest, ProtocolNames) {
  StartedLog log(CXLOG_FMT_LEVEL_NAME);
  const struct {
    int code;
    const char* name;
  } cases[] = {{0, "IPSEC"}, {1, "DTLS"}, {2, "TLS"}, {3, "UNKNOWN"}, {-1, "UNKNOWN"}};
  for (const auto& c : cases) EXPECT_EQ(Std(ostssl::get_ssl_protocol_string(c.code)), c.name);
  const std::string text = log.text();
  EXPECT_EQ(Count(text, "Unknown SSL protocol value: 3\n"), 1u) << text;
  EXPECT_EQ(Count(text, "Unknown SSL protocol value: -1\n"), 1u) << text;
  EXPECT_EQ(Count(text, "Unknown SSL protocol value"), 2u) << text;
}

TEST_F(OstsslTest, TenantIdIsSetOnce) {
  StartedLog log(0);
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([i] {
      ostssl::ssl_check_and_set_tenant_id(String(("tenant-" + std::to_string(i)).c_str()));
    });
  }
  for (std::thread& t : threads) t.join();
  const std::string winner = Std(ostssl::get_tenant_id());
  EXPECT_EQ(winner.rfind("tenant-", 0), 0u) << winner;
  ostssl::ssl_check_and_set_tenant_id("later");
  EXPECT_EQ(Std(ostssl::get_tenant_id()), winner);
  const std::string text = log.text();
  EXPECT_EQ(Count(text, "ostssl: tenant id is "), 1u) << text;
  EXPECT_EQ(Count(text, "ostssl: tenant id is " + winner + "\n"), 1u) << text;

  // The text comes from a file: its control bytes are not written raw.
  ostssl::reset_for_testing();
  EXPECT_EQ(Std(ostssl::get_tenant_id()), "");
  ostssl::ssl_check_and_set_tenant_id(String("acme\nforged", 11));
  EXPECT_EQ(Std(ostssl::get_tenant_id()), std::string("acme\nforged", 11));
  EXPECT_NE(log.text().find("ostssl: tenant id is acme^Jforged\n"), std::string::npos)
      << log.text();
}

TEST_F(OstsslTest, InitOpensslRunsOnce) {
  StartedLog log(0);
  int monitors = 0;
  ostssl::set_net_monitor_factory([&monitors] {
    ++monitors;
    return false;
  });
  ASSERT_EQ(ostssl::init_openssl(), 0);
  const int read_sock = ostssl::connection_pair().read_socket();
  ASSERT_GE(read_sock, 0);
  EXPECT_EQ(ostssl::connection_pair().name(), "connection");
  EXPECT_EQ(monitors, 1);
  EXPECT_EQ(Count(log.text(), "error initializing network monitoring!!!"), 1u);

  // The pair wakes a sleeper.
  ostssl::connection_pair().wakeupserver();
  platform::SocketSet readable;
  readable.add(read_sock);
  EXPECT_EQ(platform::select_sockets(&readable, nullptr, 0), 1);

  // A second start makes nothing again.
  EXPECT_EQ(ostssl::init_openssl(), 0);
  EXPECT_EQ(ostssl::connection_pair().read_socket(), read_sock);
  EXPECT_EQ(monitors, 1);
  EXPECT_EQ(Count(log.text(), "socketpair port number 0"), 1u) << log.text();
  EXPECT_EQ(Count(log.text(), "error initializing network monitoring!!!"), 1u);
}

TEST_F(OstsslTest, InitOpensslWithoutMonitorFactoryMakesNone) {
  StartedLog log(0);
  ASSERT_EQ(ostssl::init_openssl(), 0);
  EXPECT_GE(ostssl::connection_pair().read_socket(), 0);
  EXPECT_EQ(log.text().find("network monitoring"), std::string::npos) << log.text();

  // A factory that works is quiet too.
  ostssl::reset_for_testing();
  bool made = false;
  ostssl::set_net_monitor_factory([&made] { return made = true; });
  ASSERT_EQ(ostssl::init_openssl(), 0);
  EXPECT_TRUE(made);
  EXPECT_EQ(log.text().find("network monitoring"), std::string::npos) << log.text();
}

TEST_F(OstsslTest, ResetForTestingEmptiesTheProcessState) {
  ostssl_listener_recorder listener;
  ostssl::register_listener(&listener);
  ostssl::set_multilink_mode(1);
  ostssl::set_dtls_confirmed(true);
  DefaultInterface wired;
  wired.ifIndex = 3;
  wired.ipAddr = Ip("192.168.1.10").addr();
  ostssl::set_active_interfaces({wired});
  ostssl::ssl_check_and_set_tenant_id("acme");
  ostssl::ssl_con_tbl().insert({Ip("203.0.113.7"), Ip("192.168.1.10")}, Connected(50000));
  ostssl::sslCons().insert({Ip("203.0.113.7"), Ip("192.168.1.10")}, Connected(50000));
  ASSERT_EQ(ostssl::init_openssl(), 0);
  ASSERT_EQ(ostssl::active_interfaces().size(), 1u);
  EXPECT_EQ(ostssl::active_interfaces()[0].ifIndex, 3u);

  ostssl::reset_for_testing();
  EXPECT_EQ(ostssl::registered_listener(), nullptr);
  EXPECT_EQ(ostssl::multilink_mode(), 0);
  EXPECT_FALSE(ostssl::dtls_confirmed());
  EXPECT_TRUE(ostssl::active_interfaces().empty());
  EXPECT_EQ(Std(ostssl::get_tenant_id()), "");
  EXPECT_EQ(ostssl::ssl_con_tbl().size(), 0u);
  EXPECT_EQ(ostssl::sslCons().size(), 0u);
  EXPECT_EQ(ostssl::connection_pair().read_socket(), -1);
  EXPECT_TRUE(listener.calls().empty());
}

}  // namespace
