// Discard counts and frees packets. On a pull input it pulls them itself
// from a task, up to BURST per run, and sleeps while the upstream "empty"
// signal says nothing can arrive.
//
// Threads: the graph's thread (the task runs on the router thread).
#ifndef OSTGRAPHSVC_GRAPH_ELEMENTS_STANDARD_DISCARD_H_
#define OSTGRAPHSVC_GRAPH_ELEMENTS_STANDARD_DISCARD_H_

#include <cstdint>

#include "graph/element.h"
#include "graph/notifier.h"
#include "graph/task.h"

class Discard : public Element {
 public:
  Discard() : task_(this) {}

  const char* class_name() const override { return "Discard"; }
  const char* port_count() const override { return "1/0"; }
  const char* processing() const override { return kAgnostic; }
  int configure(Vector<String>& conf, ErrorHandler* errh) override;
  int initialize(ErrorHandler* errh) override;
  void add_handlers() override;
  void push(int port, Packet* p) override;
  bool run_task(Task* task) override;

  uint64_t count() const { return count_; }
  void set_count(uint64_t count) { count_ = count; }
  const Task& task() const { return task_; }

 private:
  static String read_handler(Element* e, void* data);
  static int write_handler(const String& value, Element* e, void* data, ErrorHandler* errh);

  Task task_;
  NotifierState signal_;
  uint64_t count_ = 0;
  uint32_t burst_ = 1;
  bool active_ = true;
};

#endif  // OSTGRAPHSVC_GRAPH_ELEMENTS_STANDARD_DISCARD_H_
