// Hash codes of the framework's keys.
//
// `string_hash` is the hash of String keys (a 16-bits-at-a-time mixing hash
// seeded with the length; bytes taken as unsigned). Integer keys hash to their
// own value. Other key types supply a `hashcode(const K&)` of their own,
// found by argument-dependent lookup.
#ifndef GRAPH_HASHCODE_H_
#define GRAPH_HASHCODE_H_

#include <cstdint>
#include <typeinfo>

#include "graph/string.h"

uint32_t string_hash(const char* begin, const char* end);

inline uint32_t hashcode(const String& s) { return string_hash(s.begin(), s.end()); }
inline uint32_t hashcode(int value) { return static_cast<uint32_t>(value); }
inline uint32_t hashcode(unsigned value) { return value; }

// The readable name of a type, for diagnosis ("Pair<String const, int>").
String demangled_type_name(const std::type_info& info);

#endif  // GRAPH_HASHCODE_H_
