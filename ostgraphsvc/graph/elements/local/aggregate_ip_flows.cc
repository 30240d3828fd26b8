#include "ostgraphsvc/graph/elements/local/aggregate_ip_flows.h"

#include <atomic>

namespace {

std::atomic<AggregateIPFlows*> g_process_flows{nullptr};

}  // namespace

void AggregateNotifier::add_listener(AggregateListener* listener) {
  for (AggregateListener* l : listeners_) {
    if (l == listener) return;
  }
  listeners_.push_back(listener);
}

void AggregateNotifier::remove_listener(AggregateListener* listener) {
  Vector<AggregateListener*> kept;
  for (AggregateListener* l : listeners_) {
    if (l != listener) kept.push_back(l);
  }
  listeners_ = std::move(kept);
}

void AggregateNotifier::notify(uint32_t aggregate_id, AggregateEvent event,
                               AggregateFlowRecord* record, const Packet* p) {
  for (int i = 0; i < listeners_.size(); ++i)
    listeners_[i]->notify_flow_event(aggregate_id, event, record, p);
}

AggregateIPFlows::~AggregateIPFlows() {
  AggregateIPFlows* self = this;
  g_process_flows.compare_exchange_strong(self, nullptr);
  for (AggregateFlowRecord* r : records_) delete r;
}

AggregateFlowRecord* AggregateIPFlows::record(uint32_t index) {
  if (index == 0 || index > record_count()) return nullptr;
  return records_[static_cast<int>(index - 1)];
}

uint32_t AggregateIPFlows::add_record(uint32_t aggregate_id) {
  if (record_count() >= kMaxRecords) return 0;
  auto* r = new AggregateFlowRecord;
  r->aggregate_id = aggregate_id;
  records_.push_back(r);
  return record_count();
}

void AggregateIPFlows::register_process_instance() {
  AggregateIPFlows* none = nullptr;
  g_process_flows.compare_exchange_strong(none, this);
}

AggregateIPFlows* AggregateIPFlows::process_instance() {
  return g_process_flows.load(std::memory_order_acquire);
}
