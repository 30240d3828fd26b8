// The built hub as a process on loopback, with a test client over TLS and
// DTLS: handshakes and refusals, probe answers, the switch to 16-byte headers,
// bad records, the control commands and a clean exit.
#include "tools/testhub/hub.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/support/temp_root.h"
#include "tools/certkit/certkit.h"
#include "tools/testhub/burst.h"
#include "tools/testhub/ctl.h"
#include "tools/testhub/test_client.h"

namespace testhub {
namespace {

using nlohmann::json;

// The built hub as a child process on loopback; stopped (SIGTERM) however
// the test ends. The port comes from its start line.
class HubProcess {
 public:
  // `program` is the built testhub; `config_json` its whole configuration.
  HubProcess(std::string program, std::string config_path, std::string control_path);
  HubProcess(const HubProcess&) = delete;
  HubProcess& operator=(const HubProcess&) = delete;
  ~HubProcess();

  // Writes the configuration and starts the hub (in `netns` when not empty).
  // False with `*error` (its standard error) when it does not come up.
  bool start(const std::string& config_json, std::string* error);
  uint16_t port() const { return port_; }
  bool running() const { return pid_ > 0; }

  // One control command; the answer line, or "" when there is none.
  std::string ctl(const std::string& command) const;

  // SIGTERM and wait; the exit status (-1 when it died by a signal).
  int stop();
  // Waits up to `timeout_ms` for the hub to end by itself; its exit status,
  // or -2 when it is still running.
  int wait_exit(int timeout_ms);

