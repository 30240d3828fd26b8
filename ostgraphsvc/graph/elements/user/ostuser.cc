#include "ostgraphsvc/graph/elements/user/ostuser.h"

#include <cctype>
#include <cstdio>

#include "graph/packet.h"
#include "graph/router_log.h"
#include "graph/schedule_info.h"

namespace {

OstUser* holder = nullptr;

bool disables(const String& payload) {
  if (payload.length() == 0) return true;
  if (payload.length() != 4) return false;
  static const char kNone[] = "NONE";
  for (int i = 0; i < 4; ++i)
    if (std::toupper(static_cast<unsigned char>(payload.data()[i])) != kNone[i]) return false;
  return true;
}

}  // namespace

OstUser* registered_token_holder() { return holder; }

OstUser::~OstUser() {
  if (holder == this) holder = nullptr;
}

int OstUser::initialize(ErrorHandler*) {
  if (holder == nullptr) holder = this;
  return 0;
}

void OstUser::push(int, Packet* p) {
  const String payload(reinterpret_cast<const char*>(p->data()), static_cast<int>(p->length()));
  const bool changed = !(payload == token);
  if (changed) ++version;
  const int length = static_cast<int>(p->length());
  if (disables(payload)) {
    log_syslog_level(6, "OstUser", __FILE__, __LINE__,
                     "User auth disabled. ctx: %s len: %d ver %u changed :%d", payload.c_str(),
                     length, version, changed ? 1 : 0);
    token = String();
    enabled = 0;
    p->release();
    return;
  }
  enabled = 1;
  token = payload;
  // The token itself stays out of the log.
  log_syslog_level(6, "OstUser", __FILE__, __LINE__,
                   "User auth enabled. len: %d. token updated, ver %u changed %d", length, version,
                   changed ? 1 : 0);
  p->release();
}

int OstTimerSample::initialize(ErrorHandler* errh) {
  const int tickets = ScheduleInfo::query(this, errh);
  if (tickets > 0) {
    task_.initialize(this, true);
    task_.set_tickets(tickets > ScheduleInfo::kMaxTickets ? ScheduleInfo::kMaxTickets : tickets);
  }
  timer_.initialize(this);
  return 0;
}

bool OstTimerSample::run_task(Task*) {
  const Timestamp now = Timestamp::now();
  // The first run has no previous expiry: counting from 0 would replay every
  // second since 1970 back to back.
  const Timestamp base = timer_.expiry().nsec() == 0 ? now : timer_.expiry();
  timer_.schedule_at(base + Timestamp::make_msec(1000));
  const int64_t since = (now - last_run_).msec();
  std::printf("rescheduling after %u ms\n", static_cast<unsigned>(since % 1000));
  std::fflush(stdout);
  last_run_ = now;
  return false;
}
