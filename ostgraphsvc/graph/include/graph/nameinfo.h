// Named configuration values: NameDB, its static and dynamic kinds, and the
// NameRegistry that finds them.
//
// A NameDB maps names to fixed-size values of one type (a 32-bit code, see
// `NameDB::Type`) in one compound-element context, a name prefix such as
// "nat/" ("" is the top level). A NameRegistry keeps, for each type, a tree
// of databases by context: a database's context parent is the database of
// the nearest enclosing context. A query starts at the database of the
// asking element's own context (the element's name up to and including its
// last '/') in the registry of the element's router, walks outward through
// the context parents, and ends in `NameRegistry::global`, whose databases
// are searched from the empty context.
//
// `NameRegistry::static_initialize` makes the global registry with the one
// database the framework defines, the annotation names (type 2, values
// size x 65536 + offset); `static_cleanup` deletes it. A registry owns the
// databases installed in it; they are never removed singly. Nothing is
// locked: databases are installed at start-up and queried on the thread that
// reads configurations or prints packets.
#ifndef GRAPH_NAMEINFO_H_
#define GRAPH_NAMEINFO_H_

#include <cstddef>
#include <cstdint>

#include "graph/parse_context.h"
#include "graph/string.h"
#include "graph/vector.h"

class Element;
class NameRegistry;

class NameDB {
 public:
  // Type codes in use. Ports and ICMP codes add the protocol or ICMP type.
  enum Type : uint32_t {
    kTicketsType = 1,  // scheduling tickets, 1024 = 1.0
    kAnnotationType = 2,
    kIPProtocolType = 0x04000003,
    kRewriterPatternType = 0x04000006,
    kICMPType = 0x04010000,
    kICMPCodeType = 0x04010100,  // + ICMP type
    kPortType = 0x04020000,      // + IP protocol
  };

  NameDB(uint32_t type, const String& context, size_t value_size)
      : type_(type), context_(context), value_size_(value_size) {}
  NameDB(const NameDB&) = delete;
  NameDB& operator=(const NameDB&) = delete;
  virtual ~NameDB() = default;

  // Copies the value of `name` to `value` (value_size bytes) on a hit.
  virtual bool query(const String& name, void* value, size_t value_size) = 0;
  // The first name whose value equals `value`, or "".
  virtual String reverse_query(const void* value, size_t value_size);
  // Sets `name` to `value`; false when the database is read-only.
  virtual bool define(const String& name, const void* value, size_t value_size);

  uint32_t type() const { return type_; }
  const String& context() const { return context_; }
  size_t value_size() const { return value_size_; }
  NameDB* context_parent() const { return context_parent_; }
  NameRegistry* registry() const { return registry_; }

 private:
  friend class NameRegistry;

  uint32_t type_;
  String context_;
  size_t value_size_;
  NameDB* context_parent_ = nullptr;
  NameDB* context_sibling_ = nullptr;
  NameDB* context_child_ = nullptr;
  NameRegistry* registry_ = nullptr;
};

// A read-only table of 4-byte values.
class StaticNameDB : public NameDB {
 public:
  struct Entry {
    const char* name;
    uint32_t value;
  };

  // `entries` must stay alive and be sorted by name in byte order.
  StaticNameDB(uint32_t type, const String& context, const Entry* entries, int nentries)
      : NameDB(type, context, sizeof(uint32_t)), entries_(entries), nentries_(nentries) {}

  bool query(const String& name, void* value, size_t value_size) override;
  // The first entry in table order; the name points at the table's text.
  String reverse_query(const void* value, size_t value_size) override;

 private:
  const Entry* entries_;
  int nentries_;
};

// A growable table. Lookups search linearly until 21 have been made since
// the last new name; the next one sorts the table and later ones bisect.
class DynamicNameDB : public NameDB {
 public:
  DynamicNameDB(uint32_t type, const String& context, size_t value_size)
      : NameDB(type, context, value_size) {}

  bool query(const String& name, void* value, size_t value_size) override;
  // Searches in stored order, which sorting changes.
  String reverse_query(const void* value, size_t value_size) override;
  // False for an empty name.
  bool define(const String& name, const void* value, size_t value_size) override;

 private:
  static constexpr int kSorted = 100;

  // The index of `name`, appended with room for its value when `create` is
  // set and it is new; -1 otherwise.
  int find_slot(const String& name, bool create);
  void sort();

  Vector<String> names_;
  Vector<unsigned char> values_;  // value_size() bytes per name, in name order
  int lookups_ = 0;               // kSorted once sorted
};

class NameRegistry {
 public:
  NameRegistry() = default;
  NameRegistry(const NameRegistry&) = delete;
  NameRegistry& operator=(const NameRegistry&) = delete;
  ~NameRegistry();

  // The `install` argument of `lookup_or_install` that asks for a new
  // DynamicNameDB.
  static NameDB* const kMakeDynamic;

  // The database of `context` for `type`. When there is none: `install`
  // null returns the deepest database whose context encloses `context` (or
  // null); `kMakeDynamic` installs a new DynamicNameDB of `value_size`;
  // otherwise `install`, which must carry `type` and `context`, is installed
  // and owned from then on. An existing database wins over `install`, which
  // then stays the caller's.
  NameDB* lookup_or_install(uint32_t type, size_t value_size, const String& context,
                            NameDB* install);

  // The database a query for `element` (null: none) starts from.
  static NameDB* find_db(uint32_t type, const Element* element);
  // The value of `name` (4-byte values), searched outward from the
  // element's context and then in the global registry.
  static bool query_int(uint32_t type, const Element* element, const String& name, int* value);
  // The first name found for `value` the same way, or "".
  static String reverse_query_int(uint32_t type, const Element* element, int value);

  // The registry of the router holding `element`, or null. The router graph
  // sets this; while it is null every query goes to `global`.
  static NameRegistry* (*router_registry)(const Element* element);

  // Made by `static_initialize` with the annotation names, deleted by
  // `static_cleanup`; null outside that span.
  static NameRegistry* global;
  static void static_initialize();
  static void static_cleanup();

 private:
  void install_under(NameDB* parent, NameDB** chain, NameDB* db);

  Vector<NameDB*> roots_;      // per type, sorted by type: its outermost chain
  Vector<NameDB*> installed_;  // every database owned here
};

// The packet annotation names (sorted by name), each valued
// size x 65536 + offset: the one table that both configuration names and
// the packet's annotation accessors use.
inline constexpr int kAnnotationNameCount = 21;
extern const StaticNameDB::Entry kAnnotationNames[kAnnotationNameCount];

// An annotation given by name (for the context's element) or number. With
// `size` > 0 the result is the offset alone, and a value naming a size must
// name that one, and offset + size must fit the 256-byte area; with `size`
// 0 the whole value is kept and its offset must be below 256. Silent.
bool cp_parse_annotation(int size, const String& text, int* result,
                         ParseContext& context = ParseContext::blank);

#endif  // GRAPH_NAMEINFO_H_
