#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "graph/element.h"
#include "graph/handler.h"
#include "graph/ipaddress.h"
#include "graph/router.h"
#include "ostgraphsvc/graph/lib/conversions.h"
#include "ostgraphsvc/graph/lib/graph_testing.h"

namespace {

using graph_testing::Lines;
using graph_testing::Std;

// The field's offset from the Element*, as handler user data.
template <typename T>
void* offset_of(Element* e, T* field) {
  return reinterpret_cast<void*>(reinterpret_cast<char*>(field) - reinterpret_cast<char*>(e));
}

// Fields of every handled type, plus configuration that records what live
// reconfiguration receives.
class Fields : public Element {
 public:
  explicit Fields(bool live) : live_(live) {}
  const char* class_name() const override { return "Fields"; }
  bool can_live_reconfigure() const override { return live_; }
  int configure(Vector<String>& conf, ErrorHandler* errh) override {
    if (!conf.empty() && conf[0] == "bad") return errh->error("bad rate");
    arguments.clear();
    for (const String& s : conf) arguments.push_back(Std(s));
    return 0;
  }
  void add_handlers() override {
    field("byte", byte_field_handler, &byte);
    field("flag", bool_field_handler, &flag);
    field("u32", uint32_field_handler, &u32);
    field("i32", int32_field_handler, &i32);
    field("u64", uint64_field_handler, &u64);
    field("ip", ip_address_field_handler, &ip);
    // Reads one field, writes another.
    Router::set_handler(this, "split", Handler::kRead | Handler::kWrite, uint32_field_handler,
                        offset_of(this, &u32), offset_of(this, &other));
    Router::add_write_handler(this, "rate", config_argument_write_handler,
                              const_cast<char*>("0 RATE"));
    Router::add_write_handler(this, "burst", config_argument_write_handler,
                              const_cast<char*>("BURST"));
    Router::add_write_handler(this, "second", config_argument_write_handler,
                              const_cast<char*>("1 LIMIT"));
    Router::add_write_handler(this, "nokey", config_argument_write_handler, nullptr);
  }

  uint8_t byte = 7;
  bool flag = false;
  uint32_t u32 = 7;
  int32_t i32 = 7;
  uint64_t u64 = 7;
  IPAddress ip{1, 2, 3, 4};
  uint32_t other = 0;
  std::vector<std::string> arguments;

 private:
  template <typename T>
  void field(const char* name, HandlerCallback callback, T* f) {
    void* offset = offset_of(this, f);
    Router::set_handler(this, name, Handler::kRead | Handler::kWrite, callback, offset, offset);
  }

  bool live_;
};

class ElementFieldsTest : public testing::Test {
 protected:
  void SetUp() override { install_default_conversions(); }

  Fields* add(const char* name, bool live, const char* conf) {
    auto* e = new Fields(live);
    EXPECT_GE(router_.add_element(e, name, conf, "conf", 1), 0);
    return e;
  }
  void register_handlers() { router_.reset_handlers(true, true); }

  static std::string read(Element* e, const char* name) {
    const Handler* h = Router::find_handler(e, name);
    EXPECT_NE(h, nullptr) << name;
    return h != nullptr ? Std(h->invoke_read(e, String())) : std::string();
  }
  static int write(Element* e, const char* name, const char* value, ErrorHandler* errh) {
    const Handler* h = Router::find_handler(e, name);
    EXPECT_NE(h, nullptr) << name;
    return h != nullptr ? h->invoke_write(value, e, errh) : 0;
  }

