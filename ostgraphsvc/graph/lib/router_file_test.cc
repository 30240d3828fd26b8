#include "graph/router_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "graph/framework_static.h"
#include "graph/master.h"
#include "graph/router.h"
#include "ostgraphsvc/graph/lib/element_registry_testing.h"
#include "ostgraphsvc/graph/lib/graph_testing.h"
#include "tests/support/temp_root.h"
#include "tests/support/source_dir.h"

namespace {

using graph_testing::Messages;
using graph_testing::ScopedConstructors;
using graph_testing::Std;
using graph_testing::TableElement;
using testing_support::TempRoot;
using testing_support::WriteFile;

String Str(const std::string& s) { return String(s.data(), static_cast<int>(s.size())); }

std::string GraphsDir() { return testing_support::SourceDir() + "/tests/data/graphs"; }

// Sets GRAPHPATH (or unsets it for null) for one test.
class ScopedGraphPath {
 public:
  explicit ScopedGraphPath(const char* value) {
    if (value != nullptr)
      setenv("GRAPHPATH", value, 1);
    else
      unsetenv("GRAPHPATH");
    forget_graph_path();
  }
  ScopedGraphPath(const ScopedGraphPath&) = delete;
  ScopedGraphPath& operator=(const ScopedGraphPath&) = delete;
  ~ScopedGraphPath() {
    unsetenv("GRAPHPATH");
    forget_graph_path();
  }
};

// Points standard input at `path` while it lives.
class ScopedStdin {
 public:
  explicit ScopedStdin(const std::string& path) : saved_(dup(0)) {
    int fd = open(path.c_str(), O_RDONLY);
    dup2(fd, 0);
    close(fd);
    clearerr(stdin);
  }
  ScopedStdin(const ScopedStdin&) = delete;
  ScopedStdin& operator=(const ScopedStdin&) = delete;
  ~ScopedStdin() {
    dup2(saved_, 0);
    close(saved_);
    clearerr(stdin);
  }

