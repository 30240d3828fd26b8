#include "ostgraphsvc/policy_slot/qoe_thresholds.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "tests/support/started_log.h"

namespace {

using testing_support::StartedLog;
using testing_support::WriteFile;

bool contains(const std::string& text, const std::string& what) {
  return text.find(what) != std::string::npos;
}

class QoeThresholdsTest : public ::testing::Test {
 protected:
  QoeThresholdsTest() : log_(CXLOG_FMT_LEVEL_NUMBER) { reset_qoe_class_thresholds(); }
  ~QoeThresholdsTest() override { reset_qoe_class_thresholds(); }
  void write(const std::string& text) {
    WriteFile(log_.root().file("opt/ostrel/etc/config/qoe_thresholds.json"), text);
  }
  StartedLog log_;
};

TEST_F(QoeThresholdsTest, LossDefaultsWithoutAFile) {
  // voice, video, transactional, bulk: caution and unusable loss in percent.
  const double want[4][2] = {{0.3, 0.8}, {0.5, 1.0}, {1.0, 2.5}, {1.0, 2.5}};
  for (int c = 0; c < 4; ++c) {
    EXPECT_DOUBLE_EQ(qoe_class_thresholds[c + 1].loss_caution, want[c][0]) << c;
    EXPECT_DOUBLE_EQ(qoe_class_thresholds[c + 1].loss_unusable, want[c][1]) << c;
  }
  EXPECT_EQ(load_qoe_thresholds(), -1);
  EXPECT_DOUBLE_EQ(qoe_class_thresholds[1].loss_caution, 0.3);
}

TEST_F(QoeThresholdsTest, APartialFileKeepsWhatItDoesNotGive) {
  write(R"({"qoe": {"voice": {"loss": {"caution": 0.2, "unusable": "1.5"}}}})");
  ASSERT_EQ(load_qoe_thresholds(), 0);
  EXPECT_DOUBLE_EQ(qoe_class_thresholds[1].loss_caution, 0.2);
  EXPECT_DOUBLE_EQ(qoe_class_thresholds[1].loss_unusable, 1.5);
  EXPECT_EQ(qoe_class_thresholds[1].latency_caution, 30);
  EXPECT_EQ(qoe_class_thresholds[1].jitter_unusable, 40);
  EXPECT_EQ(qoe_class_thresholds[4].latency_unusable, 100);
  EXPECT_DOUBLE_EQ(qoe_class_thresholds[4].loss_unusable, 2.5);
}

TEST_F(QoeThresholdsTest, AFullFileSetsClassesOneToFour) {
  std::string doc = R"({"qoe": {)";
  const char* classes[] = {"voice", "video", "transactional", "bulk"};
  for (int i = 0; i < 4; ++i) {
    const std::string n = std::to_string(i + 1);
    doc += std::string(i > 0 ? "," : "") + "\"" + classes[i] + R"(": {"latency": {"caution": )" +
           n + R"(1, "unusable": )" + n + R"(2}, "jitter": {"caution": )" + n +
           R"(3, "unusable": )" + n + R"(4}, "loss": {"caution": )" + n + R"(.5, "unusable": )" +
           n + ".75}}";
  }
  write(doc + "}, \"auto\": 1}");
  ASSERT_EQ(load_qoe_thresholds(), 0);
  for (int code = 1; code <= 4; ++code) {
    const qoe_class_threshold& t = qoe_class_thresholds[code];
    EXPECT_EQ(t.latency_caution, code * 10 + 1);
    EXPECT_EQ(t.latency_unusable, code * 10 + 2);
    EXPECT_EQ(t.jitter_caution, code * 10 + 3);
    EXPECT_EQ(t.jitter_unusable, code * 10 + 4);
    EXPECT_DOUBLE_EQ(t.loss_caution, code + 0.5);
    EXPECT_DOUBLE_EQ(t.loss_unusable, code + 0.75);
  }
  EXPECT_EQ(qoe_class_thresholds[0].latency_caution, 0);
}

TEST_F(QoeThresholdsTest, AnUnreadableFileChangesNothing) {
  for (const char* text : {"", "{}", "{\"qoe\": ", "[]"}) {
    write(text);
    EXPECT_EQ(load_qoe_thresholds(), -1) << text;
  }
  ::unlink(log_.root().file("opt/ostrel/etc/config/qoe_thresholds.json").c_str());
  EXPECT_EQ(load_qoe_thresholds(), -1);
  EXPECT_EQ(qoe_class_thresholds[2].latency_unusable, 80);
  EXPECT_DOUBLE_EQ(qoe_class_thresholds[2].loss_caution, 0.5);
  EXPECT_TRUE(contains(log_.text(), "JSON config parse failed"));
}

}  // namespace
