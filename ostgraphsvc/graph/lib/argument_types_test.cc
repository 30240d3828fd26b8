#include "graph/argument_types.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <string>

#include "graph/confparse.h"
#include "graph/element.h"
#include "graph/ip6address.h"
#include "graph/ipaddress.h"
#include "graph/nameinfo.h"
#include "graph/router.h"
#include "ostgraphsvc/graph/lib/conversions.h"
#include "ostgraphsvc/graph/lib/graph_testing.h"

namespace {

using graph_testing::Lines;
using graph_testing::Std;

class Queue : public Element {
 public:
  const char* class_name() const override { return "Queue"; }
  void add_handlers() override {
    Router::add_read_handler(this, "length", read_length, nullptr);
    Router::add_write_handler(this, "reset", write_reset, nullptr);
  }
  static String read_length(Element*, void*) { return String("0"); }
  static int write_reset(const String&, Element*, void*, ErrorHandler*) { return 0; }
};

class Sink : public Element {
 public:
  const char* class_name() const override { return "Sink"; }
};

const char* const kStandardNames[] = {
    "OPTIONAL",
    "\377KEYWORDS",
    "\377CONFIRM_KEYWORDS",
    "\377MANDATORY_KEYWORDS",
    "IGNORE",
    "\377IGNORE_REST",
    "arg",
    "args",
    "string",
    "word",
    "keyword",
    "bool",
    "byte",
    "short",
    "u_short",
    "int",
    "u_int",
    "size_t",
    "named_int",
    "long_long",
    "u_long_long",
    "off_t",
    "real2",
    "u_real2",
    "real10",
    "u_real10",
    "double",
    "sec",
    "msec",
    "usec",
    "timestamp",
    "timestamp_signed",
    "timeval",
    "bandwidth_Bps",
    "ip_addr",
    "ip_prefix",
    "ip_addr_or_prefix",
    "ip_addr_list",
    "ether_addr",
    "tcp_port",
    "udp_port",
    "element",
    "element_cast",
    "handler_name",
    "handler_call_read",
    "handler_call_write",
    "handler_call_ptr_read",
    "handler_call_ptr_write",
    "ip6_addr",
    "ip6_prefix",
    "ip6_prefix_len",
    "ip6_addr_or_prefix",
    "filename",
    "anno",
};

class ArgumentTypeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    install_default_conversions();
    Router::static_initialize();
    NameRegistry::static_initialize();
    cp_add_standard_argument_types();
    set_config_directory("/etc/dovadod");
    ASSERT_GE(router_.add_element(new Queue, "q", "", "conf", 1), 0);
    ASSERT_GE(router_.add_element(new Sink, "nat/s", "", "conf", 2), 0);
    router_.reset_handlers(false, true);
    context_ = router_.find_element("nat/s", nullptr);
  }
  void TearDown() override {
    cp_argument_static_cleanup();
    set_config_directory(nullptr);
    NameRegistry::static_cleanup();
    Router::static_cleanup();
  }

  // The stored value as text, or "error: " and the messages; warnings
  // follow a stored value after " | ".
  std::string read(const char* type, const char* text, int extra_int = 0,
                   const char* extra_text = nullptr) {
    const CpArgumentType* t = cp_find_argument_type(type);
    if (t == nullptr) return "no type";
    Lines lines;
    ParseContext context(context_, &lines);
    CpArgument a;
    a.type = t;
    a.extra_int = extra_int;
    a.extra_text = extra_text;
    const bool ok = t->parse(a, String(text), context);
    std::string messages;
    for (const std::string& l : lines.lines) messages += (messages.empty() ? "" : "|") + l;
    if (!ok) return "error: " + messages;
    const std::string value = store(a);
    return messages.empty() ? value : value + " | " + messages;
  }

  std::string store(CpArgument& a) {
    const std::string name = Std(a.type->name);
    auto run = [&](void* v, void* v2 = nullptr) {
      a.variable = v;
      a.variable2 = v2;
      a.type->store(a);
    };
    const std::set<std::string> texts = {"arg", "string", "word", "keyword", "filename"};
    const std::set<std::string> signed_ints = {"int",   "named_int", "off_t",
                                               "real2", "real10",    "anno"};
    const std::set<std::string> unsigned_ints = {"u_int", "u_real2", "u_real10",     "sec",
                                                 "msec",  "usec",    "bandwidth_Bps"};
    const std::set<std::string> nsec = {"timestamp", "timestamp_signed", "long_long"};
    if (texts.count(name)) {
      String v;
      run(&v);
      return Std(v);
    }
    if (signed_ints.count(name)) {
      int32_t v = 0;
      run(&v);
      return std::to_string(v);
    }
    if (unsigned_ints.count(name)) {
      uint32_t v = 0;
      run(&v);
      return std::to_string(v);
    }
    if (nsec.count(name)) {
      int64_t v = 0;
      run(&v);
      return std::to_string(v);
    }
    if (name == "size_t" || name == "u_long_long") {
      uint64_t v = 0;
      run(&v);
      return std::to_string(v);
    }
    if (name == "byte") {
      uint8_t v = 0;
      run(&v);
      return std::to_string(v);
    }
    if (name == "short") {
      int16_t v = 0;
      run(&v);
      return std::to_string(v);
    }
    if (name == "u_short" || name == "tcp_port" || name == "udp_port") {
      uint16_t v = 0;
      run(&v);
      return std::to_string(v);
    }
    if (name == "bool") {
      bool v = false;
      run(&v);
      return v ? "true" : "false";
    }
    if (name == "double") {
      double v = 0;
      run(&v);
      return std::to_string(v);
    }
    if (name == "args") {
      Vector<String> v;
      v.push_back("first");
      run(&v);
      return Std(v[0]) + "+" + Std(v[1]);
    }
    if (name == "timeval") {
      CpTimeval v;
      run(&v);
      return std::to_string(v.sec) + "s" + std::to_string(v.usec) + "us";
    }
    if (name == "ip_addr") {
      IPAddress v;
      run(&v);
      return Std(v.to_string());
    }
    if (name == "ip_prefix" || name == "ip_addr_or_prefix") {
      IPAddress v, m;
      run(&v, &m);
      return Std(v.to_string()) + " " + Std(m.to_string());
    }
    if (name == "ip_addr_list") {
      Vector<IPAddress> v;
      run(&v);
      std::string out;
      for (IPAddress x : v) out += Std(x.to_string()) + ";";
      return out;
    }
    if (name == "ether_addr") {
      unsigned char v[6] = {};
      run(v);
      char buf[32];
      std::snprintf(buf, sizeof buf, "%02x%02x%02x%02x%02x%02x", v[0], v[1], v[2], v[3], v[4],
                    v[5]);
      return buf;
    }
    if (name == "element") {
      Element* v = nullptr;
      run(&v);
      return Std(v->name());
    }
    if (name == "element_cast") {
      void* v = nullptr;
      run(&v);
      return Std(static_cast<Element*>(v)->name());
    }
    if (name == "handler_name") {
      Element* e = nullptr;
      String h;
      run(&e, &h);
      return (e != nullptr ? Std(e->name()) : "(global)") + "." + Std(h);
    }
    if (name == "handler_call_read" || name == "handler_call_write") {
      CpHandlerCall v;
      run(&v);
      return Std(v.element->name()) + "." + Std(v.handler->name()) + "=" + Std(v.value);
    }
    if (name == "handler_call_ptr_read" || name == "handler_call_ptr_write") {
      CpHandlerCall* v = nullptr;
      run(&v);
      std::string out =
          Std(v->element->name()) + "." + Std(v->handler->name()) + "=" + Std(v->value);
      delete v;
      return out;
    }
    if (name == "ip6_addr") {
      IPv6Address v;
      run(&v);
      return Std(v.to_string());
    }
    if (name == "ip6_prefix" || name == "ip6_addr_or_prefix") {
      IPv6Address v, m;
      run(&v, &m);
      return Std(v.to_string()) + " " + Std(m.to_string());
    }
    if (name == "ip6_prefix_len") {
      IPv6Address v;
      int len = 0;
      run(&v, &len);
      return Std(v.to_string()) + "/" + std::to_string(len);
    }
    run(nullptr);
    return "marker";
  }

  Router router_{"conf"};
  Element* context_ = nullptr;
};

