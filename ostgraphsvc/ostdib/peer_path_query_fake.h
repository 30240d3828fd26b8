// FakePeerPathQuery: an OstrelPeerPathQuery for tests, answering true for
// the addresses a test marked as having a path, and counting the questions.
#ifndef OSTGRAPHSVC_OSTDIB_PEER_PATH_QUERY_FAKE_H_
#define OSTGRAPHSVC_OSTDIB_PEER_PATH_QUERY_FAKE_H_

#include "graph/ipaddress.h"
#include "graph/vector.h"
#include "ostgraphsvc/ostdib/peer_path_query.h"

class FakePeerPathQuery : public OstrelPeerPathQuery {
 public:
  void set_path(IPAddress address, bool up) {
    for (int i = 0; i < up_.size(); ++i) {
      if (!(up_[i] == address)) continue;
      if (!up) {
        up_[i] = up_.back();
        up_.pop_back();
      }
      return;
    }
    if (up) up_.push_back(address);
  }

  bool peer_has_path(IPAddress address) const override {
    ++questions_;
    for (IPAddress a : up_) {
      if (a == address) return true;
    }
    return false;
  }

  int questions() const { return questions_; }

 private:
  Vector<IPAddress> up_;
  mutable int questions_ = 0;
};

#endif  // OSTGRAPHSVC_OSTDIB_PEER_PATH_QUERY_FAKE_H_
