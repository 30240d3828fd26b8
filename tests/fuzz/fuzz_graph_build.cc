// Any graph text must end in a refusal or a router, and initialising that
// router must end too: placing compounds, tunnels, port lists and the
// unused-port reports are all bounded, and memory running short is an error
// of the load. Run with -rss_limit_mb and -timeout so that a text that costs
// too much shows as a failure.
#include <cstdint>
#include <cstdlib>

#include "graph/element_registry.h"
#include "graph/error_handler.h"
#include "graph/framework_static.h"
#include "graph/lexer.h"
#include "graph/master.h"
#include "graph/router.h"
#include "graph/router_file.h"
#include "graph/string.h"
#include "ostgraphsvc/graph/lib/element_registry_testing.h"

namespace {

using graph_testing::TableElement;

void start_once() {
  static bool started = false;
  if (started) return;
  started = true;
  router_static_initialize();
  // Stand-ins answering with their registry rows: sources, sinks,
  // agnostic and push classes, one and many ports.
  set_element_constructor(13, TableElement<13>::make);  // RatedSource
  set_element_constructor(14, TableElement<14>::make);  // Discard
  set_element_constructor(15, TableElement<15>::make);  // CheckIPHeader
  set_element_constructor(16, TableElement<16>::make);  // OstrelFec
  set_element_constructor(17, TableElement<17>::make);  // OstrelOverlay
  set_element_constructor(20, TableElement<20>::make);  // OstrelOverlayMsg
  set_element_constructor(29, TableElement<29>::make);  // Paint
  set_element_constructor(31, TableElement<31>::make);  // IPRewriter
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 65536) return 0;
  start_once();
  // A copy of exactly the input's size, so that an overread is caught.
  String text(reinterpret_cast<const char*>(data), static_cast<int>(size));
  SilentErrorHandler errh;
  Lexer* lexer = make_global_lexer();
  RequireLexerExtra extra;
  Master master;
  const int cookie = lexer->start_parse(text, String("fuzz.graph"), &extra, &errh);
  // Each step reads a token or closes a level; more is a hang.
  const long max_steps = 8L * (text.length() + 1) * (Lexer::kMaxNestingDepth + 2);
  for (long step = 0; lexer->parsing(); ++step) {
    if (step > max_steps) std::abort();
    lexer->parse_step();
  }
  Router* router = lexer->build_router(&master);
  lexer->finish_parse(cookie);
  if (router == nullptr) return 0;
  router->use();
  router->initialize(&errh);
  router->unuse();
  return 0;
}