 private:
  int saved_;
};

// ---- Whole files ----

TEST(ReadWholeFileTest, FilesStandardInputAndErrors) {
  TempRoot root;
  const std::string bytes("line\0\xff\r\n", 8);
  WriteFile(root.file("f.bin"), bytes);
  std::string big(10000, 'x');
  big[9999] = 'y';
  WriteFile(root.file("big"), big);
  Messages m;
  EXPECT_EQ(Std(read_whole_file(Str(root.file("f.bin")), m.errh())), bytes);
  EXPECT_EQ(Std(read_whole_file(Str(root.file("big")), m.errh())), big);
  {
    ScopedStdin in(root.file("f.bin"));
    EXPECT_EQ(Std(read_whole_file(String("-"), m.errh())), bytes);
  }
  EXPECT_EQ(m.text(), "");

  // Reading a directory fails on every read: the reader stops and reports.
  EXPECT_EQ(Std(read_whole_file(Str(root.path()), m.errh())), "");
  {
    ScopedStdin in(root.path());
    EXPECT_EQ(Std(read_whole_file(String(""), m.errh())), "");
  }
  EXPECT_EQ(Std(read_whole_file(Str(root.file("missing")), m.errh())), "");
  EXPECT_EQ(Std(read_whole_file(Str(root.file("missing")), nullptr)), "");
  EXPECT_EQ(m.text(), root.path() + ": Is a directory\n<stdin>: Is a directory\n" +
                          root.file("missing") + ": No such file or directory\n");
  EXPECT_EQ(m.errh()->error_count(), 3);
}

// ---- Archives ----

std::string Pad(std::string s, size_t width) {
  s.resize(width, ' ');
  return s;
}

// One ar member: header fields as given, then the data and its padding.
std::string Member(const std::string& name, const std::string& data,
                   const std::string& size = std::string(), const std::string& date = "0") {
  std::string out = Pad(name, 16) + Pad(date, 12) + Pad("0", 6) + Pad("0", 6) + Pad("644", 8) +
                    Pad(size.empty() ? std::to_string(data.size()) : size, 10) + "`\n" + data;
  if (data.size() % 2 == 1) out += '\n';
  return out;
}

const std::string kMagic = "!<arch>\n";

// "name=data" per member.
std::string Members(const Vector<ArchiveMember>& members) {
  std::string out;
  for (const ArchiveMember& m : members) {
    if (!out.empty()) out += ' ';
    out += Std(m.name) + "=" + Std(m.data);
  }
  return out;
}

struct ArchiveCase {
  const char* what;
  std::string text;
  int result;
  const char* members;
  const char* messages;
};

TEST(ParseConfigArchiveTest, Cases) {
  const std::string long_names = "a_very_long_member_name/\nconfig/\n";
  const ArchiveCase cases[] = {
      {"plain names, odd data padded", kMagic + Member("one/", "abc") + Member("config/", "xy"), 0,
       "one=abc config=xy", ""},
      {"symbol table has an empty name", kMagic + Member("/", "sym") + Member("config/", "g"), 0,
       "=sym config=g", ""},
      {"long-name section and offsets",
       kMagic + Member("//", long_names) + Member("/0", "L") + Member("/25", "G"), 0,
       "a_very_long_member_name=L config=G", ""},
      {"names in the data", kMagic + Member("#1/6", "configGRAPH") + Member("#1/3", "abc"), 0,
       "config=GRAPH abc=", ""},
      {"exactly the magic", kMagic, -22, "", "not an archive\n"},
      {"not an archive", "!not an archive at all", -22, "", "not an archive\n"},
      {"short header", kMagic + Member("a/", "x") + "abc", -22, "a=x", "truncated archive\n"},
      {"header magic", kMagic + Member("a/", "x").replace(58, 2, "xx"), -22, "",
       "bad archive: missing header magic number\n"},
      {"data past the end", kMagic + Member("a/", "abc", "8"), -22, "",
       "truncated archive, 4 bytes short\n"},
      {"size near the int limit", kMagic + Member("a/", "abc", "2147483647"), -22, "",
       "truncated archive, 2147483643 bytes short\n"},
      {"long-name section past the end", kMagic + Member("//", "ab", "9"), -22, "",
       "truncated archive\n"},
      {"bad fields read as -1", kMagic + Member("a/", "x", "", "12x") + Member("b/", "y", "1z"),
       -22, "a=x",
       "warning: bad date in archive\nwarning: bad size in archive\n"
       "truncated archive, -3 bytes short\n"},
      {"offset without a long-name section", kMagic + Member("/4", "d"), -22, "=d",
       "bad long name in archive\n"},
      {"offset past the long names", kMagic + Member("//", "ab/\n") + Member("/4", "d"), -22, "=d",
       "bad long name in archive\n"},
      {"name longer than the data", kMagic + Member("#1/9", "abc"), -22, "",
       "bad long name in archive\n"},
      {"two long-name sections",
       kMagic + Member("//", "x/\n") + Member("//", "yy/\n") + Member("/0", "d"), -22, "yy=d",
       "two long name sections in archive\n"},
  };
  for (const ArchiveCase& c : cases) {
    Messages m;
    Vector<ArchiveMember> members;
    members.push_back(ArchiveMember());
    EXPECT_EQ(parse_config_archive(Str(c.text), members, m.errh()), c.result) << c.what;
    EXPECT_EQ(Members(members), c.members) << c.what;
    EXPECT_EQ(m.text(), c.messages) << c.what;
  }
}

TEST(ParseConfigArchiveTest, HeaderFields) {
  std::string header = Pad("config/", 16) + Pad("1700000000", 12) + Pad("501", 6) + Pad("20", 6) +
                       Pad("100644", 8) + Pad("2", 10) + "`\nok";
  Vector<ArchiveMember> members;
  ASSERT_EQ(parse_config_archive(Str(kMagic + header), members, nullptr), 0);
  ASSERT_EQ(members.size(), 1);
  EXPECT_EQ(members[0].date, 1700000000);
  EXPECT_EQ(members[0].uid, 501);
  EXPECT_EQ(members[0].gid, 20);
  EXPECT_EQ(members[0].mode, 0100644);
}

// ---- Library search ----

class SearchPathTest : public ::testing::Test {
 protected:
  void Make(const std::string& relative) {
    std::string path = root_.file(relative);
    for (size_t slash = root_.path().size() + 1; (slash = path.find('/', slash)) != path.npos;
         ++slash)
      mkdir(path.substr(0, slash).c_str(), 0755);
    WriteFile(path, "x");
  }
  std::string Dir(const std::string& relative) { return root_.file(relative); }
  std::string Search(const std::string& path, const std::string& default_path, bool first) {
    Vector<String> results;
    search_path_for_file(String("lib.graph"), Str(path), Str(default_path), String("conf"), results,
                         first);
    std::string out;
    for (const String& r : results) out += (out.empty() ? "" : " ") + Std(r).substr(prefix_);
    return out;
  }

