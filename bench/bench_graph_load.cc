// Parsing and building a generated graph of 1,000 elements (100 chains of a
// source, eight configured elements and a sink) into a Router, against a
// plain tokenisation of the same bytes: one pass that splits words and
// punctuation. Both report their time per element.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "bench/ratio_reporter.h"
#include "graph/element.h"
#include "graph/element_registry.h"
#include "graph/framework_static.h"
#include "graph/lexer.h"
#include "graph/master.h"
#include "graph/router.h"
#include "graph/router_file.h"

namespace {

constexpr int kChains = 100;
constexpr int kChainLength = 10;
constexpr int kElements = kChains * kChainLength;

// Stands in for a registered class; construction only.
template <int I>
class BenchElement : public Element {
 public:
  static Element* make() { return new BenchElement; }
  const char* class_name() const override { return element_class_info(I)->name; }
  const char* port_count() const override { return element_class_info(I)->port_count; }
};

std::string GraphText() {
  std::string text;
  for (int c = 0; c < kChains; ++c) {
    const std::string n = std::to_string(c);
    text += "src" + n + " :: RatedSource\n";
    for (int i = 0; i < kChainLength - 2; ++i)
      text += "  -> p" + n + "_" + std::to_string(i) + " :: Paint(" + std::to_string(i) + ")\n";
    text += "  -> sink" + n + " :: Discard;\n";
  }
  return text;
}

void BM_Load_Ours(benchmark::State& state) {
  router_static_initialize();
  set_element_constructor(13, BenchElement<13>::make);
  set_element_constructor(14, BenchElement<14>::make);
  set_element_constructor(29, BenchElement<29>::make);
  const std::string source = GraphText();
  const String text(source.data(), static_cast<int>(source.size()));
  const String name("bench.graph");
  Lexer* lexer = global_lexer();
  auto master = std::make_unique<Master>();
  for (auto _ : state) {
    RequireLexerExtra extra;
    const int cookie = lexer->start_parse(text, name, &extra, ErrorHandler::silent_handler());
    while (lexer->parsing()) lexer->parse_step();
    std::unique_ptr<Router> router(lexer->build_router(master.get()));
    lexer->finish_parse(cookie);
    if (!router || router->nelements() != kElements) {
      state.SkipWithError("graph did not build");
      break;
    }
    benchmark::DoNotOptimize(router.get());
  }
  state.SetItemsProcessed(state.iterations() * kElements);
  master.reset();
  router_static_cleanup();
}

bool IsWordByte(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
         c == '@' || c == '/';
}

// Splits the text into words and single punctuation bytes.
void BM_Load_Tokenise(benchmark::State& state) {
  const std::string text = GraphText();
  for (auto _ : state) {
    std::vector<std::string> tokens;
    const char* p = text.data();
    const char* end = p + text.size();
    while (p < end) {
      const unsigned char c = static_cast<unsigned char>(*p);
      if (c == ' ' || c == '\n' || c == '\t' || c == '\r') {
        ++p;
        continue;
      }
      const char* begin = p++;
      if (IsWordByte(c))
        while (p < end && IsWordByte(static_cast<unsigned char>(*p))) ++p;
      tokens.emplace_back(begin, p);
    }
    benchmark::DoNotOptimize(tokens.data());
  }
  state.SetItemsProcessed(state.iterations() * kElements);
}

BENCHMARK(BM_Load_Ours);
BENCHMARK(BM_Load_Tokenise);

}  // namespace

int main(int argc, char** argv) {
  return bench::RunWithRatios(argc, argv, {{"BM_Load_Ours", "BM_Load_Tokenise"}});
}