TEST_F(ArgumentTypeTest, RegistryHoldsTheStandardTypes) {
  std::set<int> codes;
  for (const char* name : kStandardNames) {
    const CpArgumentType* t = cp_find_argument_type(name);
    ASSERT_NE(t, nullptr) << name;
    EXPECT_EQ(Std(t->name), name);
    EXPECT_EQ(t->use_count, 1) << name;
    EXPECT_NE(t->parse, nullptr);
    EXPECT_NE(t->store, nullptr);
    codes.insert(t->internal);
  }
  EXPECT_EQ(codes.size(), 54u);
  EXPECT_EQ(*codes.begin(), 1);
  EXPECT_EQ(*codes.rbegin(), 54);

  const CpArgumentType* prefix = cp_find_argument_type("ip_prefix");
  EXPECT_EQ(Std(prefix->description), "IP address prefix");
  EXPECT_EQ(prefix->flags, CpArgumentType::kTwoResults);
  EXPECT_EQ(cp_find_argument_type("element_cast")->flags, CpArgumentType::kExtraText);
  EXPECT_EQ(Std(cp_find_argument_type("u_int")->description), "unsigned");
  EXPECT_EQ(Std(cp_find_argument_type("\377KEYWORDS")->description), "<keyword arguments marker>");
  // The marker names are out of reach of configuration text.
  EXPECT_EQ(cp_find_argument_type("KEYWORDS"), nullptr);
  EXPECT_EQ(cp_find_argument_type("Int"), nullptr);
  EXPECT_EQ(cp_find_argument_type(""), nullptr);
}