  Router router_{""};
};

TEST_F(ElementFieldsTest, ReadsAndWritesFields) {
  Fields* e = add("f", false, "");
  register_handlers();
  struct Case {
    const char* handler;
    const char* text;
    const char* read_back;  // null: rejected with `message`, field unchanged
    const char* message;
  } cases[] = {
      {"byte", "255", "255", nullptr},
      {"byte", "0x10", "16", nullptr},
      {"byte", "256", nullptr, "expected uint8_t"},
      {"byte", "-1", nullptr, "expected uint8_t"},
      {"byte", "5x", nullptr, "expected uint8_t"},
      {"flag", "yes", "true", nullptr},
      {"flag", "0", "false", nullptr},
      {"flag", "maybe", nullptr, "expected boolean"},
      {"flag", "TRUE", nullptr, "expected boolean"},
      {"u32", "0x10", "16", nullptr},
      {"u32", "4294967295", "4294967295", nullptr},
      {"u32", "4294967296", nullptr, "expected integer"},
      {"u32", "-1", nullptr, "expected integer"},
      {"i32", "-2147483648", "-2147483648", nullptr},
      {"i32", "2147483648", nullptr, "expected integer"},
      {"i32", "abc", nullptr, "expected integer"},
      {"u64", "18446744073709551615", "18446744073709551615", nullptr},
      {"u64", "18446744073709551616", nullptr, "expected integer"},
      {"u64", "", nullptr, "expected integer"},
      {"ip", "10.0.0.255", "10.0.0.255", nullptr},
      {"ip", "10.0.0", nullptr, "expected IP address"},
      {"ip", "10.0.0.256", nullptr, "expected IP address"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.handler) + " <- " + c.text);
    const std::string before = read(e, c.handler);
    Lines errh;
    const int result = write(e, c.handler, c.text, &errh);
    if (c.read_back != nullptr) {
      EXPECT_EQ(result, 0);
      EXPECT_TRUE(errh.lines.empty());
      EXPECT_EQ(read(e, c.handler), c.read_back);
      continue;
    }
    EXPECT_LT(result, 0);
    EXPECT_EQ(errh.lines, std::vector<std::string>{std::string("<3>") + c.message});
    EXPECT_EQ(read(e, c.handler), before);
  }
  EXPECT_EQ(e->byte, 16);
  EXPECT_EQ(e->ip, IPAddress(10, 0, 0, 255));
}

TEST_F(ElementFieldsTest, WriteUsesTheWriteDatum) {
  Fields* e = add("f", false, "");
  register_handlers();
  ASSERT_EQ(write(e, "split", "42", nullptr), 0);
  EXPECT_EQ(e->other, 42u);
  EXPECT_EQ(e->u32, 7u);
  EXPECT_EQ(read(e, "split"), "7");
}

TEST_F(ElementFieldsTest, ConfigArgumentWriteReconfiguresLive) {
  struct Case {
    const char* conf;
    const char* handler;
    const char* value;
    const char* want;
  } cases[] = {
      {"10Mbps, BURST 5", "rate", "20Mbps", "20Mbps, BURST 5"},
      {"RATE 10Mbps", "rate", "20Mbps", "RATE 20Mbps"},
      {"", "rate", "20Mbps", "RATE 20Mbps"},
      // The position holds another keyword: the value goes by keyword.
      {"BURST 5", "rate", "20Mbps", "BURST 5, RATE 20Mbps"},
      {"10Mbps, BURST 5, BURST 6", "burst", "7", "10Mbps, BURST 7"},
      {"10Mbps", "burst", "7", "10Mbps, BURST 7"},
      {"a, b, c", "second", "x", "a, x, c"},
      {"a", "second", "x", "a, LIMIT x"},
      {"a, b", "nokey", "x", "a, b"},  // no position given and no keyword
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.conf) + " / " + c.handler);
    Fields* e = add(("e" + std::to_string(n++)).c_str(), true, c.conf);
    register_handlers();
    Lines errh;
    const bool refused = std::string(c.handler) == "nokey";
    const int result = write(e, c.handler, c.value, &errh);
    EXPECT_EQ(Std(router_.econfiguration(e->eindex())), c.want);
    EXPECT_EQ(read(e, "config"), c.want);
    if (refused) {
      EXPECT_LT(result, 0);
      EXPECT_EQ(errh.lines, std::vector<std::string>{"<3>missing mandatory arguments"});
      EXPECT_TRUE(e->arguments.empty());
      continue;
    }
    EXPECT_EQ(result, 0);
    EXPECT_TRUE(errh.lines.empty());
    std::string joined;
    for (const std::string& a : e->arguments) joined += (joined.empty() ? "" : ", ") + a;
    EXPECT_EQ(joined, c.want);
  }
}

TEST_F(ElementFieldsTest, RefusedReconfigurationKeepsTheConfiguration) {
  Fields* fixed = add("fixed", false, "10Mbps");
  Fields* live = add("live", true, "10Mbps");
  register_handlers();

  Lines errh;
  EXPECT_LT(write(fixed, "rate", "20Mbps", &errh), 0);
  EXPECT_EQ(errh.lines, std::vector<std::string>{"<3>cannot reconfigure fixed :: Fields live"});
  EXPECT_EQ(Std(router_.econfiguration(fixed->eindex())), "10Mbps");

  errh.lines.clear();
  EXPECT_LT(write(live, "rate", "bad", &errh), 0);
  EXPECT_EQ(errh.lines, std::vector<std::string>{"<3>bad rate"});
  EXPECT_EQ(Std(router_.econfiguration(live->eindex())), "10Mbps");
}

}  // namespace
