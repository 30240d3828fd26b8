#include "graph/notifier.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "graph/element.h"
#include "graph/router.h"
#include "graph/task.h"
#include "ostgraphsvc/graph/lib/graph_testing.h"

namespace {

using Pairs = std::vector<std::pair<uint32_t*, uint32_t>>;

Pairs pairs_of(const NotifierState& s) {
  if (!s.combined()) return {{s.word(), s.mask()}};
  Pairs out;
  for (const NotifierState::Pair* p = s.pairs(); p->mask != 0; ++p)
    out.emplace_back(p->word, p->mask);
  return out;
}

// The first pair as a single signal, the others added.
NotifierState make(const Pairs& pairs) {
  NotifierState s(pairs[0].first, pairs[0].second);
  for (size_t i = 1; i < pairs.size(); ++i) s.add_word(pairs[i].first, pairs[i].second);
  return s;
}

class NotifierStateTest : public testing::Test {
 protected:
  void SetUp() override { NotifierState::static_initialize(); }

  uint32_t words_[3] = {0, 0, 0};
  uint32_t* w0_ = &words_[0];
  uint32_t* w1_ = &words_[1];
  uint32_t* w2_ = &words_[2];
  uint32_t* shared_ = &NotifierState::static_value;
};

TEST_F(NotifierStateTest, CombineTable) {
  const Pairs busy{{shared_, 1}};
  const Pairs idle{{shared_, 2}};
  const Pairs uninit{{shared_, 8}};
  struct Case {
    Pairs self, other, want;
  } cases[] = {
      // Idle yields to anything.
      {idle, busy, busy},
      {idle, {{w0_, 1}}, {{w0_, 1}}},
      {idle, uninit, uninit},
      {idle, {{w0_, 1}, {w1_, 2}}, {{w0_, 1}, {w1_, 2}}},
      // Busy absorbs everything but uninitialized.
      {busy, {{w0_, 1}}, busy},
      {busy, idle, busy},
      {busy, {{w0_, 1}, {w1_, 2}}, busy},
      {busy, uninit, uninit},
      {{{w0_, 1}}, busy, busy},
      {{{w0_, 1}, {w1_, 2}}, busy, busy},
      // Uninitialized wins from either side, except against a busy newcomer.
      {{{w0_, 1}}, uninit, uninit},
      {uninit, {{w0_, 1}}, uninit},
      {uninit, idle, uninit},
      {uninit, busy, busy},
      // Idle adds nothing.
      {{{w0_, 1}}, idle, {{w0_, 1}}},
      {{{w0_, 1}, {w1_, 2}}, idle, {{w0_, 1}, {w1_, 2}}},
      // Same word: masks OR; other words: pairs sorted by address.
      {{{w0_, 1}}, {{w0_, 4}}, {{w0_, 5}}},
      {{{w1_, 1}}, {{w0_, 2}}, {{w0_, 2}, {w1_, 1}}},
      {{{w0_, 1}}, {{w1_, 2}}, {{w0_, 1}, {w1_, 2}}},
      {{{w0_, 1}, {w2_, 2}}, {{w1_, 4}}, {{w0_, 1}, {w1_, 4}, {w2_, 2}}},
      {{{w0_, 1}, {w2_, 2}}, {{w2_, 4}}, {{w0_, 1}, {w2_, 6}}},
      {{{w2_, 1}}, {{w0_, 1}, {w1_, 2}}, {{w0_, 1}, {w1_, 2}, {w2_, 1}}},
      {{{w0_, 1}, {w1_, 1}}, {{w1_, 2}, {w2_, 4}}, {{w0_, 1}, {w1_, 3}, {w2_, 4}}},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    const Case& c = cases[i];
    NotifierState s = make(c.self);
    s.combine(make(c.other));
    EXPECT_EQ(pairs_of(s), c.want) << "case " << i;
    EXPECT_EQ(s.combined(), c.want.size() > 1) << "case " << i;
  }
}

TEST_F(NotifierStateTest, CombiningWithItselfChangesNothing) {
  NotifierState single(w0_, 3);
  single.combine(single);
  EXPECT_EQ(pairs_of(single), (Pairs{{w0_, 3}}));
  NotifierState pair = make({{w0_, 1}, {w1_, 2}});
  pair.combine(pair);
  EXPECT_EQ(pairs_of(pair), (Pairs{{w0_, 1}, {w1_, 2}}));
}

TEST_F(NotifierStateTest, ActiveReadsTheWords) {
  EXPECT_TRUE(NotifierState::busy_signal().active());
  EXPECT_FALSE(NotifierState::idle_signal().active());
  EXPECT_FALSE(NotifierState::uninitialized_signal().active());

  NotifierState single(w1_, 4);
  NotifierState combined = make({{w0_, 1}, {w2_, 2}});
  EXPECT_FALSE(single.active());
  EXPECT_FALSE(combined.active());
  *w1_ = 3;  // other bits of the word
  *w2_ = 1;
  EXPECT_FALSE(single.active());
  EXPECT_FALSE(combined.active());
  *w1_ = 4;
  *w2_ = 2;
  EXPECT_TRUE(single.active());
  EXPECT_TRUE(combined.active());
}

TEST_F(NotifierStateTest, CopiesOwnTheirPairs) {
  NotifierState original = make({{w0_, 1}, {w2_, 2}});
  NotifierState copy = original;
  copy.add_word(w1_, 4);
  EXPECT_EQ(pairs_of(original), (Pairs{{w0_, 1}, {w2_, 2}}));
  EXPECT_EQ(pairs_of(copy), (Pairs{{w0_, 1}, {w1_, 4}, {w2_, 2}}));
  copy = original;
  EXPECT_EQ(pairs_of(copy), pairs_of(original));
  NotifierState moved = std::move(copy);
  EXPECT_EQ(pairs_of(moved), (Pairs{{w0_, 1}, {w2_, 2}}));
}

// ---- listeners --------------------------------------------------------------

bool no_work(Task*, void*) { return false; }

void count_call(void* data) { ++*static_cast<int*>(data); }
void other_call(void* data) { *static_cast<int*>(data) += 100; }

class ActiveNotifierTest : public testing::Test {
 protected:
  ActiveNotifierTest() { notifier_.signal() = NotifierState(&word_, 2); }

