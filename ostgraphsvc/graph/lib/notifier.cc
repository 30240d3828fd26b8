#include "graph/notifier.h"

#include <cstring>
#include <functional>

#include "graph/bitvector.h"
#include "graph/element.h"
#include "graph/router.h"
#include "graph/task.h"

namespace {

int count_pairs(const NotifierState::Pair* pairs) {
  int n = 0;
  while (pairs[n].mask != 0) ++n;
  return n;
}

NotifierState::Pair* copy_pairs(const NotifierState::Pair* pairs) {
  const int n = count_pairs(pairs);
  auto* copy = new NotifierState::Pair[n + 1];
  std::memcpy(copy, pairs, sizeof(NotifierState::Pair) * (n + 1));
  return copy;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f'; }

// Whether the flags text holds "S" with the value 0. Flags are separated by
// white space; the first word that is "S" and digits decides.
bool search_flag_zero(const char* flags) {
  if (flags == nullptr) return false;
  for (const char* p = flags; *p != '\0';) {
    while (is_space(*p)) ++p;
    const char* word = p;
    while (*p != '\0' && !is_space(*p)) ++p;
    if (word[0] != 'S' || !is_digit(word[1])) continue;
    const char* d = word + 1;
    while (d < p && *d == '0') ++d;
    return d == p;
  }
  return false;
}

// A real bit the owner may set and clear, as opposed to a fixed signal.
bool owns_bit(const NotifierState& s) {
  return !s.combined() && s.word() != &NotifierState::static_value;
}

}  // namespace

// ---- NotifierState ----------------------------------------------------------

uint32_t NotifierState::static_value = 5;

void NotifierState::static_initialize() { static_value = 5; }

NotifierState::NotifierState(const NotifierState& other) : mask_(other.mask_) {
  if (other.combined()) {
    pairs_ = copy_pairs(other.pairs_);
  } else {
    word_ = other.word_;
  }
}

NotifierState::NotifierState(NotifierState&& other) noexcept
    : word_(other.word_), mask_(other.mask_) {
  // The moved-from state keeps a valid single signal.
  other.word_ = &static_value;
  other.mask_ = kBusyMask;
}

NotifierState& NotifierState::operator=(const NotifierState& other) {
  if (&other == this) return *this;
  NotifierState copy(other);
  return *this = std::move(copy);
}

NotifierState& NotifierState::operator=(NotifierState&& other) noexcept {
  if (&other == this) return *this;
  release();
  word_ = other.word_;
  mask_ = other.mask_;
  other.word_ = &static_value;
  other.mask_ = kBusyMask;
  return *this;
}

NotifierState::~NotifierState() { release(); }

void NotifierState::release() {
  if (combined()) delete[] pairs_;
}

bool NotifierState::active() const {
  if (!combined()) return (*word_ & mask_) != 0;
  for (const Pair* p = pairs_; p->mask != 0; ++p) {
    if (*p->word & p->mask) return true;
  }
  return false;
}

void NotifierState::combine(const NotifierState& other) {
  if (&other == this) return;
  if (is_idle() || (other.is_busy() && !is_busy()) || other.is_uninitialized()) {
    *this = other;
    return;
  }
  if (is_busy() || is_uninitialized() || other.is_idle()) return;
  if (!combined() && !other.combined() && word_ == other.word_) {
    mask_ |= other.mask_;
    return;
  }
  if (!other.combined()) {
    add_word(other.word_, other.mask_);
    return;
  }
  for (const Pair* p = other.pairs_; p->mask != 0; ++p) add_word(p->word, p->mask);
}

void NotifierState::add_word(uint32_t* word, uint32_t mask) {
  // A zero mask would read as the end of the pair array.
  if (mask == 0) return;
  if (!combined()) {
    if (is_busy()) return;
    if (word_ == word) {
      mask_ |= mask;
      return;
    }
    pairs_ = new Pair[2]{{word_, mask_}, {nullptr, 0}};
    mask_ = 0;
  }

  const int n = count_pairs(pairs_);
  int at = 0;
  // Words of different blocks are unrelated pointers: order them with
  // std::less.
  while (at < n && std::less<uint32_t*>()(pairs_[at].word, word)) ++at;
  if (at < n && pairs_[at].word == word) {
    pairs_[at].mask |= mask;
    return;
  }
  auto* grown = new Pair[n + 2];
  std::memcpy(grown, pairs_, sizeof(Pair) * at);
  grown[at] = Pair{word, mask};
  std::memcpy(grown + at + 1, pairs_ + at, sizeof(Pair) * (n + 1 - at));
  delete[] pairs_;
  pairs_ = grown;
}

// ---- Notifier ---------------------------------------------------------------

NotifierState Notifier::collect_upstream_empty_signal(Element* element, Task* listener) {
  Router* router = element != nullptr ? element->router() : nullptr;
  if (router == nullptr) return NotifierState::busy_signal();

  NotifierRouterVisitor visitor(kEmptyNotifier);
  int result = router->visit_upstream(element, &visitor);
  NotifierState signal = visitor.signal();
  if (result >= 0 && !signal.is_busy() && visitor.second_walk_needed()) {
    visitor.set_second_walk();
    result = router->visit_upstream(element, &visitor);
  }
  if (result < 0 || signal.is_busy()) return NotifierState::busy_signal();

  if (listener != nullptr) {
    for (Notifier* n : visitor.notifiers()) n->add_listener(nullptr, listener);
  }
  return signal;
}

// ---- ActiveNotifier ---------------------------------------------------------

ActiveNotifier::~ActiveNotifier() { delete[] listeners_; }

int ActiveNotifier::add_listener(Callback callback, void* data) {
  const auto cb = reinterpret_cast<uintptr_t>(callback);
  const auto value = reinterpret_cast<uintptr_t>(data);
  if (callback == nullptr && data == nullptr) return 0;
  if (listener1_ == nullptr && listeners_ == nullptr && callback == nullptr) {
    listener1_ = static_cast<Task*>(data);
    return 1;
  }

  int ntasks = 0;
  int npairs = 0;
  if (listeners_ != nullptr) {
    const uintptr_t* e = listeners_;
    for (; *e > kCallbackMarker; ++e, ++ntasks) {
      if (callback == nullptr && *e == value) return 0;
    }
    if (*e == kCallbackMarker) {
      for (++e; *e != 0; e += 2, ++npairs) {
        if (callback != nullptr && e[0] == cb && e[1] == value) return 0;
      }
    }
  }

  const bool has_single = listener1_ != nullptr;
  const bool adds_task = callback == nullptr;
  const bool with_pairs = npairs > 0 || !adds_task;
  const int size = has_single + ntasks + adds_task +
                   (with_pairs ? 1 + 2 * (npairs + (adds_task ? 0 : 1)) : 0) + 1;
  auto* grown = new uintptr_t[size];
  int at = 0;
  if (has_single) grown[at++] = reinterpret_cast<uintptr_t>(listener1_);
  const uintptr_t* old = listeners_;
  for (int i = 0; i < ntasks; ++i) grown[at++] = *old++;
  if (adds_task) grown[at++] = value;
  if (with_pairs) {
    grown[at++] = kCallbackMarker;
    if (npairs > 0) ++old;  // the old marker
    for (int i = 0; i < 2 * npairs; ++i) grown[at++] = *old++;
    if (!adds_task) {
      grown[at++] = cb;
      grown[at++] = value;
    }
  }
  grown[at] = 0;
  delete[] listeners_;
  listeners_ = grown;
  listener1_ = nullptr;
  return 1;
}

void ActiveNotifier::remove_listener(Callback callback, void* data) {
  const auto cb = reinterpret_cast<uintptr_t>(callback);
  const auto value = reinterpret_cast<uintptr_t>(data);
  if (callback == nullptr && data != nullptr && data == listener1_) {
    listener1_ = nullptr;
    return;
  }
  if (listeners_ == nullptr) return;

  // The index of the match, the entries it spans, and the end (the final 0).
  int found = -1;
  int span = 1;
  int i = 0;
  for (; listeners_[i] > kCallbackMarker; ++i) {
    if (found < 0 && callback == nullptr && listeners_[i] == value) found = i;
  }
  if (listeners_[i] == kCallbackMarker) {
    for (++i; listeners_[i] != 0; i += 2) {
      if (found < 0 && callback != nullptr && listeners_[i] == cb && listeners_[i + 1] == value) {
        found = i;
        span = 2;
      }
    }
  }
  if (found < 0) return;
  const int end = i;
  std::memmove(listeners_ + found, listeners_ + found + span,
               sizeof(uintptr_t) * (end - found - span + 1));
  for (int k = end - span + 1; k <= end; ++k) listeners_[k] = 0;
}

void ActiveNotifier::wake() {
  if (signal_.active()) return;
  if (owns_bit(signal_)) *signal_.word() |= signal_.mask();
  // Listeners must not change while they are woken: the array is walked in
  // place, with no copy on this path.
  if (listener1_ != nullptr) listener1_->reschedule();
  if (listeners_ == nullptr) return;
  const uintptr_t* e = listeners_;
  for (; *e > kCallbackMarker; ++e) reinterpret_cast<Task*>(*e)->reschedule();
  if (*e != kCallbackMarker) return;
  for (++e; *e != 0; e += 2) reinterpret_cast<Callback>(e[0])(reinterpret_cast<void*>(e[1]));
}

void ActiveNotifier::sleep() {
  if (owns_bit(signal_)) *signal_.word() &= ~signal_.mask();
}

// ---- NotifierRouterVisitor --------------------------------------------------

bool NotifierRouterVisitor::visit(Element* element, bool is_output, int port, Element*, int, int) {
  auto* n = static_cast<Notifier*>(element->port_cast(is_output, port, name_));
  if (n != nullptr) {
    bool known = false;
    for (const Notifier* m : notifiers_) known = known || m == n;
    if (!known) notifiers_.push_back(n);
    if (n->signal().is_uninitialized() && element->router() != nullptr) {
      uint32_t* word;
      uint32_t mask;
      element->router()->allocate_notifier_signal(name_, &word, &mask);
      n->signal() = NotifierState(word, mask);
    }
    signal_.combine(n->signal());
    if (n->search_op() == Notifier::kSearchContinueSecond && !second_walk_) {
      second_walk_needed_ = true;
      return false;
    }
    return n->search_op() != Notifier::kSearchStop;
  }
  if (port < 0) return true;

  // An active port is a push or pull boundary: anything may arrive.
  const int nports = is_output ? element->noutputs() : element->ninputs();
  if (port < nports && (is_output ? element->output(port) : element->input(port)).active()) {
    signal_ = NotifierState::busy_signal();
    return false;
  }
  BitVector flow;
  element->flow_targets(is_output, port, &flow);
  if (!flow.zero()) return true;
  if (search_flag_zero(element->flags())) return true;
  signal_ = NotifierState::busy_signal();
  return false;
}
