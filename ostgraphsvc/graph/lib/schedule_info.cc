#include "graph/schedule_info.h"

#include <cstdint>

#include "graph/confparse.h"
#include "graph/element.h"
#include "graph/error_handler.h"
#include "graph/nameinfo.h"
#include "graph/string.h"
#include "graph/vector.h"

namespace {

// Applies one database to the prefixes, longest first, down to the
// database's own context.
void apply_db(NameDB* db, const Vector<String>& prefixes, Vector<int>& values) {
  const int context_length = db->context().length();
  bool found = false;
  for (int i = prefixes.size() - 1; i >= 0; --i) {
    const String& prefix = prefixes[i];
    if (prefix.length() < context_length) return;
    int value;
    if (db->query(prefix.substring(context_length, prefix.length()), &value, sizeof(value))) {
      values[i] = value;
      found = true;
    } else if (found) {
      values[i] = ScheduleInfo::kOne;
    }
  }
}

}  // namespace

int ScheduleInfo::query(Element* element, ErrorHandler* errh) {
  const String name = element->name();
  Vector<String> prefixes;
  prefixes.push_back(String());
  for (int i = 0; i < name.length(); ++i)
    if (name.data()[i] == '/') prefixes.push_back(name.substring(0, i + 1));
  if (name.length() > 0 && name.data()[name.length() - 1] != '/') prefixes.push_back(name);
  Vector<int> values;
  values.resize(prefixes.size(), kOne);

  NameDB* local = NameRegistry::find_db(NameDB::kTicketsType, element);
  for (NameDB* db = local; db != nullptr; db = db->context_parent()) apply_db(db, prefixes, values);
  NameDB* global = NameRegistry::find_db(NameDB::kTicketsType, nullptr);
  if (global != local) {
    for (NameDB* db = global; db != nullptr; db = db->context_parent())
      apply_db(db, prefixes, values);
  }

  int64_t result = values[0];
  for (int i = 1; i < values.size(); ++i)
    if (values[i] != kOne) result = (result * values[i]) >> kFracBits;
  if (result <= kMaxTickets) return static_cast<int>(result);
  if (errh != nullptr)
    errh->warning("ScheduleInfo too high; reduced to %s",
                  cp_fixed_point_to_string(kMaxTickets, kFracBits).c_str());
  return kMaxTickets;
}
