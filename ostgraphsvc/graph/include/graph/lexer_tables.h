// LexerTables: the tables the configuration reader fills while it reads a
// graph text, and the reading of port lists into connections.
//
// `Lexer` derives from this class, so every name here is also a `Lexer`
// name (`Lexer::ClassEntry`, `Lexer::add_class`, `Lexer::connect_sections`).
//
// Class table. Entries map element class names to what makes their
// elements: classes registered at start-up, compound classes read from a
// text and placeholders for unknown names. Each entry links to the entry
// that was newest before it; a name maps to its newest live entry, so a
// later definition shadows an earlier one until it is removed. Entries added
// while a text is parsed are scoped and go at the end of the parse
// (`remove_scoped_classes`). Index 0 is "<tunnel>", index 1 is "Error".
// Removed indexes are handed out again.
//
// Element tables. A `Compound` holds the elements of one scope (the top
// level of a text or one class body) and the connections between them.
// `find_or_add_element` and friends work on the current compound
// (`compound_`), which the parser sets; a compound whose anonymous offset is
// 0 is the top level.
//
// Tunnel table. Endpoints pair the ports through which connections pass into
// and out of groups and placed compound elements. One list per element, kept
// sorted by element index; the table owns the endpoints (`clear_tunnels`).
//
// Ownership: the class table owns the compound of each compound entry and
// holds a reference per entry; entries sharing a compound (synonyms) release
// it once, with the last of them. `add_class` with `compound_factory` takes
// that reference; the caller's compound must not be deleted by the caller
// afterwards.
//
// Hooks the Lexer fills (pure virtual, all named reader_*): the reader's
// current file name and line number, the parse's error handler, and token
// access for port lists in the Lexer's token kinds (256 identifier,
// 258 "->", 259 "=>", characters by their code, 0 end of text).
// `parse_error` formats a level-3 message at `make_landmark` of the current
// position through `reader_errh`; a Lexer may use it as its own.
//
// Threads: one thread at a time; the process-wide Lexer is used by the
// thread that parses.
#ifndef GRAPH_LEXER_TABLES_H_
#define GRAPH_LEXER_TABLES_H_

#include <cstdarg>
#include <cstdint>

#include "graph/element.h"
#include "graph/hash_table.h"
#include "graph/string.h"
#include "graph/variable_environment.h"
#include "graph/vector.h"

class ErrorHandler;
class Lexer;

// "file:line" for messages; the file alone for line 0; no ':' after a file
// name ending in ':' or whitespace.
String make_landmark(const String& file, int line);

// Reports "redeclaration of WHAT NAME" at `landmark` and "NAME previously
// declared here" at `earlier_landmark`, both errors.
void report_redeclaration(ErrorHandler* errh, const char* what, const String& name,
                          const String& landmark, const String& earlier_landmark);

class LexerTables {
 public:
  // Makes an element of a class from the entry's thunk; null when it makes
  // nothing.
  using ElementFactory = Element* (*)(uintptr_t thunk);

  static constexpr int kNoEntry = 0x7FFFFFFF;
  static constexpr int kLinkMask = 0x7FFFFFFF;
  static constexpr int kScopedBit = static_cast<int>(0x80000000u);
  static constexpr int kTunnelClass = 0;
  static constexpr int kErrorClass = 1;

  struct ClassEntry {
    ElementFactory factory = nullptr;
    // Registered classes: their class index; compound classes: the Compound;
    // otherwise 0.
    uintptr_t thunk = 0;
    String name;
    // Bits 0-30: the entry that was newest before this one (kNoEntry: none);
    // bit 31: scoped. On the free list: the next free entry, -1 at the end.
    int link = kNoEntry;
    // The entry the name mapped to before this one (-1: none), so that
    // removing the entry restores it without walking every older entry.
    int shadowed = -1;

    bool scoped() const { return (link & kScopedBit) != 0; }
  };

  struct Connection {
    int to_element;
    int to_port;
    int from_element;
    int from_port;
  };

  // One scope's element table. Derived from Element only for its virtual
  // interface (class name, cast); never added to a Router.
  //
  // As a class definition (one object per "||" alternative) it also holds
  // the class's parameters and "define"d names in its scope: names in
  // order, parameters first; a parameter's value is its keyword (empty for
  // a positional one, "__REST__" for the rest), a defined name's value its
  // unexpanded text. The scope's parent is the enclosing compound's scope,
  // which must outlive it.
  class Compound : public Element {
   public:
    explicit Compound(const String& name, const String& landmark = String(),
                      VariableEnvironment* enclosing_scope = nullptr)
        : name_(name), landmark_(landmark), scope_(enclosing_scope) {}

