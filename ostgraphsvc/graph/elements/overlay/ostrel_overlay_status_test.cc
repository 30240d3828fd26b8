// The overlay's status: the path listing, the path-statistics page as
// another process reads it from the file, the fail-close verdict of every
// listing, and the read handlers.
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include "graph/json.h"
#include "ostgraphsvc/failclose/fail_close_mgr.h"
#include "ostgraphsvc/graph/elements/hfsc/hfsc_sched.h"
#include "ostgraphsvc/graph/elements/overlay/ostrel_overlay_test_support.h"
#include "platform/shared_page/shared_page.h"

namespace overlay_test {
namespace {

constexpr char kPage[] = "Global\\shmgraphpathstats";

std::string ReadPage() {
  std::ifstream in(platform::SharedPage::page_path(kPage), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

uint32_t PageLength(const std::string& page) {
  const auto* b = reinterpret_cast<const unsigned char*>(page.data());
  return b[0] | (b[1] << 8) | (b[2] << 16) | (static_cast<uint32_t>(b[3]) << 24);
}

// The text a reader takes: from offset 4 up to the first NUL.
std::string PageText(const std::string& page) { return std::string(page.c_str() + 4); }

class OverlayStatusTest : public OverlayFixture {
 protected:
  OverlayStatusTest() {
    FailCloseMgr::GetInstance().Initialize();
    FailCloseMgr::GetInstance().ReplaceConfigured(true);
  }
  ~OverlayStatusTest() override { FailCloseMgr::GetInstance().ReplaceConfigured(false); }

  void SetUp() override {
    ASSERT_TRUE(Load(kTwoHubs));
    transport_.established = true;
  }

  // A path of `peer` to the remote WAN address `remote`.
  std::shared_ptr<OverlayDescriptor> Path(const char* peer, uint32_t id, const char* remote,
                                          const char* hub_role = "") {
    OverlayPathSetup s;
    s.local_path_id = id;
    s.peer_overlay = Ip(peer);
    s.mtu = 1400;
    s.remote_wan = Ip(remote);
    s.local_wan = Ip("198.51.100.10");
    s.remote_port = 443;
    s.protocol = 1;
    s.hub_role = String(hub_role);
    s.local_overlay = ov_->own_address();
    auto od = ov_->insert_path(std::make_shared<OverlayDescriptor>(s));
    std::lock_guard<std::recursive_mutex> hold(ov_->overlay_lock());
    ov_->get_opd(Ip(peer))->paths.push_back(od);
    return od;
  }
};

TEST_F(OverlayStatusTest, NoEstablishedPathWritesAnEmptyArrayAndPutsFailCloseInForce) {
  Path("10.20.0.1", 7, "192.0.2.1");
  transport_.established = false;
  FailCloseMgr::GetInstance().UpdateFailCloseEnabledStatus(false);
  ASSERT_FALSE(FailCloseMgr::GetInstance().IsEffective());

  ov_->update_shm_path_stats();
  const std::string page = ReadPage();
  ASSERT_EQ(page.size(), 4096u);
  EXPECT_EQ(PageLength(page), 2u);
  EXPECT_EQ(PageText(page), "[]");
  EXPECT_EQ(page[4095], '\0');
  EXPECT_TRUE(FailCloseMgr::GetInstance().IsEffective());
  EXPECT_NE(log_.text().find("PATH_COUNT: 0. Connected Hubs(i:"), std::string::npos);
}

TEST_F(OverlayStatusTest, ListsEstablishedPathsOnlyWithEveryMemberInOrder) {
  auto a = Path("10.20.0.1", 11, "192.0.2.1", "Primary");
  Path("10.20.0.1", 12, "192.0.2.5");
  Path("10.20.0.1", 13, "192.0.2.9");  // still connecting
  transport_.connecting.insert({Ip("192.0.2.9").addr(), Ip("198.51.100.10").addr()});
  a->remote_path_id = 77;
  a->tx_packets = 5;
  a->tx_bytes = 500;
  a->rx_packets = 6;
  a->rx_bytes = 600;
  a->delayed_rx_loss = 2.5;   // halves away from zero
  a->delayed_tx_loss = -1.0;  // never below 0
  a->latency = 12;
  a->jitter = 3;
  a->peer_mtu = 1300;
  a->public_address = Ip("203.0.113.4");
  {
    std::lock_guard<std::recursive_mutex> hold(ov_->overlay_lock());
    OverlayPeerDescriptor* opd = ov_->get_opd(Ip("10.20.0.1"));
    opd->mtu = 1380;
    opd->user_auth_state = 2;
  }

  ov_->update_shm_path_stats();
  const std::string text = PageText(ReadPage());
  const Json doc = Json::parse(String(text.c_str()));
  ASSERT_EQ(doc.type(), Json::kArray);
  ASSERT_EQ(doc.size(), 2);
  const std::string first = doc.get("0").to_text().c_str();
  EXPECT_EQ(first,
            "{\"dsps_overlay_ip\":\"10.20.0.1\",\"dsps_lpathid\":11,\"dsps_rpathid\":77,"
            "\"dsps_local_up\":true,\"dsps_remote_up\":true,\"dsps_local_ip\":\"198.51.100.10\","
            "\"dsps_remote_ip\":\"192.0.2.1\",\"dsps_public_ip\":\"203.0.113.4\","
            "\"dsps_latency\":12,\"dsps_rxloss\":3,\"dsps_txloss\":0,\"dsps_jitter\":3,"
            "\"dsps_txpkts\":5,\"dsps_txbytes\":500,\"dsps_rxpkts\":6,\"dsps_rxbytes\":600,"
            "\"dsps_mtu\":1300,\"dsps_peermtu\":1380,\"dsps_userauthstate\":2,"
            "\"dsps_tunnel_type\":\"dtls\",\"dsps_proxy\":false,\"dsps_role\":\"SPOKE|DC|\","
            "\"dsps_role_encoded\":5}");
  EXPECT_EQ(doc.get("1").get("dsps_lpathid").to_int(), 12);
  EXPECT_NE(log_.text().find("PATH_COUNT: 2. Connected Hubs(i:0) ::192.0.2.1(dtls,p)"
                             ":192.0.2.5(dtls,?). vip(d): Not Configured"),
            std::string::npos);
  EXPECT_FALSE(FailCloseMgr::GetInstance().IsEffective());
}

TEST_F(OverlayStatusTest, PageCutsLongTextKeepsFullLengthAndShorterTextLeavesTheTail) {
  for (uint32_t id = 1; id <= 9; ++id) {
    const std::string remote = "192.0.2." + std::to_string(id);
    Path("10.20.0.1", id, remote.c_str());
  }
  const std::string full = ov_->list_overlays().c_str();
  ASSERT_GT(full.size(), 4090u);

  ov_->update_shm_path_stats();
  std::string page = ReadPage();
  EXPECT_EQ(PageLength(page), full.size());
  EXPECT_EQ(page.substr(4, 4090), full.substr(0, 4090));
  EXPECT_EQ(page[4094], '\0');
  EXPECT_EQ(page[4095], '\0');

  transport_.established = false;
  ov_->update_shm_path_stats();
  page = ReadPage();
  EXPECT_EQ(PageLength(page), 2u);
  EXPECT_EQ(PageText(page), "[]");
  EXPECT_EQ(page.substr(7, 100), full.substr(3, 100));  // the old tail behind the NUL
}

// The graph loads after the link is planted: its start-up refresh meets it.
class PlantedPageTest : public OverlayStatusTest {
 protected:
  void SetUp() override {}
};

TEST_F(PlantedPageTest, PageThatCannotBeMadeIsLoggedAndTriedAgain) {
  const std::string path = platform::SharedPage::page_path(kPage);
  const std::string dir = path.substr(0, path.rfind('/'));
  ASSERT_EQ(system(("mkdir -p '" + dir + "'").c_str()), 0);
  const std::string target = dir + "/elsewhere";
  std::ofstream(target) << "keep";
  ASSERT_EQ(symlink(target.c_str(), path.c_str()), 0);

  ASSERT_TRUE(Load(kTwoHubs));
  EXPECT_NE(log_.text().find("OstOverlay: unable to create pathstats Shm failed, error:"),
            std::string::npos);
  std::ifstream in(target);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()),
            "keep");

  ASSERT_EQ(unlink(path.c_str()), 0);
  ov_->update_shm_path_stats();
  EXPECT_EQ(PageText(ReadPage()), "[]");
}

TEST_F(OverlayStatusTest, ReadHandlers) {
  auto a = Path("10.20.0.1", 21, "192.0.2.1");
  a->tx_packets = 4;
  a->tx_bytes = 400;
  a->tx_class_bytes[0] = 10;  // class 1: high
  a->tx_class_bytes[2] = 30;  // class 3: low
  a->tx_control_bytes = 7;
  a->rx_packets = 1;
  a->rx_bytes = 60;

  const std::string rule(74, '=');
  const std::string qoe = h_.Read("ov", "show_qoe");
  EXPECT_EQ(qoe, rule + "\r\nOverlay IP: 10.20.0.1\r\nOVERLAY DETAILS - TEMP EMPTY" + rule +
                     "\r\n\r\n" + rule + "\r\nOverlay IP: 10.20.0.2\r\n" + rule + "\r\n\r\n");
  EXPECT_EQ(h_.Read("ov", "show_qoe_cfg"), qoe);

  EXPECT_EQ(h_.Read("ov", "show_path_stats"),
            "[{\"overlay_ip\":\"10.20.0.1\",\"lpathid\":21,\"rpathid\":0,"
            "\"tx_stats\":{\"packets\":4,\"bytes\":400,\"bytes_low\":30,\"bytes_normal\":0,"
            "\"bytes_high\":10,\"bytes_ctrl\":7},"
            "\"rx_stats\":{\"packets\":1,\"bytes\":60,\"bytes_low\":0,\"bytes_normal\":0,"
            "\"bytes_high\":0,\"bytes_ctrl\":0}}]");
  EXPECT_EQ(h_.Read("ov", "show_schedq_stats"), "[]");
  EXPECT_EQ(Json::parse(String(h_.Read("ov", "show_overlays").c_str())).size(), 1);
  EXPECT_EQ(Json::parse(String(h_.Read("ov", "show_dibs_json").c_str())).size(), 3);
  EXPECT_NE(h_.Read("ov", "show_nht").find("10.20.0.1"), std::string::npos);
  EXPECT_NE(h_.Read("ov", "show_overlay_state_sync").find("OVERLAYIP: 10.20.0.1"),
            std::string::npos);
  EXPECT_EQ(get_overlay_element(ov_), ov_);
}

// Queue statistics: one object per scheduler, one per class that the
// scheduler holds for (priority, subclass), named subclass-priority.
class SchedqStatsTest : public OverlayStatusTest {
 protected:
  void SetUp() override {}