TEST_F(ArgumentTypeTest, RegisteringAgainCountsUses) {
  EXPECT_EQ(cp_add_argument_type("int", "int", 0, 16), 1);
  EXPECT_EQ(cp_add_argument_type("int", "int", 0, 16), 2);
  EXPECT_EQ(cp_add_argument_type("int", "integer", 0, 16), -17);
  EXPECT_EQ(cp_add_argument_type("int", "int", 2, 16), -17);
  EXPECT_EQ(cp_add_argument_type("int", "int", 0, 17), -17);
  EXPECT_EQ(cp_find_argument_type("int")->use_count, 6);
  // Same length and first byte modulo 32 share a bucket.
  EXPECT_EQ(cp_add_argument_type("inu", "custom", 0, 16), 0);
  EXPECT_EQ(cp_add_argument_type("", "empty", 0, 7), 0);
  EXPECT_EQ(Std(cp_find_argument_type("inu")->description), "custom");
  EXPECT_EQ(Std(cp_find_argument_type("int")->description), "int");
  EXPECT_EQ(Std(cp_find_argument_type("")->description), "empty");
  // A second start-up registers nothing again.
  cp_add_standard_argument_types();
  EXPECT_EQ(cp_find_argument_type("bool")->use_count, 1);
  cp_argument_static_cleanup();
  EXPECT_EQ(cp_find_argument_type("int"), nullptr);
  cp_add_standard_argument_types();
  EXPECT_EQ(cp_find_argument_type("int")->use_count, 1);
}

