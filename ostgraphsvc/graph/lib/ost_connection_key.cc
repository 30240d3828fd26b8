#include "graph/ost_connection_key.h"

String OstRemoteWANIPLocalIPPair::to_string() const {
  return remote_wan_ip.to_string() + "-" + local_ip.to_string();
}

uint32_t hashcode(const OstRemoteWANIPLocalIPPair& key) {
  const unsigned char* halves[2] = {key.remote_wan_ip.data(), key.local_ip.data()};
  uint32_t h = 0;
  for (const unsigned char* bytes : halves) {
    for (int i = 0; i < 4; ++i) {
      h += bytes[i];
      h += h << 10;
      h ^= h >> 6;
    }
  }
  h += h << 3;
  h ^= h >> 11;
  h += h << 15;
  return h;
}