  // Class 14 for every original and the scheduler's leaf 20, whose
  // `sub_leaves` sub-leaves 21.. fill the slots from slot 5 (high voice).
  bool LoadScheduler(int sub_leaves) {
    std::string subs;
    for (int k = 1; k <= sub_leaves; ++k) {
      if (k > 1) subs += ",";
      subs += R"({"name":"s)" + std::to_string(k) + R"(","qid":)" + std::to_string(k) +
              R"(,"share":0.05})";
    }
    const std::string tree =
        WriteConf(R"({"name":"root","qid":1,"share":1.0,"node":[{"name":"wan","qid":7,"node":[)"
                  R"({"name":"own","qid":13,"share":0.5,"rate":0.5},)"
                  R"({"name":"slots","qid":19,"share":0.5,"node":[)" +
                      subs + "]}]}]}",
                  "tree.json");
    const std::string graph = "src :: TestSource; sink :: TestSink; sh :: HFSCSched(CONF " + tree +
                              ", INTERFACE wan0, MODE GW); src -> sh -> [0]sink; "
                              "ov :: OstrelOverlay(CONF " +
                              WriteConf(kTwoHubs) +
                              "); osrc :: TestSource; osrc -> [0]ov; ov[0] -> [1]sink; "
                              "ov[1] -> [1]sink; ov[2] -> [1]sink; ov[3] -> [1]sink;";
    if (!h_.Load(graph)) return false;
    sh_ = static_cast<HFSCSched*>(h_.Find("sh"));
    return sh_ != nullptr;
  }