TEST_F(ArgumentTypeTest, EachTypeParsesAValidAndRefusesAnInvalidValue) {
  struct Case {
    const char* type;
    const char* text;
    std::string expect;
    int extra_int = 0;
    const char* extra_text = nullptr;
  };
  const Case cases[] = {
      {"OPTIONAL", "anything", "marker"},
      {"\377IGNORE_REST", "", "marker"},
      {"arg", " a  b ", " a  b "},
      {"args", "x y", "first+x y"},
      {"string", "\"a b\"", "a b"},
      {"string", "a b", "error: <3>syntax error"},
      {"word", "abc", "abc"},
      {"word", "a,b", "error: <3>syntax error"},
      {"keyword", "KEY_1", "KEY_1"},
      {"keyword", "KEY=1", "error: <3>syntax error"},
      {"bool", "yes", "true"},
      {"bool", "maybe", "error: <3>syntax error"},
      {"byte", "0xff", "255"},
      {"byte", "256", "error: <3>byte out of range, bound 255"},
      {"short", "-32768", "-32768"},
      {"short", "40000", "error: <3>short out of range, bound 32767"},
      {"u_short", "65535", "65535"},
      {"u_short", "-1", "error: <3>syntax error"},
      {"int", "-2147483648", "-2147483648"},
      {"int", "-3000000000", "error: <3>int out of range, bound -2147483648"},
      {"int", "12x", "error: <3>syntax error"},
      {"u_int", "4294967295", "4294967295"},
      {"u_int", "4294967296", "error: <3>unsigned out of range, bound 4294967295"},
      {"size_t", "18446744073709551615", "18446744073709551615"},
      {"size_t", "18446744073709551616",
       "error: <3>size_t out of range, bound 18446744073709551615"},
      {"named_int", "PAINT", "65552", NameDB::kAnnotationType},
      {"named_int", "-7", "-7", NameDB::kAnnotationType},
      {"named_int", "NO_SUCH", "error: <3>syntax error", NameDB::kAnnotationType},
      {"long_long", "-9223372036854775808", "-9223372036854775808"},
      {"long_long", "9223372036854775808",
       "error: <3>64-bit int out of range, bound 9223372036854775807"},
      {"u_long_long", "0x10", "16"},
      {"u_long_long", "-1", "error: <3>syntax error"},
      {"off_t", "1024", "1024"},
      {"off_t", "2147483648", "error: <3>file offset out of range, bound 2147483647"},
      {"real2", "-1.5", "-384", 8},
      {"real2", "128", "error: <3>real out of range, bound 127.99999994", 24},
      {"u_real2", "0.25", "1", 2},
      {"u_real2", "-0.25", "error: <3>unsigned real must be >= 0", 2},
      {"real10", "-2.345", "-2345", 3},
      {"real10", "3000000", "error: <3>real out of range, bound 2147483.647", 3},
      {"u_real10", "1.5", "15", 1},
      {"u_real10", "1.5.", "error: <3>syntax error", 1},
      {"double", "2.5e3", "2500.000000"},
      {"double", "1e999", "error: <3>double out of range, bound 1.79769e+308"},
      {"double", " 1", "error: <3>syntax error"},
      {"sec", "2min", "120"},
      {"sec", "5000000000", "error: <3>time in sec out of range, bound 4294967295"},
      {"msec", "1.5", "1500"},
      {"msec", "5000000", "error: <3>time in sec (msec precision) out of range, bound 4294967.295"},
      {"usec", "2ms", "2000"},
      {"usec", "fast", "error: <3>syntax error"},
      {"timestamp", "1.5", "1500000000"},
      {"timestamp", "-1", "error: <3>seconds since the epoch must be >= 0"},
      {"timestamp", "1e30", "error: <3>seconds since the epoch out of range"},
      {"timestamp_signed", "-2ms", "-2000000"},
      {"timestamp_signed", "2 lightyears", "error: <3>syntax error"},
      {"timeval", "1.25", "1s250000us"},
      {"timeval", "1e20", "error: <3>seconds since the epoch out of range"},
      {"bandwidth_Bps", "8kbps", "1000"},
      {"bandwidth_Bps", "100", "100 | <4>warning: no units on bandwidth 100, assuming Bps"},
      {"bandwidth_Bps", "9GBps", "error: <3>bandwidth out of range"},
      {"bandwidth_Bps", "fast", "error: <3>syntax error"},
      {"ip_addr", "10.0.0.1", "10.0.0.1"},
      {"ip_addr", "10.0.0.256", "error: <3>syntax error"},
      {"ip_prefix", "10.1.2.3/8", "10.1.2.3 255.0.0.0"},
      {"ip_prefix", "10.1.2.3", "error: <3>syntax error"},
      {"ip_addr_or_prefix", "10.1.2.3", "10.1.2.3 255.255.255.255"},
      {"ip_addr_or_prefix", "10.1.2.3/33", "error: <3>syntax error"},
      {"ip_addr_list", "1.2.3.4 5.6.7.8", "1.2.3.4;5.6.7.8;"},
      {"ip_addr_list", "1.2.3.4 x", "error: <3>syntax error"},
      {"ether_addr", "0:1a:2B:3:4:ff", "001a2b0304ff"},
      {"ether_addr", "00-01-02-03-04-05", "000102030405"},
      {"ether_addr", "00:01-02:03:04:05", "error: <3>syntax error"},
      {"ether_addr", "00:01:02:03:04:005", "error: <3>syntax error"},
      {"tcp_port", "0x50", "80"},
      {"tcp_port", "x80", "error: <3>syntax error"},
      {"udp_port", "53", "53"},
      {"udp_port", "70000", "error: <3>overflow, range 0-65535"},
      {"element", "q", "q"},
      {"element", "nope", "error: <3>'nope' does not name an element"},
      {"element", "\"a b\"", "error: <3>type mismatch: element name requires element name"},
      {"element_cast", "q", "q", 0, "Queue"},
      {"element_cast", "s", "error: <3>nat/s type mismatch, expected Queue", 0, "Queue"},
      {"handler_name", "q.length", "q.length"},
      {"handler_name", "list", "(global).list"},
      {"handler_name", "nope.length", "error: <3>no element named 'nope'"},
      {"handler_name", ".length", "error: <3>type mismatch: requires element name"},
      {"handler_call_read", "q.length", "q.length="},
      {"handler_call_read", "q.reset", "error: <3>type mismatch: q.reset requires read handler"},
      {"handler_call_write", "q.reset now please", "q.reset=now please"},
      {"handler_call_write", "q.length 1",
       "error: <3>type mismatch: q.length requires write handler"},
      {"handler_call_ptr_read", "q.length", "q.length="},
      {"handler_call_ptr_read", "q.", "error: <3>syntax error"},
      {"handler_call_ptr_write", "q.reset 1", "q.reset=1"},
      {"handler_call_ptr_write", "q.gone 1",
       "error: <3>type mismatch: q.gone requires write handler"},
      {"ip6_addr", "::ffff:1.2.3.4", "::ffff:102:304"},
      {"ip6_addr", "1:::2", "error: <3>syntax error"},
      {"ip6_prefix", "fe80::1/10", "fe80::1 ffc0::"},
      {"ip6_prefix", "fe80::1", "error: <3>syntax error"},
      {"ip6_prefix_len", "2001:db8::/32", "2001:db8::/32"},
      {"ip6_prefix_len", "2001:db8::/129", "error: <3>syntax error"},
      {"ip6_addr_or_prefix", "::1", "::1 ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff"},
      {"ip6_addr_or_prefix", "::g", "error: <3>syntax error"},
      {"filename", "run/x.conf", "/etc/dovadod/run/x.conf"},
      {"filename", "", "error: <3>syntax error"},
      {"anno", "PAINT", "16", 1},
      {"anno", "PAINT", "error: <3>syntax error", 4},
  };
  for (const Case& c : cases)
    EXPECT_EQ(read(c.type, c.text, c.extra_int, c.extra_text), c.expect) << c.type << " " << c.text;
}

}  // namespace
