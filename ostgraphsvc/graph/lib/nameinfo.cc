#include "graph/nameinfo.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <utility>

#include "graph/confparse.h"
#include "graph/element.h"
#include "graph/framework_qsort.h"
#include "graph/packet.h"

namespace {

constexpr uint32_t anno(uint32_t offset, uint32_t size) { return size * 65536 + offset; }

// Byte order over the shorter length, then the shorter first; for texts
// without NUL bytes this is the C string order of the static tables.
int compare_names(const char* a, size_t alen, const char* b, size_t blen) {
  const int c = std::memcmp(a, b, std::min(alen, blen));
  if (c != 0) return c;
  if (alen == blen) return 0;
  return alen < blen ? -1 : 1;
}

int compare_name_indexes(const void* a, const void* b, void* context) {
  const auto* names = static_cast<const Vector<String>*>(context);
  const String& x = (*names)[*static_cast<const int*>(a)];
  const String& y = (*names)[*static_cast<const int*>(b)];
  return compare_names(x.data(), static_cast<size_t>(x.length()), y.data(),
                       static_cast<size_t>(y.length()));
}

bool is_prefix(const String& prefix, const String& text) {
  return prefix.length() <= text.length() &&
         std::memcmp(prefix.data(), text.data(), static_cast<size_t>(prefix.length())) == 0;
}

// An element's context: its name up to and including the last '/'.
String element_context(const String& name) {
  for (int i = name.length() - 1; i >= 0; --i) {
    if (name[i] == '/') return name.substring(0, i + 1);
  }
  return String();
}

bool query_outward(NameDB* db, const String& name, int* value) {
  for (; db != nullptr; db = db->context_parent()) {
    int found;
    if (db->query(name, &found, sizeof(found))) {
      *value = found;
      return true;
    }
  }
  return false;
}

String reverse_query_outward(NameDB* db, int value) {
  for (; db != nullptr; db = db->context_parent()) {
    String name = db->reverse_query(&value, sizeof(value));
    if (!name.empty()) return name;
  }
  return String();
}

alignas(std::max_align_t) char make_dynamic_tag;

}  // namespace

// Offsets that packet.h names come from there, so the two cannot drift
// apart; the rows only this table knows keep their numbers here.
const StaticNameDB::Entry kAnnotationNames[kAnnotationNameCount] = {
    {"AGGREGATE", anno(kAggregateAnnoOffset, 4)},
    {"DST_IP", anno(kDstIPAnnoOffset, 4)},
    {"DST_IP6", anno(kDstIPAnnoOffset, 16)},
    {"EXTRA_LENGTH", anno(28, 4)},
    {"EXTRA_PACKETS", anno(24, 4)},
    {"FIRST_TIMESTAMP", anno(32, 8)},
    {"FIX_IP_SRC", anno(kFixIPSrcAnnoOffset, 1)},
    {"FWD_RATE", anno(20, 4)},
    {"ICMP_PARAMPROB", anno(kICMPParamProbAnnoOffset, 1)},
    {"IPREASSEMBLER", anno(kIPReassemblerAnnoOffset, 4)},
    {"IPSEC_SA_DATA_REFERENCE", anno(40, 8)},
    {"IPSEC_SPI", anno(32, 4)},
    {"MISC_IP", anno(20, 4)},
    {"PACKET_NUMBER", anno(32, 4)},
    {"PAINT", anno(kPaintAnnoOffset, 1)},
    {"PERFCTR", anno(40, 8)},
    {"REV_RATE", anno(24, 4)},
    {"SEQUENCE_NUMBER", anno(kOverlaySeqAnnoOffset, 4)},
    {"VLAN", anno(kRouteValueAnnoOffset, 2)},
    {"VLAN_TCI", anno(kRouteValueAnnoOffset, 2)},
    {"WIFI_EXTRA", anno(16, 24)},
};

String NameDB::reverse_query(const void*, size_t) { return String(); }

bool NameDB::define(const String&, const void*, size_t) { return false; }

