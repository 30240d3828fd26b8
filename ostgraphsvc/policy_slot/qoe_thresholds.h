// The QoE thresholds of the traffic classes: for each class code 0 to 4
// ("auto", "voice", "video", "transactional", "bulk") a caution and an
// unusable value for latency and jitter (milliseconds) and loss (percent).
//
// The policy build writes them from the policy's class-of-service table or,
// when it has none, from the threshold file through `load_qoe_thresholds`;
// the overlay's path evaluation reads the loss values.
//
// Threads: written by the policy element's configure (before packets flow)
// and reconfigure (on the packet thread), read on the packet thread. No lock.
#ifndef OSTGRAPHSVC_POLICY_SLOT_QOE_THRESHOLDS_H_
#define OSTGRAPHSVC_POLICY_SLOT_QOE_THRESHOLDS_H_

struct qoe_class_threshold {
  int latency_caution;
  int latency_unusable;
  int jitter_caution;
  int jitter_unusable;
  double loss_caution;
  double loss_unusable;
};

inline constexpr int kQoeClassCount = 5;

extern qoe_class_threshold qoe_class_thresholds[kQoeClassCount];

// Puts back the values the process starts with (for tests).
void reset_qoe_class_thresholds();

// Reads "$DOVADOD_ROOT/opt/ostrel/etc/config/qoe_thresholds.json" ("qoe" ->
// class -> metric -> level) into classes 1 to 4; a value the file does not
// give keeps the one there was. 0, or -1 after "JSON config parse failed"
// (router_chatter) when the file cannot be read or parsed: nothing changes.
int load_qoe_thresholds();

#endif  // OSTGRAPHSVC_POLICY_SLOT_QOE_THRESHOLDS_H_