    const char* class_name() const override { return name_.c_str(); }
    // Answers "Lexer::Compound" and its own class name with itself.
    void* cast(const char* name) override;

    // Class definition role: the class name, empty for an anonymous class.
    // (Element::name is the element name of a router element.)
    const String& compound_name() const { return name_; }
    // "<anonymous>" for an anonymous class.
    String display_name() const;
    // Where the alternative began.
    const String& landmark() const { return landmark_; }
    // The class index of the next alternative to try (or of the class that
    // "..." extends), -1 for none.
    int next_alternative() const { return next_alternative_; }
    void set_next_alternative(int index) { next_alternative_ = index; }
    VariableEnvironment& scope() { return scope_; }
    int nparameters() const { return nparameters_; }
    // The parameters' keywords, one per parameter, as the argument
    // distribution takes them.
    const String* parameter_keywords() const { return scope_.values().data(); }
    // Port counts of the class; set by `complete`.
    int ninputs() const { return ninputs_class_; }
    int noutputs() const { return noutputs_class_; }

    // Adds parameter `$variable` with `keyword`; misuse is reported at
    // `landmark`.
    void add_parameter(const String& variable, const String& keyword, ErrorHandler* errh,
                       const String& landmark);
    // Counts the class's ports from "input" (element 0) and "output"
    // (element 1), reporting at the class's landmark, and settles the
    // anonymous element names of the body.
    void complete(ErrorHandler* errh);
    // The port count of pseudoelement `e` seen from inside: its outputs on
    // the input side, its inputs on the output side. Reports use on the
    // wrong side and every port below the count that nothing uses.
    int count_pseudoelement_ports(int e, bool output_side, const String& display_name,
                                  ErrorHandler* errh);
    // Chooses the alternative of this class (class index `index`) for a use
    // with the given port counts and arguments, walking the alternatives
    // through `tables`. On a choice `arguments` becomes one value per
    // parameter of the chosen compound (unchanged for a non-compound class
    // reached by "..."). Returns the class index, or -1 after "no match"
    // with its candidates at `landmark`.
    int select_alternative(const LexerTables& tables, int index, int ninputs, int noutputs,
                           Vector<String>& arguments, ErrorHandler* errh, const String& landmark);
    // "Name(<arg>, KEY, ...)[2 arguments, 1 input, 1 output]": the keyword
    // part only with `keywords` (of `nkeywords` entries), the argument count
    // only without.
    static String signature_text(const String& name, const String* keywords, int nkeywords,
                                 int narguments, int ninputs, int noutputs);
    // The variables of one use of this class: parameters bound to the
    // distributed `arguments`, then the body's definitions expanded in
    // order, spending `limit` (null: a silent limit of their own). Its
    // parent is the innermost scope of `caller`'s chain that is shallower
    // than this class's scope.
    VariableEnvironment make_use_environment(VariableEnvironment* caller,
                                             const Vector<String>& arguments,
                                             VariableExpansionLimit* limit = nullptr) const;

    // Element table.
    int nelements() const { return names_.size(); }
    const String& element_name(int e) const { return names_[e]; }
    int element_class(int e) const { return classes_[e]; }
    const String& element_config(int e) const { return configs_[e]; }
    const String& element_file(int e) const { return files_[e]; }
    int element_line(int e) const { return lines_[e]; }
    int element_ninputs(int e) const { return ninputs_[e]; }
    int element_noutputs(int e) const { return noutputs_[e]; }
    // Name to index, -1 when absent; a subscript lookup through
    // `find_insert` leaves the name mapped to -1, which still reads absent.
    HashTable<String, int>& element_map() { return element_map_; }
    const Vector<Connection>& connections() const { return connections_; }
    int anonymous_offset() const { return anonymous_offset_; }
    void set_anonymous_offset(int offset) { anonymous_offset_ = offset; }

    // Appends a connection (negative ports read as 0) and raises the port
    // counts of both ends. False, adding nothing, once the table holds
    // `kMaxConnections`.
    bool add_connection(int from_element, int from_port, int to_element, int to_port);
    // Turns the provisional name ";X@N" of element `e` into a free name
    // "X@N" (or "X@M" for the next free M); returns it.
    String settle_anonymous_name(int e);
    void set_element_class(int e, int class_index) { classes_[e] = class_index; }
    void set_element_config(int e, const String& config) { configs_[e] = config; }