bool StaticNameDB::query(const String& name, void* value, size_t value_size) {
  if (value_size != sizeof(uint32_t) || nentries_ <= 0) return false;
  if (name.empty() ||
      static_cast<unsigned char>(name[0]) < static_cast<unsigned char>(entries_[0].name[0]))
    return false;
  int lo = 0;
  int hi = nentries_;
  while (lo < hi) {
    const int mid = lo + (hi - lo) / 2;
    const Entry& e = entries_[mid];
    const int c =
        compare_names(name.data(), static_cast<size_t>(name.length()), e.name, std::strlen(e.name));
    if (c == 0) {
      std::memcpy(value, &e.value, sizeof(e.value));
      return true;
    }
    if (c < 0) {
      hi = mid;
    } else {
      lo = mid + 1;
    }
  }
  return false;
}

String StaticNameDB::reverse_query(const void* value, size_t value_size) {
  if (value_size != sizeof(uint32_t)) return String();
  uint32_t v;
  std::memcpy(&v, value, sizeof(v));
  for (int i = 0; i < nentries_; ++i) {
    if (entries_[i].value == v) return String(entries_[i].name, -1, nullptr);
  }
  return String();
}

int DynamicNameDB::find_slot(const String& name, bool create) {
  if (lookups_ > 20 && lookups_ != kSorted) sort();
  int index = -1;
  if (lookups_ != kSorted) {
    ++lookups_;
    for (int i = 0; i < names_.size() && index < 0; ++i) {
      if (names_[i] == name) index = i;
    }
  } else {
    int lo = 0;
    int hi = names_.size();
    while (lo < hi && index < 0) {
      const int mid = lo + (hi - lo) / 2;
      const int c = compare_names(name.data(), static_cast<size_t>(name.length()),
                                  names_[mid].data(), static_cast<size_t>(names_[mid].length()));
      if (c == 0) {
        index = mid;
      } else if (c < 0) {
        hi = mid;
      } else {
        lo = mid + 1;
      }
    }
  }
  if (index >= 0) return index;
  if (!create || name.empty()) return -1;

  lookups_ = 0;
  names_.push_back(name);
  const int need = names_.size() * static_cast<int>(value_size());
  if (values_.capacity() < need) values_.reserve(std::max(need, 2 * values_.capacity()));
  values_.resize(need);
  return names_.size() - 1;
}

void DynamicNameDB::sort() {
  const int n = names_.size();
  const size_t size = value_size();
  Vector<int> order;
  order.reserve(n);
  for (int i = 0; i < n; ++i) order.push_back(i);
  framework_qsort(order.data(), static_cast<size_t>(n), sizeof(int), compare_name_indexes, &names_);

  Vector<String> names;
  Vector<unsigned char> values;
  names.reserve(n);
  values.resize(values_.size());
  for (int i = 0; i < n; ++i) {
    names.push_back(names_[order[i]]);
    if (size > 0)
      std::memcpy(values.data() + static_cast<size_t>(i) * size,
                  values_.data() + static_cast<size_t>(order[i]) * size, size);
  }
  names_ = std::move(names);
  values_ = std::move(values);
  lookups_ = kSorted;
}

bool DynamicNameDB::query(const String& name, void* value, size_t value_size) {
  if (value_size != this->value_size()) return false;
  const int slot = find_slot(name, false);
  if (slot < 0) return false;
  if (value_size > 0)
    std::memcpy(value, values_.data() + static_cast<size_t>(slot) * value_size, value_size);
  return true;
}

String DynamicNameDB::reverse_query(const void* value, size_t value_size) {
  if (value_size != this->value_size()) return String();
  for (int i = 0; i < names_.size(); ++i) {
    if (value_size == 0 ||
        std::memcmp(values_.data() + static_cast<size_t>(i) * value_size, value, value_size) == 0)
      return names_[i];
  }
  return String();
}

bool DynamicNameDB::define(const String& name, const void* value, size_t value_size) {
  if (value_size != this->value_size() || name.empty()) return false;
  const int slot = find_slot(name, true);
  if (value_size > 0)
    std::memcpy(values_.data() + static_cast<size_t>(slot) * value_size, value, value_size);
  return true;
}

NameDB* const NameRegistry::kMakeDynamic = reinterpret_cast<NameDB*>(&make_dynamic_tag);
NameRegistry* (*NameRegistry::router_registry)(const Element*) = nullptr;
NameRegistry* NameRegistry::global = nullptr;