  uint32_t word_ = 0;
  ActiveNotifier notifier_;
  Task t1_{no_work, nullptr};
  Task t2_{no_work, nullptr};
  Task t3_{no_work, nullptr};
};

TEST_F(ActiveNotifierTest, WakeSetsTheBitAndWakesListenersOnce) {
  int calls = 0;
  EXPECT_EQ(notifier_.add_listener(nullptr, &t1_), 1);
  EXPECT_EQ(notifier_.add_listener(nullptr, &t2_), 1);
  EXPECT_EQ(notifier_.add_listener(count_call, &calls), 1);
  EXPECT_EQ(notifier_.add_listener(nullptr, &t2_), 0);
  EXPECT_EQ(notifier_.add_listener(count_call, &calls), 0);
  EXPECT_EQ(notifier_.add_listener(other_call, &calls), 1);

  notifier_.wake();
  EXPECT_EQ(word_, 2u);
  EXPECT_TRUE(t1_.scheduled());
  EXPECT_TRUE(t2_.scheduled());
  EXPECT_FALSE(t3_.scheduled());
  EXPECT_EQ(calls, 101);

  // Already active: nobody is woken again.
  notifier_.wake();
  EXPECT_EQ(calls, 101);

  notifier_.sleep();
  EXPECT_EQ(word_, 0u);
  EXPECT_FALSE(notifier_.signal().active());
  notifier_.wake();
  EXPECT_EQ(calls, 202);
}

TEST_F(ActiveNotifierTest, SingleListenerIsNotComparedSoATaskMayHaveTwoEntries) {
  EXPECT_EQ(notifier_.add_listener(nullptr, &t1_), 1);
  EXPECT_EQ(notifier_.add_listener(nullptr, &t1_), 1);
  EXPECT_EQ(notifier_.add_listener(nullptr, &t1_), 0);
  // One removal leaves the second entry.
  notifier_.remove_listener(nullptr, &t1_);
  notifier_.wake();
  EXPECT_TRUE(t1_.scheduled());
}

TEST_F(ActiveNotifierTest, RemovedListenersAreNotWoken) {
  int first = 0;
  int second = 0;
  notifier_.add_listener(nullptr, &t1_);
  notifier_.remove_listener(nullptr, &t1_);
  notifier_.add_listener(nullptr, &t2_);  // the single slot again
  notifier_.add_listener(nullptr, &t1_);
  notifier_.add_listener(nullptr, &t3_);
  notifier_.add_listener(count_call, &first);
  notifier_.add_listener(count_call, &second);
  notifier_.remove_listener(nullptr, &t1_);
  notifier_.remove_listener(count_call, &first);
  notifier_.remove_listener(count_call, &t3_);  // no such pair

  notifier_.wake();
  EXPECT_FALSE(t1_.scheduled());
  EXPECT_TRUE(t2_.scheduled());
  EXPECT_TRUE(t3_.scheduled());
  EXPECT_EQ(first, 0);
  EXPECT_EQ(second, 1);

  // The gaps closed: the remaining entries can be removed and re-added.
  notifier_.remove_listener(count_call, &second);
  EXPECT_EQ(notifier_.add_listener(count_call, &first), 1);
  EXPECT_EQ(notifier_.add_listener(nullptr, &t3_), 0);
  EXPECT_EQ(notifier_.add_listener(nullptr, &t1_), 1);
  notifier_.sleep();
  notifier_.wake();
  EXPECT_TRUE(t1_.scheduled());
  EXPECT_EQ(first, 1);
  EXPECT_EQ(second, 1);
}

TEST(NotifierTest, BaseKeepsNoListeners) {
  Notifier n;
  Task t(no_work, nullptr);
  EXPECT_TRUE(n.signal().is_uninitialized());
  EXPECT_EQ(n.add_listener(nullptr, &t), 0);
  n.remove_listener(nullptr, &t);
}

// ---- the upstream walk ------------------------------------------------------

// A configurable element; `notifier` answers port_cast("empty") when
// `notifying` is set.
class Node : public Element {
 public:
  Node(const char* ports, const char* processing, const char* flow = kCompleteFlow,
       const char* flags = "")
      : ports_(ports), processing_(processing), flow_(flow), flags_(flags) {}
  const char* class_name() const override { return "Node"; }
  const char* port_count() const override { return ports_; }
  const char* processing() const override { return processing_; }
  const char* flow_code() const override { return flow_; }
  const char* flags() const override { return flags_; }
  void* port_cast(bool is_output, int port, const char* name) override {
    if (notifying && std::strcmp(name, Notifier::kEmptyNotifier) == 0) return &notifier;
    return Element::port_cast(is_output, port, name);
  }