  TempRoot root_;
  size_t prefix_ = root_.path().size() + 1;
};

TEST_F(SearchPathTest, CandidateOrderAndEntries) {
  Make("a/conf/graph/lib.graph");
  Make("a/conf/lib.graph");
  Make("a/lib.graph");
  Make("b/conf/lib.graph");
  Make("b/lib.graph");
  Make("c/lib.graph");
  Make("d/conf/lib.graph");
  mkdir(Dir("e").c_str(), 0755);
  mkdir(Dir("e/lib.graph").c_str(), 0755);
  EXPECT_EQ(Search(Dir("a"), "", true), "a/conf/graph/lib.graph");
  EXPECT_EQ(Search(Dir("b") + "/", "", true), "b/conf/lib.graph");
  EXPECT_EQ(Search(Dir("c"), "", true), "c/lib.graph");
  // An empty entry is the default path, without the subdirectory.
  EXPECT_EQ(Search(Dir("a") + "::" + Dir("b"), Dir("d") + ":" + Dir("c"), false),
            "a/conf/graph/lib.graph c/lib.graph b/conf/lib.graph");
  EXPECT_EQ(Search(":" + Dir("a") + ":", Dir("c"), false), "c/lib.graph a/conf/graph/lib.graph");
  EXPECT_EQ(Search(":" + Dir("a"), Dir("c"), true), "c/lib.graph");
  // A directory of the wanted name is no match.
  EXPECT_EQ(Search(Dir("e"), "", false), "");
  EXPECT_EQ(Search("", "", false), "");
}

TEST_F(SearchPathTest, FindLibraryFileReadsGraphPath) {
  Make("path/conf/lib.graph");
  Make("default/lib.graph");
  Make("default/conf/only.graph");
  {
    ScopedGraphPath unset(nullptr);
    EXPECT_EQ(Std(find_library_file(String("lib.graph"), Str(Dir("default")))),
              Dir("default") + "/lib.graph");
    EXPECT_EQ(Std(find_library_file(String("only.graph"), Str(Dir("default")))), "");
    EXPECT_EQ(Std(find_library_file(String("/abs/none.graph"), String("."))), "/abs/none.graph");
  }
  {
    ScopedGraphPath set((Dir("path")).c_str());
    EXPECT_EQ(Std(find_library_file(String("lib.graph"), Str(Dir("default")))),
              Dir("path") + "/conf/lib.graph");
    // Remembered once: a later change is not seen.
    setenv("GRAPHPATH", Dir("default").c_str(), 1);
    EXPECT_EQ(Std(find_library_file(String("lib.graph"), String())),
              Dir("path") + "/conf/lib.graph");
  }
}

// ---- Graph files into routers ----

// The framework started with test classes in the slots the fixtures use.
class LoadTest : public ::testing::Test {
 protected:
  LoadTest() { router_static_initialize(); }
  ~LoadTest() override {
    router_.reset();
    master_.reset();
    router_static_cleanup();
  }

  // Loads `file` ("{graphs}" stands for the fixture directory); the
  // messages with that directory written as "{graphs}".
  std::string Load(const std::string& file) {
    std::string name = file;
    if (name.rfind("{graphs}", 0) == 0) name = GraphsDir() + name.substr(8);
    router_.reset(read_router_file(Str(name), messages_.errh(), master_.get()));
    std::string text = messages_.text().substr(consumed_);
    consumed_ += text.size();
    for (size_t at; (at = text.find(GraphsDir())) != text.npos;)
      text.replace(at, GraphsDir().size(), "{graphs}");
    return text;
  }

  // "name:Class" per element.
  std::string Elements() const {
    std::string out;
    for (int i = 0; i < router_->nelements(); ++i)
      out += (out.empty() ? "" : " ") + Std(router_->ename(i)) + ":" +
             router_->element(i)->class_name();
    return out;
  }

  // "from[port]->to[port]" per connection.
  std::string Connections() const {
    std::string out;
    for (const Router::Connection& k : router_->connections())
      out += (out.empty() ? "" : " ") + Std(router_->ename(k.from_eindex)) + "[" +
             std::to_string(k.from_port) + "]->" + Std(router_->ename(k.to_eindex)) + "[" +
             std::to_string(k.to_port) + "]";
    return out;
  }

