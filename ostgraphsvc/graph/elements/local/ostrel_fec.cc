#include "ostgraphsvc/graph/elements/local/ostrel_fec.h"

#include "graph/packet.h"
#include "graph/router_log.h"

int OstrelFec::initialize(ErrorHandler*) {
  log_syslog_level(6, "OstrelFec::initialize", __FILE__, __LINE__, "OstFec: initialize");
  return 0;
}

void OstrelFec::push(int, Packet* p) {
  if (p->replicate_anno() != 0) {
    for (int i = 1; i < noutputs(); ++i) {
      Packet* copy = p->clone();
      if (copy != nullptr) output(i).push(copy);
    }
  }
  output(0).push(p);
}