  bool notifying = false;
  ActiveNotifier notifier;

 private:
  const char* ports_;
  const char* processing_;
  const char* flow_;
  const char* flags_;
};

class UpstreamWalkTest : public testing::Test {
 protected:
  void SetUp() override { NotifierState::static_initialize(); }

  Node* add(Node* n) {
    static int count = 0;
    EXPECT_GE(router_->add_element(n, String("n") + String(count++), "", "conf", 1), 0);
    return n;
  }
  void connect(Node* from, int from_port, Node* to, int to_port) {
    ASSERT_EQ(router_->add_connection(from->eindex(), from_port, to->eindex(), to_port), 0);
  }
  void wire() {
    graph_testing::Lines errh;
    ASSERT_EQ(router_->check_port_numbers(&errh), 0);
    ASSERT_EQ(router_->resolve_processing(&errh), 0);
    ASSERT_EQ(router_->check_connection_use(&errh), 0);
    router_->wire_ports();
    ASSERT_TRUE(errh.lines.empty());
  }
  // src -> store (a push-to-pull notifier) -> middle -> sink, all pulled
  // by sink.
  void build_chain(Node* middle) {
    src_ = add(new Node("0/1", "h"));
    store_ = add(new Node("1/1", "h/l"));
    store_->notifying = true;
    middle_ = add(middle);
    sink_ = add(new Node("1/0", "l"));
    connect(src_, 0, store_, 0);
    connect(store_, 0, middle_, 0);
    connect(middle_, 0, sink_, 0);
    wire();
  }

