#include "graph/error_handler.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "ostgraphsvc/graph/lib/graph_testing.h"
namespace {

using graph_testing::MemoryFile;
using graph_testing::Std;

// Records what reaches the end of a handler chain.
class RecordingHandler : public ErrorHandler {
 public:
  void* emit(const String& line, void* user_data, bool more) override {
    lines.push_back(Std(line));
    mores.push_back(more);
    return user_data;
  }
  void account(int level) override {
    levels.push_back(level);
    ErrorHandler::account(level);
  }
  std::vector<std::string> lines;
  std::vector<bool> mores;
  std::vector<int> levels;
};

TEST(ErrorHandlerTest, ReportingCallsCountAndReturn) {
  RecordingHandler errh;
  EXPECT_EQ(errh.error("bad %d", 1), -22);
  EXPECT_EQ(errh.error_count(), 1);
  EXPECT_EQ(errh.warning("careful"), -22);
  EXPECT_EQ(errh.error_count(), 1);
  errh.message("fine");
  EXPECT_EQ(errh.error_count(), 1);
  EXPECT_EQ(errh.landmark_error(String("f:1"), "here"), -22);
  EXPECT_EQ(errh.landmark_warning(String("f:2"), "there"), -22);
  errh.landmark_message(String("f:3"), "note");
  EXPECT_EQ(errh.lines, (std::vector<std::string>{"<3>bad 1", "<4>warning: careful", "<6>fine",
                                                  "<3>{l:f:1}here", "{l:f:2}<4>warning: there",
                                                  "<6>{l:f:3}note"}));
  EXPECT_EQ(errh.levels, (std::vector<int>{3, 4, 6, 3, 4, 6}));
  EXPECT_EQ(errh.error_count(), 2);
  errh.clear();
  EXPECT_EQ(errh.error_count(), 0);
}

TEST(ErrorHandlerTest, LinesInheritTheLevelAndAccountOnce) {
  struct Case {
    const char* text;
    std::vector<std::string> lines;
    std::vector<bool> mores;
    int lowest;
    int result;
  } cases[] = {
      {"<3>first\nsecond", {"<3>first", "second"}, {true, false}, 3, -22},
      {"<6>a\n<3>b\nc\n", {"<6>a", "<3>b", "c"}, {true, true, false}, 3, -22},
      {"{}<3>x", {"{}<3>x"}, {false}, 1000, 0},  // text after "{}" is no annotation
      {"<3.7>x", {"<3.7>x"}, {false}, 3, -22},
      {"<-1>x", {"<-1>x"}, {false}, -1, -22},
      {"<>x", {"<>x"}, {false}, 1000, 0},
      {"<a>x", {"<a>x"}, {false}, 1000, 0},
      {"a\n\nb", {"a", "", "b"}, {true, true, false}, 1000, 0},
      {"", {}, {}, 1000, 0},
  };
  for (const Case& c : cases) {
    RecordingHandler errh;
    EXPECT_EQ(errh.deliver(String(c.text)), c.result) << c.text;
    EXPECT_EQ(errh.lines, c.lines) << c.text;
    EXPECT_EQ(errh.mores, c.mores) << c.text;
    EXPECT_EQ(errh.levels, std::vector<int>{c.lowest}) << c.text;
  }
}

TEST(ErrorHandlerTest, ParseAnnotation) {
  struct Case {
    const char* text;
    int end;
    const char* name;
    const char* value;
    const char* raw_value;
  } cases[] = {
      {"<3>x", 3, "<>", "3", "3"},
      {"<-12.5>", 7, "<>", "-12.5", "-12.5"},
      {"<+.5>", 5, "<>", "+.5", "+.5"},
      {"<.>", 0, "", "", ""},
      {"<+>", 0, "", "", ""},
      {"<3", 0, "", "", ""},
      {"{}<3>", 2, "", "", ""},
      {"{l:f:1}x", 7, "l", "f:1", "f:1"},
      {"{context}x", 9, "context", "", ""},
      {"{l:a\\}b}x", 8, "l", "a}b", "a\\}b"},
      {"{l:a\\nb}", 8, "l", "a\nb", "a\\nb"},
      {"{l:a\nb}", 0, "", "", ""},  // a value may not cross a newline
      {"{l:open", 0, "", "", ""},
      {"{l-x}", 0, "", "", ""},
      {"{:v}", 0, "", "", ""},
      {"{l:a\\", 0, "", "", ""},
  };
  for (const Case& c : cases) {
    for (bool raw : {false, true}) {
      String text(c.text), name("x"), value("x");
      int end = ErrorHandler::parse_annotation(text, 0, text.length(), &name, &value, raw);
      EXPECT_EQ(end, c.end) << c.text;
      EXPECT_EQ(Std(name), c.name) << c.text;
      EXPECT_EQ(Std(value), raw ? c.raw_value : c.value) << c.text << " raw " << raw;
    }
  }
  String text("<5>{l:here}{x:1}<2>{}<7>visible");
  int level = 99;
  String landmark, other;
  int run = ErrorHandler::read_annotations(text, 0, text.length(), "#<>", &level, "l", &landmark,
                                           "#x", &other, static_cast<const char*>(nullptr));
  EXPECT_EQ(run, 21);   // just after "{}"
  EXPECT_EQ(level, 2);  // the later level wins
  EXPECT_EQ(Std(landmark), "here");
  const char* skipped = ErrorHandler::skip_annotations(text.begin(), text.end());
  EXPECT_EQ(skipped, text.begin() + 3);  // named annotations are not skipped
  const char* range = "<1><2>{}<3>";
  EXPECT_EQ(ErrorHandler::skip_annotations(range, range + 11), range + 8);
}

TEST(ErrorHandlerTest, CombineAnnotations) {
  struct Case {
    const char* text;
    const char* annotations;
    const char* combined;
  } cases[] = {
      {"a\nb", "{l:f:1}", "{l:f:1}a\n{l:f:1}b"},
      {"{l:mine}a\nb", "{l:f:1}", "{l:mine}a\n{l:f:1}b"},
      {"<4>a\nb\n", "<3>", "<4>a\n<3>b\n"},
      {"<3>{l:x}a\nb", "  ", "<3>{l:x}  a\n  b"},
      {"a", "<3>{l:f:1}prefix: ", "<3>{l:f:1}prefix: a"},
      {"", "<3>", "<3>"},
      {"a", "", "a"},
      {"<1><2>{x:y}a", "<3>{x:z}", "<1><2>{x:y}a"},
      {"a", "{l:a\\}b}", "{l:a\\}b}a"},  // raw values keep their escapes
      {"a", "{a:1}{b:2}{c:3}{d:4}{e:5}{f:6}{g:7}{h:8}{i:9}{j:10}tail",
       "{a:1}{b:2}{c:3}{d:4}{e:5}{f:6}{g:7}{h:8}taila"},
  };
  for (const Case& c : cases) {
    String text(c.text);
    String combined = ErrorHandler::combine_annotations(text, String(c.annotations));
    EXPECT_EQ(Std(combined), c.combined) << c.text << " + " << c.annotations;
  }
  String untouched("<3>{l:x}text");
  EXPECT_EQ(ErrorHandler::combine_annotations(untouched, String("<4>{l:y}")).memo(),
            untouched.memo());
}

TEST(ErrorHandlerTest, LandmarkAnnotation) {
  struct Case {
    const char* landmark;
    const char* annotation;
  } cases[] = {{"", ""},
               {"{l:already}", "{l:already}"},
               {"ostrel.graph:12", "{l:ostrel.graph:12}"},
               {"a}b\\c\nd", "{l:a\\}b\\\\c\\nd}"}};
  for (const Case& c : cases) {
    EXPECT_EQ(Std(ErrorHandler::landmark_annotation(String(c.landmark))), c.annotation);
  }
}

// How the graph reader reports a parse error at a file position.
int ReportAt(ErrorHandler& errh, const char* format, ...) {
  va_list args;
  va_start(args, format);
  int r = errh.annotated_landmark_message(String("ostrel.graph:4"), String("<3>"), format, args);
  va_end(args);
  return r;
}

TEST(ErrorHandlerTest, FileHandlerWritesCleanedLandmarks) {
  struct Case {
    const char* line;
    const char* written;
  } cases[] = {
      {"<3>{l:file:12}bad argument", "file:12: bad argument\n"},
      {"{l:file:3: }text", "file:3: text\n"},
      {"{l:   }text", "text\n"},
      {"{l:f:1}{}<3>shown", "f:1: <3>shown\n"},
      {"<-999>still counted", "still counted\n"},
  };
  for (const Case& c : cases) {
    MemoryFile out;
    FileErrorHandler errh(out.file(), String("graph: "));
    errh.deliver(String(c.line));
    EXPECT_EQ(out.text(), std::string("graph: ") + c.written) << c.line;
  }
  MemoryFile out;
  FileErrorHandler errh(out.file());
  EXPECT_EQ(errh.default_flags(), 0);  // not a terminal
  errh.deliver(String("<-1>x"));
  errh.deliver(String("<-999>y"));
  EXPECT_EQ(errh.error_count(), 2);  // counted, and the process goes on

  MemoryFile out2;
  FileErrorHandler parse(out2.file());
  EXPECT_EQ(ReportAt(parse, "syntax error near %s", "x"), -22);
  EXPECT_EQ(out2.text(), "ostrel.graph:4: syntax error near x\n");
}

TEST(ErrorHandlerTest, ContextLinePrintedOnceAndMessagesIndented) {
  MemoryFile out;
  FileErrorHandler file(out.file());
  ContextErrorHandler context(&file, "While reading %s:", "x");
  EXPECT_EQ(context.error("first"), -22);
  context.error("{l:f:2}second");
  context.error("{context:noindent}flush left");
  context.message("a\nb");
  EXPECT_EQ(out.text(),
            "While reading x:\n"
            "  first\n"
            "f:2:   second\n"
            "flush left\n"
            "  a\n"
            "  b\n");
  EXPECT_EQ(context.error_count(), 3);
  EXPECT_EQ(file.error_count(), 3);

  RecordingHandler sink;
  ContextErrorHandler deferred(&sink, "While configuring:");
  deferred.error("{context:no}plain");
  deferred.error("{l:g:1}after");
  EXPECT_EQ(sink.lines, (std::vector<std::string>{
                            "<3>{context:no}plain",
                            "<3>{l:g:1}{context:context}While configuring:", "<3>{l:g:1}  after"}));
  EXPECT_EQ(sink.levels, (std::vector<int>{3, 3}));

  RecordingHandler quiet;
  ContextErrorHandler empty(&quiet, "%s", "");
  empty.error("{context:nocontext}x");
  empty.error("y");
  EXPECT_EQ(quiet.lines, (std::vector<std::string>{"<3>{context:nocontext}  x", "<3>  y"}));
}

TEST(ErrorHandlerTest, VeneersDecorateAndCount) {
  RecordingHandler sink;
  LocalErrorHandler local(&sink);
  PrefixErrorHandler prefix(&local, String("elt: "));
  LandmarkErrorHandler landmark(&prefix, String("conf:7"));
  landmark.error("one\ntwo");
  landmark.warning("three");
  EXPECT_EQ(sink.lines, (std::vector<std::string>{"{l:conf:7}<3>elt: one", "{l:conf:7}<3>elt: two",
                                                  "{l:conf:7}<4>elt: warning: three"}));
  EXPECT_EQ(landmark.error_count(), 1);
  EXPECT_EQ(local.error_count(), 1);
  EXPECT_EQ(sink.error_count(), 1);
  local.clear();
  EXPECT_EQ(local.error_count(), 0);
  EXPECT_EQ(sink.error_count(), 1);

  LocalErrorHandler alone(nullptr);
  EXPECT_EQ(alone.error("nobody listens"), -22);
  EXPECT_EQ(alone.error_count(), 1);
}

TEST(ErrorHandlerTest, DefaultsAreInstalledOnce) {
  MemoryFile out;
  auto* first = new FileErrorHandler(out.file());
  EXPECT_EQ(ErrorHandler::install_defaults(first), first);
  ASSERT_NE(ErrorHandler::silent_handler(), nullptr);
  FileErrorHandler second(out.file());
  ErrorHandler::install_defaults(&second);
  EXPECT_EQ(ErrorHandler::default_handler(), first);
  ErrorHandler::silent_handler()->error("ignored");
  EXPECT_EQ(ErrorHandler::silent_handler()->error_count(), 1);
  ErrorHandler::static_cleanup();
  EXPECT_EQ(ErrorHandler::default_handler(), nullptr);
  EXPECT_EQ(ErrorHandler::silent_handler(), nullptr);
  EXPECT_EQ(out.text(), "");
}

}  // namespace