 private:
  std::string program_;
  std::string config_path_;
  std::string control_path_;
  std::string stderr_path_;
  pid_t pid_ = -1;
  uint16_t port_ = 0;
};

HubProcess::HubProcess(std::string program, std::string config_path, std::string control_path)
    : program_(std::move(program)),
      config_path_(std::move(config_path)),
      control_path_(std::move(control_path)),
      stderr_path_(config_path_ + ".stderr") {}

HubProcess::~HubProcess() { stop(); }

bool HubProcess::start(const std::string& config_json, std::string* error) {
  std::ofstream(config_path_) << config_json;
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) {
    *error = "pipe failed";
    return false;
  }
  pid_ = fork();
  if (pid_ == 0) {
    dup2(out[1], 1);
    const int err = open(stderr_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (err >= 0) dup2(err, 2);
    execl(program_.c_str(), program_.c_str(), config_path_.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  close(out[1]);
  std::string line;
  char c;
  pollfd p{out[0], POLLIN, 0};
  while (poll(&p, 1, 10000) > 0 && read(out[0], &c, 1) == 1 && c != '\n') line += c;
  close(out[0]);
  const size_t at = line.rfind(" port ");
  if (at == std::string::npos) {
    std::ifstream in(stderr_path_);
    std::stringstream text;
    text << in.rdbuf();
    *error = text.str();
    stop();
    return false;
  }
  port_ = static_cast<uint16_t>(std::stoi(line.substr(at + 6)));
  return true;
}

std::string HubProcess::ctl(const std::string& command) const {
  std::string answer, error;
  if (!ctl_request(control_path_, command, &answer, &error)) return "";
  return answer;
}

int HubProcess::stop() {
  if (pid_ <= 0) return -1;
  kill(pid_, SIGTERM);
  int status = 0;
  waitpid(pid_, &status, 0);
  pid_ = -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int HubProcess::wait_exit(int timeout_ms) {
  if (pid_ <= 0) return -1;
  for (int waited = 0; waited <= timeout_ms; waited += 20) {
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    usleep(20000);
  }
  return -2;
}

uint32_t addr(const char* text) { return inet_addr(text); }

class HubTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(certkit::MakeCa(dir("ca"), {}, &error)) << error;
    ASSERT_TRUE(certkit::MakeCa(dir("other-ca"), {}, &error)) << error;
    certkit::LeafOptions hub;
    hub.cn = "hub";
    hub.sans = {{certkit::SubjectAltName::Kind::kIp, "127.0.0.1"}};
    ASSERT_TRUE(certkit::MakeLeaf(dir("ca"), dir("hub"), hub, &error)) << error;
    certkit::LeafOptions client;
    client.cn = "client";
    ASSERT_TRUE(certkit::MakeLeaf(dir("ca"), dir("client"), client, &error)) << error;
    ASSERT_TRUE(certkit::MakeLeaf(dir("other-ca"), dir("stranger"), client, &error)) << error;
  }

  // A hub still running must end cleanly: under ASan a leak or an error
  // makes its exit status non-zero.
  void TearDown() override {
    if (!hub_ || !hub_->running()) return;
    EXPECT_EQ(hub_->stop(), 0);
  }

  std::string dir(const std::string& name) const { return root_.path() + "/" + name; }

  json config() const {
    return {{"wanip", "127.0.0.1"},           {"port", 0},
            {"overlay_ip", "10.0.0.1"},       {"cert", dir("hub") + "/cert.pem"},
            {"key", dir("hub") + "/key.pem"}, {"ca", dir("ca") + "/ca.pem"},
            {"control", dir("hub.sock")}};
  }

  // Starts a hub with `extra` keys on top of the base configuration.
  void start(const json& extra = json::object()) {
    json c = config();
    for (const auto& [k, v] : extra.items()) c[k] = v;
    hub_ = std::make_unique<HubProcess>(TESTHUB_PROGRAM, dir("hub.json"), dir("hub.sock"));
    std::string error;
    ASSERT_TRUE(hub_->start(c.dump(), &error)) << error;
  }

  ClientOptions client(bool dtls, const std::string& leaf = "client") const {
    ClientOptions o;
    o.dtls = dtls;
    o.server = "127.0.0.1";
    o.port = hub_->port();
    o.cert = dir(leaf) + "/cert.pem";
    o.key = dir(leaf) + "/key.pem";
    o.overlay = addr("10.0.0.2");
    o.hub_overlay = addr("10.0.0.1");
    return o;
  }

  json stats() const { return json::parse(hub_->ctl("stats")); }

  // `testhub ctl SOCKET words...`; its standard output.
  std::string run_ctl(const std::vector<std::string>& words) const {
    int out[2];
    if (pipe(out) != 0) return "";
    const pid_t pid = fork();
    if (pid == 0) {
      dup2(out[1], 1);
      std::vector<std::string> args = {TESTHUB_PROGRAM, "ctl", dir("hub.sock")};
      args.insert(args.end(), words.begin(), words.end());
      std::vector<char*> argv;
      for (std::string& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(out[1]);
    std::string text;
    char buf[512];
    ssize_t n;
    while ((n = read(out[0], buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
    close(out[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    return text;
  }

  testing_support::TempRoot root_;
  std::unique_ptr<HubProcess> hub_;
};

// Over TLS and DTLS a probe request is answered with the same id, in legacy
// v1 until the client sends a 16-byte header, then in 16-byte v1 headers
// numbered from 1; `stats` counts it all.
TEST_F(HubTest, ProbesAndTheSwitchToSixteenByteHeaders) {
  start();
  for (bool dtls : {false, true}) {
    SCOPED_TRACE(dtls ? "dtls" : "tls");
    TestClient c(client(dtls));
    std::string error;
    ASSERT_TRUE(c.connect(&error)) << error;
    EXPECT_EQ(c.version(), dtls ? "DTLSv1.2" : "TLSv1.3");
    EXPECT_EQ(c.cipher(), dtls ? "ECDHE-RSA-AES256-GCM-SHA384" : "TLS_AES_256_GCM_SHA384");

    OverlayHeader h;
    OstrelOverlayStateMsg msg;
    ASSERT_TRUE(c.send_probe(7, 4242, HeaderKind::kLegacy));
    ASSERT_TRUE(c.wait_control(8, &h, &msg));
    EXPECT_EQ(msg.osm_probemsg().seqnum(), 4242u);
    EXPECT_EQ(h.kind, HeaderKind::kLegacy);
    EXPECT_EQ(h.version, 1);

    ASSERT_TRUE(c.send_probe(12, 77, HeaderKind::kFull));
    ASSERT_TRUE(c.wait_control(13, &h, &msg));
    EXPECT_EQ(msg.osm_probemsg().seqnum(), 77u);
    EXPECT_EQ(h.kind, HeaderKind::kFull);
    EXPECT_EQ(h.version, 1);
    EXPECT_TRUE(h.has_sequence);
    EXPECT_EQ(c.first_full_sequence(), 1u);
    const uint32_t first = h.sequence;

    ASSERT_TRUE(c.send_probe(9, 5, HeaderKind::kFull));
    ASSERT_TRUE(c.wait_control(10, &h, &msg));
    EXPECT_GT(h.sequence, first);

    const json s = stats();
    ASSERT_EQ(s["connections"].size(), 1u) << s.dump();
    const json& conn = s["connections"][0];
    EXPECT_EQ(conn["protocol"], dtls ? "dtls" : "tls");
    EXPECT_EQ(conn["cipher"], c.cipher());
    EXPECT_EQ(conn["client"], "10.0.0.2");
    EXPECT_EQ(conn["rx_header"], "16");
    EXPECT_EQ(conn["tx_header"], "16");
    EXPECT_EQ(conn["rx_kinds"], json({{"7", 1}, {"9", 1}, {"12", 1}}));
    EXPECT_EQ(conn["tx_kinds"]["8"], 1);
    EXPECT_EQ(conn["tx_kinds"]["10"], 1);
    EXPECT_EQ(conn["tx_kinds"]["13"], 1);
    EXPECT_GE(conn["tx_kinds"]["5"], 1) << "the first state-sync goes out at once";
  }
  EXPECT_EQ(stats()["handshakes"], 2);
  EXPECT_EQ(hub_->stop(), 0);
}

// The state-sync message each client gets, and `hdrver` for negative tests.
TEST_F(HubTest, StateSyncAndHeaderVersion) {
  start();
  TestClient c(client(false));
  std::string error;
  ASSERT_TRUE(c.connect(&error)) << error;
  ASSERT_TRUE(c.send_probe(7, 1, HeaderKind::kLegacy));
  OverlayHeader h;
  OstrelOverlayStateMsg msg;
  ASSERT_TRUE(c.wait_control(5, &h, &msg));
  ASSERT_TRUE(msg.has_osm_syncstatemsg());
  EXPECT_EQ(msg.osm_syncstatemsg().wep_version(), 0u);
  EXPECT_TRUE(msg.osm_syncstatemsg().has_rm_version());
  EXPECT_TRUE(msg.osm_syncstatemsg().has_am_version());

  EXPECT_EQ(hub_->ctl("hdrver 0"), R"({"ok":true})");
  ASSERT_TRUE(c.send_probe(7, 2, HeaderKind::kLegacy));
  ASSERT_TRUE(c.wait_control(8, &h, &msg));
  EXPECT_EQ(h.version, 0);
  EXPECT_EQ(hub_->ctl("hdrver 2"), R"({"ok":true})");
  ASSERT_TRUE(c.send_probe(7, 3, HeaderKind::kFull));
  ASSERT_TRUE(c.wait_control(8, &h, &msg));
  EXPECT_EQ(h.kind, HeaderKind::kFull);
  EXPECT_EQ(h.version, 2);
  EXPECT_NE(hub_->ctl("hdrver 3").find("unknown command"), std::string::npos);
}

// Bad records are dropped by reason and the connection goes on.
TEST_F(HubTest, BadRecordsAreCountedByReason) {
  start();
  TestClient c(client(false));
  std::string error;
  ASSERT_TRUE(c.connect(&error)) << error;
  const std::vector<uint8_t> short_record = {0x45, 0, 0};
  ASSERT_TRUE(c.send_record(short_record.data(), short_record.size()));
  OstrelOverlayStateMsg bad_kind;
  bad_kind.set_osm_type(6);
  std::vector<uint8_t> packet(kControlHeaderLength + bad_kind.ByteSizeLong());
  write_control_packet(packet.data(), packet.size(), bad_kind, 0, addr("10.0.0.2"),
                       addr("10.0.0.1"));
  EncapParams p;
  p.control = true;
  ASSERT_TRUE(c.send_packet(packet, p));
  packet[kControlHeaderLength + 1] = 0xff;  // a varint that never ends
  ASSERT_TRUE(c.send_packet(packet, p));
  ASSERT_TRUE(c.send_probe(7, 9, HeaderKind::kLegacy));
  OverlayHeader h;
  OstrelOverlayStateMsg msg;
  ASSERT_TRUE(c.wait_control(8, &h, &msg));
  const json drops = stats()["totals"]["drops"];
  EXPECT_EQ(drops, json({{"short_outer", 1}, {"unknown_kind", 1}, {"parse_failed", 1}}));
}

// A client certificate is required and must chain to "ca".
TEST_F(HubTest, RefusesClientsWithoutAGoodCertificate) {
  start();
  for (bool dtls : {false, true}) {
    SCOPED_TRACE(dtls ? "dtls" : "tls");
    std::string error;
    TestClient stranger(client(dtls, "stranger"));
    EXPECT_FALSE(stranger.connect(&error, 2000));
    ClientOptions none = client(dtls);
    none.cert.clear();
    TestClient anonymous(none);
    EXPECT_FALSE(anonymous.connect(&error, 2000));
  }
  EXPECT_EQ(stats()["handshakes"], 0);
  EXPECT_GE(stats()["handshake_failures"], 4);
}

// `listen off` refuses new clients while connected ones stay; `listen on`
// takes them again; `close` drops everyone; `quit` ends the hub and removes
// its socket.
TEST_F(HubTest, ControlCommands) {
  start();
  TestClient first(client(false));
  std::string error;
  ASSERT_TRUE(first.connect(&error)) << error;
  // `testhub ctl` is the same line through the program.
  EXPECT_EQ(run_ctl({"listen", "off"}), "{\"ok\":true}\n");
  EXPECT_FALSE(stats()["listening"]);
  for (bool dtls : {false, true}) {
    TestClient refused(client(dtls));
    EXPECT_FALSE(refused.connect(&error, 1000)) << dtls;
  }
  ASSERT_TRUE(first.send_probe(7, 1, HeaderKind::kLegacy));
  OverlayHeader h;
  OstrelOverlayStateMsg msg;
  EXPECT_TRUE(first.wait_control(8, &h, &msg));
  EXPECT_EQ(hub_->ctl("listen on"), R"({"ok":true})");
  for (bool dtls : {false, true}) {
    TestClient again(client(dtls));
    EXPECT_TRUE(again.connect(&error)) << error;
  }
  EXPECT_EQ(hub_->ctl("close"), R"({"closed":1,"ok":true})");
  std::vector<uint8_t> record;
  // What was sent before the close (the state-sync) may still be read; then
  // the connection ends.
  int records = 0;
  while (records < 5 && first.receive(&record, 1000)) ++records;
  EXPECT_LT(records, 5);
  EXPECT_TRUE(stats()["connections"].empty());
  EXPECT_NE(hub_->ctl(std::string(300, 'x')).find("longer than 256"), std::string::npos);
  EXPECT_EQ(hub_->ctl("quit"), R"({"ok":true})");
  EXPECT_EQ(hub_->wait_exit(5000), 0);
  struct stat st {};
  EXPECT_NE(lstat(dir("hub.sock").c_str(), &st), 0);
}

// Address requests (kind 17) get a lease from the pool with the hub's own
// answer numbering, renewals keep it, `amcode 3` asks for a refresh and the
// next request gets another address; a route (kind 11) names the client's
// address; the state-sync echoes the versions taken.
TEST_F(HubTest, LeasesRoutesAndAddressCodes) {
  start({{"vip_pool", "100.64.1.20"},
         {"vip_pool_size", 2},
         {"lease_s", 60},
         {"nameservers", "10.0.0.53"},
         {"domain_list", "corp.example \"x\""}});
  TestClient c(client(false));
  std::string error;
  ASSERT_TRUE(c.connect(&error)) << error;
  auto request = [&](uint32_t version, uint32_t type) {
    OstrelOverlayStateMsg m;
    m.set_osm_type(17);
    AddrMgmtMsg* a = m.mutable_osm_addrmgmtmsg();
    a->set_amm_version(version);
    a->set_amm_msg_type(type);
    a->set_amm_site_id("site");
    return c.send_control(m);
  };
  OverlayHeader h;
  OstrelOverlayStateMsg msg;
  ASSERT_TRUE(request(1, 1));
  ASSERT_TRUE(c.wait_control(17, &h, &msg));
  const AddrMgmtMsg& first = msg.osm_addrmgmtmsg();
  EXPECT_EQ(first.amm_version(), 1u);
  EXPECT_EQ(first.amm_ret_code(), 1u);
  EXPECT_EQ(first.amm_ipv4_addr(), addr("100.64.1.20"));
  EXPECT_EQ(first.amm_ipv4_mask(), 0xffffffffu);
  EXPECT_EQ(first.amm_lifetime(), 60u);
  EXPECT_EQ(first.amm_nameservers(), "10.0.0.53");
  EXPECT_EQ(first.amm_domain_list(), "corp.example \"x\"");

  ASSERT_TRUE(request(2, 5));
  ASSERT_TRUE(c.wait_control(17, &h, &msg));
  EXPECT_EQ(msg.osm_addrmgmtmsg().amm_version(), 2u);
  EXPECT_EQ(msg.osm_addrmgmtmsg().amm_ipv4_addr(), addr("100.64.1.20"));

  EXPECT_EQ(hub_->ctl("amcode 3"), R"({"clients":1,"ok":true})");
  ASSERT_TRUE(c.wait_control(17, &h, &msg));
  EXPECT_EQ(msg.osm_addrmgmtmsg().amm_ret_code(), 3u);
  EXPECT_FALSE(msg.osm_addrmgmtmsg().has_amm_ipv4_addr());
  ASSERT_TRUE(request(3, 1));
  ASSERT_TRUE(c.wait_control(17, &h, &msg));
  EXPECT_EQ(msg.osm_addrmgmtmsg().amm_ipv4_addr(), addr("100.64.1.21"));

  OstrelOverlayStateMsg route;
  route.set_osm_type(11);
  RouteMsg* rm = route.mutable_osm_routemsg();
  rm->set_rm_version(4);
  Route* r = rm->add_route();
  r->set_ip(addr("100.64.1.21"));
  r->set_netmask(32);
  r->set_gw(addr("10.0.0.2"));
  ASSERT_TRUE(c.send_control(route));
  json s;
  for (int i = 0; i < 50; ++i) {
    s = stats();
    if (!s["clients"].empty() && s["clients"][0]["routes_learned"] == 1) break;
    usleep(20000);
  }
  ASSERT_EQ(s["clients"].size(), 1u) << s.dump();
  const json& cl = s["clients"][0];
  EXPECT_EQ(cl["vip"], "100.64.1.21");
  EXPECT_EQ(cl["vip_source"], "lease");  // the route names the address it leased
  EXPECT_EQ(cl["am_types"], json({{"1", 2}, {"5", 1}}));
  EXPECT_EQ(cl["am_seen"], 3);
  EXPECT_EQ(cl["rm_seen"], 4);
  EXPECT_NE(hub_->ctl("amcode 4").find("unknown command"), std::string::npos);
}

// Reads kind-3 lists until one with `version` arrives; false on time-out.
bool WaitWanState(TestClient& c, uint32_t version, WanLinkStateMsg* out) {
  OverlayHeader h;
  OstrelOverlayStateMsg msg;
  while (c.wait_control(3, &h, &msg)) {
    if (msg.osm_wlsmsg().wls_version() != version) continue;
    *out = msg.osm_wlsmsg();
    return true;
  }
  return false;
}

// The hub's end of each path: its endpoint message (path id, MTU, loss from
// the config, the client's address as seen) on attach and whenever the
// client's sync asks; the WAN state list of every connection on each change
// and `wan down|up`; the versions it took echoed in its sync; user-auth
// messages counted with the token's length only, and `ua state|ack`.
TEST_F(HubTest, EndpointWanStateAndUserAuth) {
  start({{"ods_rxloss_delayed", 2.5}, {"ods_rxloss_instant", 7}});
  TestClient first(client(false));
  std::string error;
  ASSERT_TRUE(first.connect(&error)) << error;
  ASSERT_TRUE(first.send_probe(7, 1, HeaderKind::kFull));  // attaches it to 10.0.0.2
  OverlayHeader h;
  OstrelOverlayStateMsg msg;
  ASSERT_TRUE(first.wait_control(4, &h, &msg));
  ASSERT_EQ(msg.osm_endptmsg().wep_list_size(), 1);
  const WanEndPtDescMsg endpoint = msg.osm_endptmsg().wep_list(0);
  EXPECT_EQ(msg.osm_endptmsg().wep_version(), 1u);
  EXPECT_EQ(endpoint.wep_my_mtu(), 1300u);
  EXPECT_EQ(endpoint.wep_ods().ods_rxloss_delayed(), 2.5);
  EXPECT_EQ(endpoint.wep_ods().ods_rxloss_instant(), 7);
  EXPECT_EQ(endpoint.wep_remote_nat_ipv4(), addr("127.0.0.1"));
  json s = stats();
  ASSERT_EQ(s["connections"].size(), 1u);
  const uint32_t first_path = s["connections"][0]["pathid"];
  EXPECT_NE(first_path, 0u);
  EXPECT_EQ(endpoint.wep_my_pathid(), first_path);
  WanLinkStateMsg wls;
  ASSERT_TRUE(WaitWanState(first, 1, &wls));
  ASSERT_EQ(wls.wls_list_size(), 1);
  EXPECT_EQ(wls.wls_list(0).wls_ipv4(), addr("127.0.0.1"));
  EXPECT_THAT(wls.wls_list(0).wls_pathid(), testing::ElementsAre(first_path));
  EXPECT_EQ(wls.wls_list(0).wls_state(), 1u);

  // A second path of the same client: both hear of both.
  auto second = std::make_unique<TestClient>(client(true));
  ASSERT_TRUE(second->connect(&error)) << error;
  ASSERT_TRUE(second->send_probe(7, 2, HeaderKind::kFull));
  ASSERT_TRUE(second->wait_control(4, &h, &msg));
  const uint32_t second_path = msg.osm_endptmsg().wep_list(0).wep_my_pathid();
  EXPECT_NE(second_path, first_path);
  ASSERT_TRUE(WaitWanState(*second, 2, &wls));
  ASSERT_TRUE(WaitWanState(first, 2, &wls));
  ASSERT_EQ(wls.wls_list_size(), 2);
  EXPECT_THAT(wls.wls_list(1).wls_pathid(), testing::ElementsAre(second_path));

  EXPECT_EQ(hub_->ctl("wan down " + std::to_string(first_path)), R"({"ok":true})");
  ASSERT_TRUE(WaitWanState(first, 3, &wls));
  EXPECT_EQ(wls.wls_list(0).wls_state(), 0u);
  EXPECT_EQ(wls.wls_list(1).wls_state(), 1u);
  EXPECT_EQ(hub_->ctl("wan down " + std::to_string(first_path)), R"({"ok":true})");
  EXPECT_EQ(hub_->ctl("wan up " + std::to_string(first_path)), R"({"ok":true})");
  ASSERT_TRUE(WaitWanState(first, 4, &wls)) << "an unchanged state sends nothing";
  EXPECT_EQ(wls.wls_list(0).wls_state(), 1u);
  EXPECT_TRUE(stats()["connections"][0]["wan_up"]);
  EXPECT_NE(hub_->ctl("wan down 4242").find("no connection"), std::string::npos);
  EXPECT_NE(hub_->ctl("wan down x").find("error"), std::string::npos);

  // The client's sync: 0 (or another version) asks for the endpoint again,
  // the hub's own version does not.
  const auto send_sync = [&](uint32_t wep) {
    OstrelOverlayStateMsg m;
    m.set_osm_type(5);
    m.mutable_osm_syncstatemsg()->set_wep_version(wep);
    m.mutable_osm_syncstatemsg()->set_wls_version(4);
    m.mutable_osm_syncstatemsg()->set_ua_version(0);
    return first.send_control(m);
  };
  ASSERT_TRUE(send_sync(0));
  ASSERT_TRUE(first.wait_control(4, &h, &msg));
  EXPECT_EQ(msg.osm_endptmsg().wep_list(0).wep_my_pathid(), first_path);
  ASSERT_TRUE(send_sync(1));
  ASSERT_TRUE(first.send_probe(7, 3, HeaderKind::kFull));
  ASSERT_TRUE(first.wait_control(8, &h, &msg));
  s = stats();
  EXPECT_EQ(s["connections"][0]["tx_kinds"]["4"], 2);
  EXPECT_EQ(s["clients"][0]["sync"], json({{"wep", 1}, {"wls", 4}, {"ua", 0}}));

  // What the client sends is taken, echoed in the hub's next sync, and the
  // token is only measured.
  OstrelOverlayStateMsg mine;
  mine.set_osm_type(4);
  mine.mutable_osm_endptmsg()->set_wep_version(6);
  mine.mutable_osm_endptmsg()->add_wep_list()->set_wep_my_pathid(1);
  ASSERT_TRUE(first.send_control(mine));
  mine.Clear();
  mine.set_osm_type(3);
  mine.mutable_osm_wlsmsg()->set_wls_version(5);
  ASSERT_TRUE(first.send_control(mine));
  const std::string token(1500, 'J');
  mine.Clear();
  mine.set_osm_type(14);
  mine.mutable_osm_userauthmsg()->set_uam_version(3);
  mine.mutable_osm_userauthmsg()->set_uam_jwt(token);
  ASSERT_TRUE(first.send_control(mine));
  bool echoed = false;
  for (int i = 0; i < 3 && !echoed; ++i) {
    ASSERT_TRUE(first.wait_control(5, &h, &msg, 6000));
    const SyncStateMsg& sync = msg.osm_syncstatemsg();
    echoed = sync.wep_version() == 6 && sync.wls_version() == 5 && sync.ua_version() == 3;
  }
  EXPECT_TRUE(echoed) << msg.DebugString();
  s = stats();
  EXPECT_EQ(s["clients"][0]["ua_jwt_length"], 1500);
  EXPECT_EQ(s["totals"]["rx_kinds"]["14"], 1);
  EXPECT_EQ(s.dump().find(token), std::string::npos);

  EXPECT_EQ(hub_->ctl("ua state 3"), R"({"clients":1,"ok":true})");
  ASSERT_TRUE(first.wait_control(14, &h, &msg) || second->wait_control(14, &h, &msg));
  EXPECT_EQ(msg.osm_userauthmsg().uam_auth_state(), 3u);
  EXPECT_EQ(msg.osm_userauthmsg().uam_version(), 1u);
  EXPECT_FALSE(msg.osm_userauthmsg().has_uam_authack());
  EXPECT_EQ(hub_->ctl("ua ack"), R"({"clients":1,"ok":true})");
  ASSERT_TRUE(first.wait_control(14, &h, &msg) || second->wait_control(14, &h, &msg));
  EXPECT_TRUE(msg.osm_userauthmsg().uam_authack());
  EXPECT_FALSE(msg.osm_userauthmsg().has_uam_auth_state());
  EXPECT_EQ(msg.osm_userauthmsg().uam_version(), 2u);
  EXPECT_NE(hub_->ctl("ua state -1").find("error"), std::string::npos);

  // A path that goes leaves the list.
  second.reset();
  ASSERT_TRUE(WaitWanState(first, 5, &wls));
  ASSERT_EQ(wls.wls_list_size(), 1);
  EXPECT_THAT(wls.wls_list(0).wls_pathid(), testing::ElementsAre(first_path));
}

// Start-up: a misspelt key is named; a socket a dead hub left is replaced.
TEST_F(HubTest, StartUp) {
  hub_ = std::make_unique<HubProcess>(TESTHUB_PROGRAM, dir("hub.json"), dir("hub.sock"));
  json c = config();
  c["packets_per_recrod"] = 2;
  std::string error;
  EXPECT_FALSE(hub_->start(c.dump(), &error));
  EXPECT_EQ(error, "testhub: unknown key \"packets_per_recrod\"\n");

  const int stale = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un sa{};
  sa.sun_family = AF_UNIX;
  std::snprintf(sa.sun_path, sizeof sa.sun_path, "%s", dir("hub.sock").c_str());
  ASSERT_EQ(bind(stale, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
  close(stale);
  start();
  EXPECT_EQ(stats()["handshakes"], 0);
  EXPECT_EQ(hub_->stop(), 0);
}

// With "packets_per_record" the hub gathers that many packets in one TLS record.
TEST_F(HubTest, PacketsPerRecord) {
  start({{"packets_per_record", 2}});
  TestClient c(client(false));
  std::string error;
  ASSERT_TRUE(c.connect(&error)) << error;
  ASSERT_TRUE(c.send_probe(7, 1, HeaderKind::kLegacy));
  // The state-sync and the answer leave together.
  std::vector<uint8_t> record;
  ASSERT_TRUE(c.receive(&record, 5000));
  Decoded d;
  ASSERT_EQ(decode_packet(record.data(), record.size(), &d), Drop::kNone);
  EXPECT_GT(record.size(), d.consumed);
  ASSERT_EQ(decode_packet(record.data() + d.consumed, record.size() - d.consumed, &d), Drop::kNone);
}

// `burst N`: packets 0 to N-1 of burst.h, 1 + r % 8 per TLS record r and
// one per DTLS datagram; a count out of range is refused.
TEST_F(HubTest, BurstSendsNumberedPackets) {
  start();
  EXPECT_NE(hub_->ctl("burst 0").find("error"), std::string::npos);
  EXPECT_NE(hub_->ctl("burst 1000001").find("error"), std::string::npos);
  EXPECT_NE(hub_->ctl("burst 5x").find("error"), std::string::npos);
  for (bool dtls : {false, true}) {
    SCOPED_TRACE(dtls ? "dtls" : "tls");
    TestClient c(client(dtls));
    std::string error;
    ASSERT_TRUE(c.connect(&error)) << error;
    int started = 0;
    for (int i = 0; i < 100 && started == 0; ++i) {
      started = json::parse(hub_->ctl("burst 30")).value("connections", 0);
      if (started == 0) usleep(20000);
    }
    ASSERT_EQ(started, 1);
    uint32_t next = 0, record_index = 0;
    uint8_t want[kBurstPacketMax];
    while (next < 30) {
      std::vector<uint8_t> record;
      ASSERT_TRUE(c.receive(&record, 5000)) << "after packet " << next;
      size_t at = 0;
      uint32_t in_record = 0;
      while (at < record.size()) {
        const size_t length = burst_packet(next, want);
        ASSERT_LE(at + length, record.size());
        ASSERT_EQ(std::vector<uint8_t>(record.begin() + at, record.begin() + at + length),
                  std::vector<uint8_t>(want, want + length))
            << "packet " << next;
        at += length;
        ++next;
        ++in_record;
      }
      EXPECT_EQ(
          in_record,
          dtls ? 1u : std::min(burst_packets_in_record(record_index), 30 - (next - in_record)));
      ++record_index;
    }
  }
}

// "keepalive_requests": a kind-12 request 5 s after the handshake, whose
// answer is counted; "close_after_s": the hub drops the connection itself.
TEST_F(HubTest, KeepaliveRequestsAndCloseAfter) {
  start({{"keepalive_requests", true}, {"close_after_s", 7}});
  TestClient c(client(false));
  std::string error;
  ASSERT_TRUE(c.connect(&error)) << error;
  ASSERT_TRUE(c.send_probe(3, 0, HeaderKind::kLegacy));  // makes it a client
  OverlayHeader h;
  OstrelOverlayStateMsg msg;
  ASSERT_TRUE(c.wait_control(12, &h, &msg, 7000));
  ASSERT_TRUE(c.send_probe(13, msg.osm_probemsg().seqnum(), HeaderKind::kLegacy));
  std::vector<uint8_t> record;
  int records = 0;
  while (records < 10 && c.receive(&record, 4000)) ++records;
  EXPECT_LT(records, 10) << "the hub closed the connection";
  const json totals = stats()["totals"];
  EXPECT_EQ(totals["rx_kinds"], json({{"3", 1}, {"13", 1}}));
  EXPECT_EQ(totals["tx_kinds"]["12"], 1);
  EXPECT_TRUE(stats()["connections"].empty());
}

}  // namespace
}  // namespace testhub
