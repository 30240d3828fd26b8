// OstUser keeps the user-authentication token that arrives as a packet's
// payload (an IPC command routed to it by the graph), with an enabled flag
// and a change counter. The first OstUser to initialize becomes the process's
// token holder, which the overlay's user-authentication messages read; the
// registration is dropped when that element is destroyed.
//
// OstTimerSample is a diagnostic of the task and timer machinery: its task
// re-arms its timer one second ahead and prints the interval since the last
// run to standard output.
//
// Threads: push, initialize and the holder's readers run on the graph's
// thread; nothing is locked.
#ifndef OSTGRAPHSVC_GRAPH_ELEMENTS_USER_OSTUSER_H_
#define OSTGRAPHSVC_GRAPH_ELEMENTS_USER_OSTUSER_H_

#include <cstdint>

#include "graph/element.h"
#include "graph/task.h"
#include "graph/timer.h"
#include "graph/timestamp.h"

class OstUser : public Element {
 public:
  OstUser() = default;
  ~OstUser() override;

  const char* class_name() const override { return "OstUser"; }
  const char* port_count() const override { return "1/-"; }
  const char* processing() const override { return kPush; }
  int configure(Vector<String>&, ErrorHandler*) override { return 0; }
  int initialize(ErrorHandler* errh) override;
  void push(int port, Packet* p) override;

  // Read by the user-authentication code through the registered holder.
  String token;
  uint8_t enabled = 0;
  uint32_t version = 0;
};

// The registered OstUser; null when none is.
OstUser* registered_token_holder();

class OstTimerSample : public Element {
 public:
  OstTimerSample() : task_(this), timer_(&task_) {}

  const char* class_name() const override { return "OstTimerSample"; }
  const char* port_count() const override { return "0"; }
  const char* processing() const override { return kPush; }
  int configure(Vector<String>&, ErrorHandler*) override { return 0; }
  int initialize(ErrorHandler* errh) override;
  bool run_task(Task* task) override;

 private:
  Task task_;
  Timer timer_;
  Timestamp last_run_;
};

#endif  // OSTGRAPHSVC_GRAPH_ELEMENTS_USER_OSTUSER_H_
