// Notifiers: cheap "may there be packets upstream?" signals for elements
// that pull.
//
// A NotifierState is a signal: a 32-bit word and a mask (active when
// word & mask is not 0), or, when several words are involved, an owned array
// of (word, mask) pairs sorted by word address and ended by a zero mask
// (active when any pair is). Testing one is a few memory reads, so a pulling
// task can check it on every run and sleep instead of pulling in vain.
//
// One process-wide word (`NotifierState::static_value`, 5) carries the
// fixed signals: busy (mask 1, always active), idle (mask 2, never active)
// and uninitialized (mask 8, never active; a notifier whose bit the router
// has not handed out yet). Real signals are bits of the router's signal
// blocks (`Router::allocate_notifier_signal`).
//
// An element that knows whether it may have packets owns an ActiveNotifier
// and returns it from `port_cast` for the notifier name ("empty"). A
// consumer calls `Notifier::collect_upstream_empty_signal` in its
// `initialize`: the walk upstream combines the signals of every notifier it
// meets into one state and registers the consumer's task as a listener of
// each. The owner sets its bit with `ActiveNotifier::wake` (rescheduling
// listener tasks and calling callback listeners when the signal turns
// active) and clears it with `sleep`.
//
// Ownership: a combined state owns its pair array (copies copy it); an
// ActiveNotifier owns its listener array, not the listeners. Signal words
// belong to the router, which must outlive the states that point into it.
//
// Threads: everything runs on the thread that builds and runs the router;
// signal words are plain words read without locks.
#ifndef GRAPH_NOTIFIER_H_
#define GRAPH_NOTIFIER_H_

#include <cstdint>

#include "graph/router.h"
#include "graph/vector.h"

class Element;
class Task;

class NotifierState {
 public:
  struct Pair {
    uint32_t* word;
    uint32_t mask;
  };

  static constexpr uint32_t kBusyMask = 1;
  static constexpr uint32_t kIdleMask = 2;
  static constexpr uint32_t kUninitializedMask = 8;

  // The shared word of the fixed signals.
  static uint32_t static_value;
  // Framework start-up: the shared word becomes 5 (busy set, idle and
  // uninitialized clear).
  static void static_initialize();

  static NotifierState busy_signal() { return NotifierState(&static_value, kBusyMask); }
  static NotifierState idle_signal() { return NotifierState(&static_value, kIdleMask); }
  static NotifierState uninitialized_signal() {
    return NotifierState(&static_value, kUninitializedMask);
  }

  // Busy: with no knowledge of upstream, packets may come at any time.
  NotifierState() : NotifierState(&static_value, kBusyMask) {}
  // A single signal; `mask` must not be 0.
  NotifierState(uint32_t* word, uint32_t mask) : word_(word), mask_(mask) {}
  NotifierState(const NotifierState& other);
  NotifierState(NotifierState&& other) noexcept;
  NotifierState& operator=(const NotifierState& other);
  NotifierState& operator=(NotifierState&& other) noexcept;
  ~NotifierState();

  bool active() const;

  bool combined() const { return mask_ == 0; }
  // Single form only.
  uint32_t* word() const { return word_; }
  uint32_t mask() const { return mask_; }
  // Combined form only: the pairs, ended by one whose mask is 0.
  const Pair* pairs() const { return pairs_; }

  bool is_busy() const { return on_static_word() && (mask_ & kBusyMask); }
  bool is_idle() const { return on_static_word() && mask_ == kIdleMask; }
  bool is_uninitialized() const { return on_static_word() && mask_ == kUninitializedMask; }

  // ORs `other` into this signal: idle yields to anything, busy absorbs
  // anything, and an uninitialized side (not yet a real signal) wins.
  void combine(const NotifierState& other);
  // Adds the pair (word, mask), converting a single signal on another word
  // to the combined form.
  void add_word(uint32_t* word, uint32_t mask);

 private:
  bool on_static_word() const { return mask_ != 0 && word_ == &static_value; }
  void release();

  // Single form: word_; combined form (mask_ 0): pairs_, owned.
  union {
    uint32_t* word_;
    Pair* pairs_;
  };
  uint32_t mask_;
};

// A source of a signal that the upstream walk can find.
class Notifier {
 public:
  // How the upstream walk treats a notifier it meets.
  enum SearchOp {
    kSearchStop = 0,
    kSearchContinue = 1,
    // Stops the first walk and asks for a second one that goes past.
    kSearchContinueSecond = 2,
  };
  // A callback listener: called with its data when the signal turns active.
  using Callback = void (*)(void* data);

  // The notifier name for "may have packets" signals.
  static constexpr char kEmptyNotifier[] = "empty";

  explicit Notifier(int search_op = kSearchStop) : search_op_(search_op) {}
  Notifier(const Notifier&) = delete;
  Notifier& operator=(const Notifier&) = delete;
  virtual ~Notifier() = default;

  // A null `callback` makes `data` a Task to reschedule. 1 when added, 0 when
  // it was there already (the base keeps no listeners: always 0).
  virtual int add_listener(Callback, void*) { return 0; }
  virtual void remove_listener(Callback, void*) {}

  const NotifierState& signal() const { return signal_; }
  NotifierState& signal() { return signal_; }
  int search_op() const { return search_op_; }
  void set_search_op(int op) { search_op_ = op; }

  // The combined signal of the "empty" notifiers upstream of `element`'s
  // input 0, idle when there are none; `listener`, when not null, joins
  // every notifier found. Busy, with no listener registered, when the walk
  // fails or meets a port where anything may arrive.
  static NotifierState collect_upstream_empty_signal(Element* element, Task* listener);

 protected:
  NotifierState signal_ = NotifierState::uninitialized_signal();
  int search_op_;
};

// A notifier with listeners, woken when its signal turns active.
class ActiveNotifier : public Notifier {
 public:
  explicit ActiveNotifier(int search_op = kSearchStop) : Notifier(search_op) {}
  ~ActiveNotifier() override;

  int add_listener(Callback callback, void* data) override;
  void remove_listener(Callback callback, void* data) override;

  // Sets the signal's bit; when the signal was not active, reschedules
  // every listener task and calls every callback listener. An uninitialized
  // signal keeps its shared word untouched and only wakes the listeners.
  void wake();
  // Clears the signal's bit (a real single signal only).
  void sleep();

 private:
  // Array entries: tasks, then kCallbackMarker and (callback, data) pairs,
  // then 0.
  static constexpr uintptr_t kCallbackMarker = 1;

  Task* listener1_ = nullptr;
  uintptr_t* listeners_ = nullptr;
};

// Collects the notifiers of one name met by `Router::visit_upstream`.
class NotifierRouterVisitor : public RouterVisitor {
 public:
  explicit NotifierRouterVisitor(const char* name) : name_(name) {}

  bool visit(Element* element, bool is_output, int port, Element* from, int from_port,
             int distance) override;

  const Vector<Notifier*>& notifiers() const { return notifiers_; }
  const NotifierState& signal() const { return signal_; }
  bool second_walk() const { return second_walk_; }
  bool second_walk_needed() const { return second_walk_needed_; }
  void set_second_walk() { second_walk_ = true; }

 private:
  Vector<Notifier*> notifiers_;
  NotifierState signal_ = NotifierState::idle_signal();
  bool second_walk_ = false;
  bool second_walk_needed_ = false;
  const char* name_;
};

#endif  // GRAPH_NOTIFIER_H_
