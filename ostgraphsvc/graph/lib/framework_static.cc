#include "graph/framework_static.h"

#include <cstdint>
#include <cstdio>

#include "graph/argument_types.h"
#include "graph/element_registry.h"
#include "graph/error_handler.h"
#include "graph/handler.h"
#include "graph/hash_map.h"
#include "graph/lexer.h"
#include "graph/nameinfo.h"
#include "graph/notifier.h"
#include "graph/packet.h"
#include "graph/router.h"
#include "graph/string_builder.h"

namespace {

Lexer* the_lexer = nullptr;
Vector<ProvidedPackage>* packages = nullptr;

}  // namespace

Lexer* global_lexer() { return the_lexer; }

Lexer* make_global_lexer() {
  if (the_lexer == nullptr) the_lexer = new Lexer;
  return the_lexer;
}

const Vector<ProvidedPackage>& provided_packages() {
  static const Vector<ProvidedPackage> none;
  return packages != nullptr ? *packages : none;
}

String read_global_list(Element*, void* user_data) {
  StringBuilder text;
  switch (reinterpret_cast<uintptr_t>(user_data)) {
    case 0: {
      if (the_lexer == nullptr) break;
      Vector<String> names;
      the_lexer->class_names(names);
      for (const String& name : names) text << name << '\n';
      break;
    }
    case 1:
      for (const ProvidedPackage& p : provided_packages()) text << p.name << '\n';
      break;
    default:
      text << "<error>\n";
      break;
  }
  return text.take_string();
}

void router_static_initialize() {
  NameRegistry::static_initialize();
  cp_add_standard_argument_types();
  // The handler itself sets its UTF-8 quotation flag from the terminal and
  // LANG.
  ErrorHandler::install_defaults(new FileErrorHandler(stderr, String()));
  Router::static_initialize();
  NotifierState::static_initialize();
  Router::add_read_handler(nullptr, String("classes"), read_global_list,
                           reinterpret_cast<void*>(uintptr_t{0}), Handler::kRead);
  Router::add_read_handler(nullptr, String("packages"), read_global_list,
                           reinterpret_cast<void*>(uintptr_t{1}), Handler::kRead);
  register_element_classes();
}

void router_static_cleanup() {
  delete the_lexer;
  the_lexer = nullptr;
  delete packages;
  packages = nullptr;
  Router::static_cleanup();
  Packet::static_cleanup();
  ErrorHandler::static_cleanup();
  cp_argument_static_cleanup();
  NameRegistry::static_cleanup();
  HashMap_ArenaFactory::static_cleanup();
}