  std::unique_ptr<Router> router_ = std::make_unique<Router>("");
  Task task_{no_work, nullptr};
  Node* src_ = nullptr;
  Node* store_ = nullptr;
  Node* middle_ = nullptr;
  Node* sink_ = nullptr;
};

TEST_F(UpstreamWalkTest, PullChainFindsTheNotifierAndRegistersTheListener) {
  build_chain(new Node("1/1", "a"));
  EXPECT_TRUE(store_->notifier.signal().is_uninitialized());

  NotifierState s = Notifier::collect_upstream_empty_signal(sink_, &task_);
  // The search handed out the store's bit, set.
  const NotifierState& own = store_->notifier.signal();
  ASSERT_FALSE(own.combined());
  EXPECT_NE(own.word(), &NotifierState::static_value);
  EXPECT_EQ(pairs_of(s), pairs_of(own));
  EXPECT_TRUE(s.active());

  store_->notifier.sleep();
  EXPECT_FALSE(s.active());
  EXPECT_FALSE(task_.scheduled());
  store_->notifier.wake();
  EXPECT_TRUE(s.active());
  EXPECT_TRUE(task_.scheduled());

  // A second search keeps the bit; the single listener slot is not
  // compared, so the task now has an array entry too.
  NotifierState again = Notifier::collect_upstream_empty_signal(sink_, &task_);
  EXPECT_EQ(pairs_of(again), pairs_of(own));
  EXPECT_EQ(store_->notifier.add_listener(nullptr, &task_), 0);
}

TEST_F(UpstreamWalkTest, NothingUpstreamIsIdle) {
  build_chain(new Node("1/1", "a"));
  EXPECT_TRUE(Notifier::collect_upstream_empty_signal(src_, &task_).is_idle());
  Node outside("1/1", "a");
  EXPECT_TRUE(Notifier::collect_upstream_empty_signal(&outside, &task_).is_busy());
}

// How a notifier's search operation and an element's "S" flag steer the walk.
TEST_F(UpstreamWalkTest, SearchOperationsAndFlags) {
  enum Want { kStore, kMiddle, kBoth, kIdle, kBusy };
  struct Case {
    bool notifying;
    int search_op;
    const char* flow;
    const char* flags;
    Want want;
    bool store_listens;
  } cases[] = {
      {true, Notifier::kSearchStop, Element::kCompleteFlow, "", kMiddle, false},
      {true, Notifier::kSearchContinue, Element::kCompleteFlow, "", kBoth, true},
      // The result is the first walk's; the second only adds listeners.
      {true, Notifier::kSearchContinueSecond, Element::kCompleteFlow, "", kMiddle, true},
      {false, 0, Element::kCompleteFlow, "", kStore, true},
      // No flow through the middle: only "S0" says nothing comes from it.
      {false, 0, "x/y", "S0", kIdle, false},
      {false, 0, "x/y", "A S00", kIdle, false},
      {false, 0, "x/y", "S2", kBusy, false},
      {false, 0, "x/y", "A", kBusy, false},
      {false, 0, "x/y", "", kBusy, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.search_op << " " << c.flow << " '" << c.flags << "'");
    router_ = std::make_unique<Router>("");
    Task task(no_work, nullptr);
    Node* middle = new Node("1/1", "a", c.flow, c.flags);
    middle->notifying = c.notifying;
    middle->notifier.set_search_op(c.search_op);
    build_chain(middle);

    NotifierState s = Notifier::collect_upstream_empty_signal(sink_, &task);
    // Both bits come from the "empty" block, in one word.
    const NotifierState& st = store_->notifier.signal();
    const NotifierState& mid = middle_->notifier.signal();
    switch (c.want) {
      case kStore:
        EXPECT_EQ(pairs_of(s), pairs_of(st));
        break;
      case kMiddle:
        EXPECT_EQ(pairs_of(s), pairs_of(mid));
        break;
      case kBoth:
        ASSERT_EQ(st.word(), mid.word());
        EXPECT_EQ(pairs_of(s), (Pairs{{st.word(), st.mask() | mid.mask()}}));
        break;
      case kIdle:
        EXPECT_TRUE(s.is_idle());
        break;
      case kBusy:
        EXPECT_TRUE(s.is_busy());
        break;
    }
    store_->notifier.sleep();
    store_->notifier.wake();
    EXPECT_EQ(task.scheduled(), c.store_listens);
  }
}

TEST_F(UpstreamWalkTest, PushOutputUpstreamMakesItBusyWithNoListener) {
  // sink pulls from a two-input mux: one side the notifier store, the other
  // a converter fed by a push output.
  Node* src = add(new Node("0/1", "h"));
  Node* store = add(new Node("1/1", "h/l"));
  store->notifying = true;
  Node* pusher = add(new Node("0/1", "h"));
  Node* convert = add(new Node("1/1", "h/l"));
  Node* mux = add(new Node("2/1", "l"));
  Node* sink = add(new Node("1/0", "l"));
  connect(src, 0, store, 0);
  connect(store, 0, mux, 0);
  connect(pusher, 0, convert, 0);
  connect(convert, 0, mux, 1);
  connect(mux, 0, sink, 0);
  wire();

  EXPECT_TRUE(Notifier::collect_upstream_empty_signal(sink, &task_).is_busy());
  store->notifier.sleep();
  store->notifier.wake();
  EXPECT_FALSE(task_.scheduled());
}

}  // namespace