  Json Stats() { return Json::parse(String(h_.Read("ov", "show_schedq_stats").c_str())); }

  static std::string Counters(const Json& q) {
    std::string text;
    for (const char* key : {"pkt_cnt_enqueue", "pkt_cnt_dequeue", "pkt_cnt_drops", "bytes_enqueue",
                            "bytes_dequeue", "bytes_drops"}) {
      text += (text.empty() ? "" : ",") + std::to_string(q.get(key).to_int());
    }
    return text;
  }

  HFSCSched* sh_ = nullptr;
};

TEST_F(SchedqStatsTest, OneEntryPerSchedulerClass) {
  // Two sub-leaves fill slots 5 and 6: high voice and high video.
  ASSERT_TRUE(LoadScheduler(2)) << h_.messages();
  const Json doc = Stats();
  ASSERT_EQ(doc.size(), 1);
  EXPECT_EQ(doc.get("0").get("interface").text(), String("wan0"));
  const Json& queues = doc.get("0").get("schedq_list");
  ASSERT_EQ(queues.size(), 2) << doc.to_text().c_str();
  EXPECT_EQ(sh_->slot(5), 21u);
  EXPECT_EQ(std::string(queues.get("0").to_text().c_str()),
            "{\"qid\":21,\"qname\":\"voice-high\",\"pkt_cnt_enqueue\":0,"
            "\"pkt_cnt_dequeue\":0,\"pkt_cnt_drops\":0,\"bytes_enqueue\":0,"
            "\"bytes_dequeue\":0,\"bytes_drops\":0}");
  EXPECT_EQ(queues.get("1").get("qname").text(), String("video-high"));
  EXPECT_EQ(queues.get("1").get("qid").to_int(), 22);
}

// A replicated high/voice packet: its clone passes through slot 5's class,
// which alone shows counters; the original goes to class 14, which is no
// slot's and is not listed.
TEST_F(SchedqStatsTest, SlotThatTookTheCloneShowsItsCounters) {
  ASSERT_TRUE(LoadScheduler(12)) << h_.messages();
  Packet* p =
      testing_support::MakePacket(testing_support::BuildIPv4({.protocol = 17, .payload = 972}));
  p->set_replicate_anno(1);
  p->set_sched_class_anno(1);
  p->set_sched_subclass_anno(1);
  h_.Push("src", p);
  int sent = 0;
  while (Packet* out = h_.Take("sink", 0)) {
    out->release();
    ++sent;
  }
  ASSERT_EQ(sent, 2);

  const Json queues = Stats().get("0").get("schedq_list");
  ASSERT_EQ(queues.size(), 12) << queues.to_text().c_str();
  const char* priorities[] = {"high", "medium", "low"};
  const char* subclasses[] = {"voice", "video", "transactional", "bulk"};
  for (int i = 0; i < 12; ++i) {
    const Json& q = queues.get(String(std::to_string(i).c_str()));
    const std::string name = std::string(subclasses[i % 4]) + "-" + priorities[i / 4];
    SCOPED_TRACE(name);
    EXPECT_EQ(q.get("qname").text(), String(name.c_str()));
    EXPECT_EQ(q.get("qid").to_int(), 21 + i);
    EXPECT_EQ(Counters(q), i == 0 ? "1,1,0,1000,1000,0" : "0,0,0,0,0,0");
  }
}

}  // namespace
}  // namespace overlay_test