    // Copies this class body into `lexer`'s top level for the use `element`
    // (which becomes its tunnel): body elements are named "ELEMENT/name",
    // configurations expanded in `env`, and nested compounds placed in turn.
    void place_into(Lexer& lexer, int element, VariableEnvironment& env);

   private:
    friend class LexerTables;

    bool has_element(const String& name);

    String name_;
    String landmark_;
    int next_alternative_ = -1;
    VariableEnvironment scope_;
    int nparameters_ = 0;
    int ninputs_class_ = 0;
    int noutputs_class_ = 0;
    // The parameter-order message was given.
    bool order_error_ = false;
    // Class entries that refer to this compound.
    int refcount_ = 0;

    HashTable<String, int> element_map_;
    Vector<int> classes_;
    Vector<String> names_;
    Vector<String> configs_;
    Vector<String> files_;
    Vector<int> lines_;
    Vector<int> ninputs_;
    Vector<int> noutputs_;
    int anonymous_offset_ = 0;
    Vector<Connection> connections_;
  };

  struct ElementPort {
    int element;
    int port;
  };

  // One end of a tunnel: a port of a top-level tunnel element.
  struct TunnelEndpoint {
    int element = 0;
    int port = 0;
    Vector<ElementPort> targets;
    // 0 not yet collected, 1 being collected, 2 collected.
    char collected = 0;
    // True for an output end.
    bool output = false;
    TunnelEndpoint* partner = nullptr;
    // Next endpoint of the same element.
    TunnelEndpoint* next = nullptr;

    // Appends the real ports this end reaches, resolving its targets once;
    // a tunnel cycle contributes nothing, an end without targets is
    // reported as an unused port.
    void collect_targets(Lexer& lexer, Vector<ElementPort>& out);
  };

  struct TunnelList {
    int element;
    TunnelEndpoint* head;
  };

  LexerTables();
  LexerTables(const LexerTables&) = delete;
  LexerTables& operator=(const LexerTables&) = delete;
  virtual ~LexerTables();

  // Factory of compound entries (makes nothing); a factory equal to it marks
  // the thunk as a Compound.
  static Element* compound_factory(uintptr_t thunk);
  // Factory of the fixed entries and of placeholders.
  static Element* error_element_factory(uintptr_t thunk);

  // Class table.
  int add_class(const String& name, ElementFactory factory, uintptr_t thunk, bool scoped);
  // The class named `name`, or a new scoped placeholder for it (reported as
  // "unknown element class" when `report`).
  int find_or_add_class(const String& name, bool report);
  // 0, or -1 when `index` is not a live entry. `hint` may point at the link
  // word that refers to the entry, sparing the walk from the newest entry.
  int remove_class(int index, int* hint = nullptr);
  // Removes every scoped entry, newest first, restoring shadowed names.
  void remove_scoped_classes();
  // Appends every mapped class name but "<tunnel>".
  void class_names(Vector<String>& out);
  // The newest live entry of `name`, or -1.
  int class_index(const String& name);
  const ClassEntry& class_entry(int index) const { return classes_[index]; }
  int nclass_entries() const { return classes_.size(); }
  // The compound of a compound class entry, else null.
  Compound* class_compound(int index) const;

  // Names defined inside a class body are not visible outside it. While a
  // definition is open, every change of the name map is journaled; the map
  // goes back to the mark taken when the definition began at the end of
  // each of its alternatives. A definition so costs what it adds, not the
  // size of the map.
  struct ClassMapMark {
    // Journal position; -1 when no mark is held.
    int position = -1;
  };
  ClassMapMark mark_class_map();
  // Undoes the changes made since `mark`; the mark stays held.
  void restore_class_map(const ClassMapMark& mark);
  // The index `name` mapped to when `mark` was taken, or -1.
  int class_index_at(const ClassMapMark& mark, const String& name);
  // Gives the mark up; the journal empties with the last one.
  void release_class_map(ClassMapMark& mark);

  // Element tables of the current compound.
  int find_or_add_element(const String& name, int class_index, const String& config,
                          const String& file, int line);
  String anonymous_element_name(const String& class_name) const;
  String element_display_name(int e) const;
  String element_position(int e) const;

