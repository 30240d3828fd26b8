// ostssl_listener_recorder: an ostssl_listener for tests that records every
// call with a copy of the record's values, and answers on_ostssl_timeout and
// on_ostssl_sock_closed with settable replies. Thread-safe: the transport
// calls it from its connect and wait threads while a test reads it.
#ifndef OSTGRAPHSVC_OSTSSL_OSTSSL_LISTENER_RECORDER_H_
#define OSTGRAPHSVC_OSTSSL_OSTSSL_LISTENER_RECORDER_H_

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "ostgraphsvc/ostssl/ostssl_listener.h"

class ostssl_listener_recorder final : public ostssl_listener {
 public:
  enum class Op { kRead, kClosed, kTimeout, kConnect, kSockClosed };

  // The record's values at the time of the call; texts copied into their own
  // storage.
  struct Call {
    Op op;
    uint32_t path_id;
    std::string peer_id;
    std::string hubgrp_id;
    std::string hub_role;
    std::string protocol_name;
    uint32_t local_ip;
    uint32_t remote_ip;
    int local_port;
    int remote_port;
    int sock;
    uint16_t path_mtu;
    int if_index;
    uint8_t multilink_mode;
  };

  ostssl_listener_recorder() = default;
  ~ostssl_listener_recorder() = default;

  bool on_ostssl_read(ostssl_conn_info* info) override {
    record(Op::kRead, info);
    return true;
  }
  bool on_ostssl_closed(ostssl_conn_info* info) override {
    record(Op::kClosed, info);
    return true;
  }
  bool on_ostssl_timeout(ostssl_conn_info* info) override {
    std::lock_guard<std::mutex> lock(mu_);
    append(Op::kTimeout, info);
    return timeout_answer_;
  }
  bool on_ostssl_connect(ostssl_conn_info* info) override {
    record(Op::kConnect, info);
    return true;
  }
  int on_ostssl_sock_closed(ostssl_conn_info* info) override {
    std::lock_guard<std::mutex> lock(mu_);
    append(Op::kSockClosed, info);
    return sock_closed_answer_;
  }

  void set_timeout_answer(bool answer) {
    std::lock_guard<std::mutex> lock(mu_);
    timeout_answer_ = answer;
  }
  void set_sock_closed_answer(int answer) {
    std::lock_guard<std::mutex> lock(mu_);
    sock_closed_answer_ = answer;
  }
  std::vector<Call> calls() const {
    std::lock_guard<std::mutex> lock(mu_);
    return calls_;
  }

 private:
  static std::string text(const String& s) { return std::string(s.data(), s.length()); }

  void record(Op op, const ostssl_conn_info* info) {
    std::lock_guard<std::mutex> lock(mu_);
    append(op, info);
  }
  void append(Op op, const ostssl_conn_info* info) {
    calls_.push_back(Call{op, info->path_id, text(info->peer_id), text(info->hubgrp_id),
                          text(info->hub_role), text(info->protocol_name), info->local_ip,
                          info->remote_ip, info->local_port, info->remote_port, info->sock,
                          info->path_mtu, info->if_index, info->multilink_mode});
  }

  mutable std::mutex mu_;
  bool timeout_answer_ = true;
  int sock_closed_answer_ = 0;
  std::vector<Call> calls_;
};

#endif  // OSTGRAPHSVC_OSTSSL_OSTSSL_LISTENER_RECORDER_H_