NameRegistry::~NameRegistry() {
  // Cleared first, so no database treats the dying tree as its own.
  for (NameDB* db : installed_) db->registry_ = nullptr;
  for (NameDB* db : installed_) delete db;
}

NameDB* NameRegistry::lookup_or_install(uint32_t type, size_t value_size, const String& context,
                                        NameDB* install) {
  int lo = 0;
  int hi = roots_.size();
  while (lo < hi) {
    const int mid = lo + (hi - lo) / 2;
    if (roots_[mid]->type_ < type) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  const bool present = lo < roots_.size() && roots_[lo]->type_ == type;

  NameDB* enclosing = nullptr;
  if (present) {
    for (NameDB* db = roots_[lo]; db != nullptr;) {
      if (is_prefix(db->context_, context)) {
        enclosing = db;
        db = db->context_child_;
      } else {
        db = db->context_sibling_;
      }
    }
    if (enclosing != nullptr && enclosing->context_ == context) return enclosing;
  }
  if (install == nullptr) return enclosing;

  NameDB* db = install == kMakeDynamic ? new DynamicNameDB(type, context, value_size) : install;
  if (!present) {
    roots_.insert(roots_.begin() + lo, db);
    db->registry_ = this;
    installed_.push_back(db);
    return db;
  }
  install_under(enclosing, enclosing != nullptr ? &enclosing->context_child_ : &roots_[lo], db);
  return db;
}

void NameRegistry::install_under(NameDB* parent, NameDB** chain, NameDB* db) {
  db->context_parent_ = parent;
  db->context_sibling_ = *chain;
  *chain = db;
  // Siblings that lie inside the new context become its children.
  for (NameDB** link = &db->context_sibling_; *link != nullptr;) {
    NameDB* sibling = *link;
    if (sibling->context_.length() <= db->context_.length() ||
        !is_prefix(db->context_, sibling->context_)) {
      link = &sibling->context_sibling_;
      continue;
    }
    *link = sibling->context_sibling_;
    sibling->context_parent_ = db;
    sibling->context_sibling_ = db->context_child_;
    db->context_child_ = sibling;
  }
  db->registry_ = this;
  installed_.push_back(db);
}

NameDB* NameRegistry::find_db(uint32_t type, const Element* element) {
  if (element != nullptr && router_registry != nullptr) {
    if (NameRegistry* registry = router_registry(element))
      return registry->lookup_or_install(type, sizeof(int), element_context(element->name()),
                                         nullptr);
  }
  if (global == nullptr) return nullptr;
  return global->lookup_or_install(type, sizeof(int), String(), nullptr);
}

bool NameRegistry::query_int(uint32_t type, const Element* element, const String& name,
                             int* value) {
  if (query_outward(find_db(type, element), name, value)) return true;
  return element != nullptr && query_outward(find_db(type, nullptr), name, value);
}

String NameRegistry::reverse_query_int(uint32_t type, const Element* element, int value) {
  String name = reverse_query_outward(find_db(type, element), value);
  if (!name.empty() || element == nullptr) return name;
  return reverse_query_outward(find_db(type, nullptr), value);
}

void NameRegistry::static_initialize() {
  if (global != nullptr) return;
  global = new NameRegistry;
  global->lookup_or_install(
      NameDB::kAnnotationType, sizeof(uint32_t), String(),
      new StaticNameDB(NameDB::kAnnotationType, String(), kAnnotationNames, kAnnotationNameCount));
}

void NameRegistry::static_cleanup() {
  delete global;
  global = nullptr;
}

bool cp_parse_annotation(int size, const String& text, int* result, ParseContext& context) {
  int value;
  if (!NameRegistry::query_int(NameDB::kAnnotationType, context.context, text, &value)) {
    int status;
    int32_t number;
    if (!cp_parse_int32(&status, text, &number)) return false;
    value = number;
  }
  const uint32_t bits = static_cast<uint32_t>(value);
  const uint32_t offset = bits & 0xFFFF;
  if (size <= 0) {
    if (offset >= 256) return false;
    *result = value;
    return true;
  }
  const uint32_t named_size = bits >> 16;
  if (named_size != 0 && named_size != static_cast<uint32_t>(size)) return false;
  if (offset + static_cast<uint32_t>(size) > 256) return false;
  *result = static_cast<int>(offset);
  return true;
}