  // Tunnels.
  // Makes the tunnel elements NAME, NAME/input and NAME/output of a group or
  // placed compound and, at the top level, pairs their endpoints.
  void add_tunnel_triple(const String& name, int& element, int& input, int& output);
  // The end of (element, port, side). Without `create`, an end that a
  // port-0 tunnel of the element implies is made (paired with the same port
  // of the partner) when first asked for; null when there is none. With
  // `create`, a missing end is made unpaired.
  TunnelEndpoint* find_tunnel_endpoint(int element, int port, bool output, bool create);
  // Whether `find_tunnel_endpoint` without `create` would find an end;
  // makes nothing.
  bool has_tunnel_endpoint(int element, int port, bool output) const;
  const Vector<TunnelList>& tunnel_lists() const { return tunnels_; }
  // Frees every endpoint.
  void clear_tunnels();

  // Port lists and sections. A section is a run of element records: element
  // index, input entry count a, output entry count b, the a input ports,
  // the b output ports; -1 as the last port of a side marks an expandable
  // list.
  //
  // Reads an optional "[...]" port list into one side of the record that
  // starts at `mark` in `section`.
  void parse_port_list(Vector<int>& section, int mark, bool output_side);
  // Connects the outputs of `left` to the inputs of `right` for the
  // connector kind (258 "->", 259 "=>") in the current compound.
  void connect_sections(const Vector<int>& left, const Vector<int>& right, int connector);

  // Reports at the reader's current position; returns -1.
  int parse_error(const char* format, ...);

  // Port numbers above this are refused: they size port arrays.
  static constexpr int kMaxPort = 65535;
  // What one port list, and one side of one connection statement, may
  // expand to.
  static constexpr int kMaxConnectionPorts = 4096;
  // Connections of one element table (and so of one router), as the
  // placed elements are bounded: far above any real graph.
  static constexpr int kMaxConnections = 100000;
  // Unused ports reported one by one per element; the rest are counted in
  // one line.
  static constexpr int kMaxUnusedPortReports = 3;

  // "too many connections in configuration" at `landmark`, once per table
  // user until `reset_connection_limit`.
  void report_connection_limit(const String& landmark);
  void reset_connection_limit() { connection_limit_reported_ = false; }

 protected:
  // Filled by the Lexer.
  virtual String reader_file_name() const = 0;
  virtual int reader_line_number() const = 0;
  // The parse's error handler; never null.
  virtual ErrorHandler* reader_errh() const = 0;
  // Reads the next token; returns its kind, its text in `text`.
  virtual int reader_next_token(String& text) = 0;
  // Pushes a token back for the next read.
  virtual void reader_push_back(int kind, const String& text) = 0;
  // Consumes the next token when it has `kind`; otherwise leaves it unread.
  // Quiet.
  virtual bool reader_accept(int kind) = 0;

  // Class table.
  Vector<ClassEntry> classes_;
  HashTable<String, int> class_map_;
  int newest_class_ = kNoEntry;
  int free_class_ = -1;

  // The compound being read into; set by the parser.
  Compound* compound_ = nullptr;

  Vector<TunnelList> tunnels_;

  // Drops every mark and the journal (a parse ends).
  void forget_class_map_marks() {
    class_map_journal_.clear();
    class_map_marks_ = 0;
  }

 private:
  // Endpoints by (element, port, side): lookups cost the same however many
  // ports an element has.
  struct TunnelKey {
    int element;
    int port;
    bool output;
    friend bool operator==(const TunnelKey&, const TunnelKey&) = default;
    friend uint32_t hashcode(const TunnelKey& k) {
      return static_cast<uint32_t>(k.element) * 2654435761u ^
             (static_cast<uint32_t>(k.port) << 1 | (k.output ? 1u : 0u));
    }
  };
  TunnelEndpoint* indexed_endpoint(int element, int port, bool output) const;
  HashTable<TunnelKey, TunnelEndpoint*> endpoint_index_;

 private:
  void release_compound(const ClassEntry& entry);

  bool connection_limit_reported_ = false;

  // Changes of the name map while a mark is held: the name and the index it
  // mapped to before (-1: unmapped).
  struct ClassMapChange {
    String name;
    int previous;
  };
  Vector<ClassMapChange> class_map_journal_;
  int class_map_marks_ = 0;
};

#endif  // GRAPH_LEXER_TABLES_H_
