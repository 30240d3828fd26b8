// Argument types and compound-argument assignment.
//
// The argument-type registry names the typed value grammars an argument
// record can carry ("int", "IP address prefix", ...). Each registered type
// has a parse operation that turns one argument text into a result inside a
// `CpArgument` and a store operation that copies that result into the
// caller's variables, so that a failed configuration never touches them.
// The registry is a table of 128 buckets keyed by the name's length and
// first byte; `cp_add_standard_argument_types` fills it at framework
// start-up and `cp_argument_static_cleanup` empties it at tear-down.
//
// `cp_distribute_arguments` gives a compound element class's formal
// parameters their values from a use's actual arguments: positional formals
// first, then keyword formals ("KEY value"), then an optional last
// "__REST__" formal that collects every argument left over, joined with
// ", ". Every formal is mandatory. The work runs on a process-wide array of
// 80 assignment records made at start-up, so a class with more formals than
// that (and a keyword or rest formal) fails with -12 instead of overflowing.
//
// Threads: the records, the used flags and the registry are process-wide and
// unlocked; they are used only on the thread that reads configurations.
#ifndef GRAPH_ARGUMENT_TYPES_H_
#define GRAPH_ARGUMENT_TYPES_H_

#include <cstdint>

#include "graph/ipaddress.h"
#include "graph/parse_context.h"
#include "graph/string.h"
#include "graph/vector.h"

class Element;
class ErrorHandler;
class Handler;
struct CpArgument;

// A handler call: the element (null for a global handler), the handler and,
// for a write, the value to write.
struct CpHandlerCall {
  Element* element = nullptr;
  const Handler* handler = nullptr;
  String value;
};

// Seconds and microseconds since the epoch.
struct CpTimeval {
  uint32_t sec = 0;
  uint32_t usec = 0;
};

// Writes the parsed result into `argument` and returns true, or reports
// through `context` and returns false.
using CpParseOperation = bool (*)(CpArgument& argument, const String& text, ParseContext& context);
// Copies the result of a successful parse into the caller's variables.
using CpStoreOperation = void (*)(CpArgument& argument);

struct CpArgumentType {
  enum Flags {
    kTwoResults = 1,  // `store` writes `variable` and `variable2`
    kExtraInt = 2,    // reads `CpArgument::extra_int`
    kExtraText = 4,   // reads `CpArgument::extra_text`
  };

  String name;
  CpArgumentType* next = nullptr;  // in its bucket
  CpParseOperation parse = nullptr;
  CpStoreOperation store = nullptr;
  void* user_data = nullptr;
  int flags = 0;
  String description;
  int internal = 0;
  int use_count = 0;
};

// One typed argument: the type and its extra argument in, the result out,
// and the caller's variables. Variable types by type name (a second
// variable for two-result types):
//   markers (OPTIONAL, IGNORE, ...)            none; parsing accepts anything
//   arg string word keyword filename            String
//   args                                        Vector<String>, appended to
//   bool                                        bool
//   byte short u_short                          uint8_t int16_t uint16_t
//   int named_int off_t / u_int                 int32_t / uint32_t
//   size_t long_long u_long_long                uint64_t int64_t uint64_t
//   real2 real10 / u_real2 u_real10             int32_t / uint32_t
//   double                                      double
//   sec msec usec bandwidth_Bps                 uint32_t
//   timestamp timestamp_signed                  int64_t nanoseconds
//   timeval                                     CpTimeval
//   ip_addr / ip_addr_list                      IPAddress / Vector<IPAddress>
//   ip_prefix ip_addr_or_prefix                 IPAddress, IPAddress (mask)
//   ether_addr                                  unsigned char[6]
//   tcp_port udp_port                           uint16_t
//   element / element_cast                      Element* / void*
//   handler_name                                Element*, String
//   handler_call_read handler_call_write        CpHandlerCall
//   handler_call_ptr_read handler_call_ptr_write
//                                               CpHandlerCall*, made with
//                                               new when null (caller owns)
//   ip6_addr                                    IPv6Address
//   ip6_prefix ip6_addr_or_prefix               IPv6Address, IPv6Address
//   ip6_prefix_len                              IPv6Address, int
//   anno                                        int
// Element lookups start from `ParseContext::context`.
struct CpArgument {
  const CpArgumentType* type = nullptr;
  int extra_int = 0;
  const char* extra_text = nullptr;
  void* variable = nullptr;
  void* variable2 = nullptr;

  // Results of the parse operation.
  union Result {
    bool b;
    int32_t i;
    uint32_t u;
    int64_t i64;
    uint64_t u64;
    double d;
    unsigned char bytes[16];
    void* pointer;
  };
  Result result = {};
  Result result2 = {};
  String text;
  String text2;
  const Handler* handler = nullptr;
  Vector<IPAddress> addresses;
};

// ---- Registry ----

// Registers `name` with the common parse and store operations. 0 for a new
// name; for a known one its use count goes up and the result is the previous
// count when description, flags and code match, else -17.
int cp_add_argument_type(const String& name, const String& description, int flags, int internal);
// The registered type of that name, or null.
const CpArgumentType* cp_find_argument_type(const String& name);
// Framework start-up: registers the 54 standard types and makes the
// assignment records and used flags. Later calls do nothing.
void cp_add_standard_argument_types();
// Framework tear-down: deletes the records, the used flags and the registry.
void cp_argument_static_cleanup();

// ---- Compound-argument assignment ----

// Distributes `arguments` over the formals [formals_begin, formals_end):
// each formal is "" (positional), a keyword, or "__REST__" (last only).
// Without a keyword or rest formal the counts must match and the values are
// the arguments. Returns 0, -22 when the arguments do not fit, or -12
// before start-up or with more than 80 formals. On success `values` (which
// may be `arguments` itself) gets one value per formal. Reports nothing.
int cp_distribute_arguments(const Vector<String>& arguments, const String* formals_begin,
                            const String* formals_end, Vector<String>* values = nullptr);
// The same, with the keyword engine's messages ("bad keyword(s) ...",
// "missing mandatory ...", "too many arguments") sent to `errh`.
int cp_distribute_arguments(const Vector<String>& arguments, const String* formals_begin,
                            const String* formals_end, Vector<String>* values, ErrorHandler* errh);

#endif  // GRAPH_ARGUMENT_TYPES_H_