  ScopedConstructors classes_{{13, TableElement<13>::make},
                              {14, TableElement<14>::make},
                              {15, TableElement<15>::make},
                              {29, TableElement<29>::make},
                              {31, TableElement<31>::make}};
  std::unique_ptr<Master> master_ = std::make_unique<Master>();
  std::unique_ptr<Router> router_;
  Messages messages_;
  size_t consumed_ = 0;
};

struct LoadCase {
  const char* file;
  const char* elements;
  const char* connections;
};

TEST_F(LoadTest, GraphFiles) {
  ScopedGraphPath path((GraphsDir() + "/libs").c_str());
  const LoadCase cases[] = {
      {"chain.graph", "src:RatedSource chk:CheckIPHeader sink:Discard",
       "src[0]->chk[0] chk[0]->sink[0]"},
      {"compound.graph", "src:RatedSource Discard@3:Discard nat/iprw:IPRewriter",
       "nat/iprw[0]->Discard@3[0] src[0]->nat/iprw[0]"},
      {"groups.graph", "src:RatedSource chk:CheckIPHeader Paint@9:Paint sink:Discard",
       "src[0]->chk[0] chk[0]->Paint@9[0] Paint@9[0]->sink[0]"},
      {"library.graph", "src:RatedSource Discard@3:Discard nat/iprw:IPRewriter",
       "nat/iprw[0]->Discard@3[0] src[0]->nat/iprw[0]"},
  };
  for (const LoadCase& c : cases) {
    EXPECT_EQ(Load("{graphs}/" + std::string(c.file)), "") << c.file;
    ASSERT_NE(router_, nullptr) << c.file;
    EXPECT_EQ(Elements(), c.elements) << c.file;
    EXPECT_EQ(Connections(), c.connections) << c.file;
    EXPECT_EQ(router_->master(), master_.get());
  }
  EXPECT_EQ(messages_.errh()->error_count(), 0);
}

TEST_F(LoadTest, Archives) {
  TempRoot root;
  const std::string graph = "a :: RatedSource -> b :: Discard;\n";
  WriteFile(root.file("gnu.ar"), kMagic + Member("//", "not_the_graph_text/\nconfig/\n") +
                                     Member("/0", "x :: Paint;") + Member("/20", graph));
  WriteFile(root.file("bsd.ar"), kMagic + Member("#1/6", "config" + graph));
  WriteFile(root.file("none.ar"), kMagic + Member("other/", graph));
  for (const char* name : {"gnu.ar", "bsd.ar"}) {
    EXPECT_EQ(Load(root.file(name)), "") << name;
    ASSERT_NE(router_, nullptr) << name;
    EXPECT_EQ(Elements(), "a:RatedSource b:Discard") << name;
    EXPECT_EQ(Connections(), "a[0]->b[0]") << name;
  }
  EXPECT_EQ(Load(root.file("none.ar")),
            root.file("none.ar") + ": archive has no 'config' section\n");
  EXPECT_EQ(router_, nullptr);
}

TEST_F(LoadTest, UnreadableFilesGiveNoRouter) {
  TempRoot root;
  EXPECT_EQ(Load(root.file("missing.graph")),
            root.file("missing.graph") + ": No such file or directory\n");
  EXPECT_EQ(router_, nullptr);
  EXPECT_EQ(Load(root.path()), root.path() + ": Is a directory\n");
  EXPECT_EQ(router_, nullptr);
}

struct BrokenCase {
  const char* file;
  const char* messages;
  const char* elements;
};

// Each broken file gives its message at its landmark and still a router of
// what could be built; the caller rejects it by the error count.
TEST_F(LoadTest, BrokenFiles) {
  ScopedGraphPath unset(nullptr);
  const BrokenCase cases[] = {
      {"broken/unconstructed.graph",
       "{graphs}/broken/unconstructed.graph:2: failed to create element 'policy'\n",
       "src:RatedSource sink:Discard"},
      {"broken/unknown_class.graph",
       "{graphs}/broken/unknown_class.graph:1: unknown element class 'Queue'\n",
       "src:RatedSource q:Error Discard@3:Discard"},
      {"broken/syntax.graph", "{graphs}/broken/syntax.graph:2: syntax error near '->'\n",
       "src:RatedSource Discard@2:Discard"},
      {"broken/compound_ports.graph",
       "{graphs}/broken/compound_ports.graph:2: 'p' has no input 1\n"
       "{graphs}/broken/compound_ports.graph:2: 'p' input 0 unused\n",
       "src:RatedSource Discard@3:Discard"},
      {"library.graph",
       "{graphs}/library.graph:1: library 'nat.graph' not found in GRAPHPATH/conf\n"
       "{graphs}/library.graph:2: unknown element class 'NAT'\n",
       "src:RatedSource nat:Error Discard@3:Discard"},
      {"package.graph", "requirement 'ostrel-extra' not available\n",
       "RatedSource@1:RatedSource Discard@2:Discard"},
  };
  for (const BrokenCase& c : cases) {
    const int before = messages_.errh()->error_count();
    EXPECT_EQ(Load("{graphs}/" + std::string(c.file)), c.messages) << c.file;
    EXPECT_GT(messages_.errh()->error_count(), before) << c.file;
    ASSERT_NE(router_, nullptr) << c.file;
    EXPECT_EQ(Elements(), c.elements) << c.file;
  }
}

}  // namespace
