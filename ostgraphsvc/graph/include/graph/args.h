// Args: how elements read their configuration arguments.
//
// An element's configuration arrives split at top-level commas and
// uncommented. Each reader takes one argument by keyword ("LIMIT 5") or by
// position, parses it into a private result slot and reports any problem
// prefixed with the keyword. Results reach the caller's variables only in
// `commit`, and only when every argument parsed, so a failed configuration
// leaves the element untouched:
//
//   if (Args(conf, this, errh)
//           .read_int("LIMIT", Args::kPositional, limit)
//           .read_bool("ACTIVE", 0, active)
//           .check_and_commit() < 0)
//     return -1;
//
// Small values are staged in a 48-byte inline buffer; Strings, vectors and
// values that do not fit go to heap slots. An Args belongs to the thread that
// runs the configure or handler call.
#ifndef GRAPH_ARGS_H_
#define GRAPH_ARGS_H_

#include <cstdint>
#include <cstring>
#include <utility>

#include "graph/ipaddress.h"
#include "graph/parse_context.h"
#include "graph/string.h"
#include "graph/vector.h"

class Args : public ParseContext {
 public:
  enum Flags {
    kMandatory = 1,
    kPositional = 2,
    kDeprecated = 4,
    kFirstWins = 8,
  };

  // Reads `conf` (copied).
  Args(const Vector<String>& conf, const Element* element, ErrorHandler* handler);
  // No arguments yet: `append_words` or `bind` supply them.
  Args(const Element* element, ErrorHandler* handler);
  Args(const Args&) = delete;
  Args& operator=(const Args&) = delete;
  ~Args();

  // Reads the caller's vector in place (not copied, not owned);
  // `remove_consumed` then edits it.
  Args& bind(Vector<String>& conf);
  // Splits `text` into words and appends them as further arguments.
  Args& append_words(const String& text);
  void scan_keywords_from(int index);

  // The building blocks of the readers.
  class Slot;
  String find_argument(const char* keyword, int flags, Slot** mark);
  void* reserve_result_slot(void* variable, size_t size);
  void finish_argument(bool ok, Slot* mark);

  Args& read_string(const char* keyword, int flags, String& variable);
  Args& read_unquoted(const char* keyword, int flags, String& variable);
  Args& read_word(const char* keyword, int flags, String& variable);
  Args& read_filename(const char* keyword, int flags, String& variable);
  Args& read_bool(const char* keyword, int flags, bool& variable);
  Args& read_int(const char* keyword, int flags, int32_t& variable);
  Args& read_uint(const char* keyword, int flags, uint32_t& variable);
  // The paint color: keyword "COLOR", mandatory, also positional.
  Args& read_color(uint8_t& variable);
  // A time in units of 10^-digits seconds.
  Args& read_seconds(const char* keyword, int flags, uint32_t& variable, int digits);
  Args& read_bandwidth(const char* keyword, int flags, uint32_t& variable);
  // An annotation offset, by name or number, of `size` bytes (0: any).
  Args& read_anno(const char* keyword, int flags, int& variable, int size);
  Args& read_ip_list(const char* keyword, int flags, Vector<IPAddress>& variable);

  // Drops every consumed argument from the configuration, keeping order.
  Args& remove_consumed();
  // 0, or -22 when any argument failed; stores the results on success.
  int commit();
  // Like commit, after failing on arguments nobody read.
  int check_and_commit();

  bool status() const { return status_; }
  const Vector<String>* configuration() const { return conf_; }

  // A heap result: stored into the caller's variable at commit.
  class Slot {
   public:
    Slot(Slot* next_slot, void* target) : next(next_slot), variable(target) {}
    virtual ~Slot() = default;
    virtual void store() = 0;
    Slot* next;
    void* variable;
  };

 private:
  static constexpr int kInlineBytes = 48;

  class BytesSlot;
  template <typename T>
  class SlotT;

  // The common reader: parse the found text into plain storage of T.
  template <typename T, typename Parse>
  Args& read_plain(const char* keyword, int flags, T& variable, Parse parse);
  // The same for values kept in a heap slot of T.
  template <typename T, typename Parse>
  Args& read_slot(const char* keyword, int flags, T& variable, Parse parse);

  int inline_end(int from) const;
  void drop_slots_to(Slot* mark);

  bool own_conf_ = false;
  bool status_ = true;
  uint8_t inline_committed_ = 0;
  Vector<String>* conf_ = nullptr;
  Vector<int> kwpos_;
  Slot* slots_ = nullptr;
  unsigned char inline_[kInlineBytes] = {};
};

#endif  // GRAPH_ARGS_H_
