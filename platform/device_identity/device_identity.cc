#include "platform/device_identity/device_identity.h"

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

#include <atomic>
#include <fstream>

#include "platform/fs/paths.h"

namespace platform {
namespace {

// DMI strings are short; a larger file under a fake root is not a serial.
constexpr std::streamsize kMaxSerialBytes = 4096;

std::atomic<CpuidSource*> g_cpuid_override{nullptr};

bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

}  // namespace

std::string bios_serial() {
  std::ifstream in(under_sysroot("/sys/class/dmi/id/product_serial"), std::ios::binary);
  if (!in) return std::string();
  std::string text(kMaxSerialBytes, '\0');
  in.read(text.data(), kMaxSerialBytes);
  if (in.bad()) return std::string();
  text.resize(static_cast<size_t>(in.gcount()));
  size_t begin = 0;
  while (begin < text.size() && is_space(text[begin])) ++begin;
  size_t end = text.size();
  while (end > begin && is_space(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

bool HostCpuidSource::leaf1(uint32_t* eax, uint32_t* edx) {
  *eax = 0;
  *edx = 0;
#if defined(__x86_64__) || defined(__i386__)
  unsigned int a = 0, b = 0, c = 0, d = 0;
  if (__get_cpuid(1, &a, &b, &c, &d) == 0) return false;
  *eax = a;
  *edx = d;
  return true;
#else
  return false;
#endif
}

CpuidSource& cpuid_source() {
  static HostCpuidSource host;
  CpuidSource* override_source = g_cpuid_override.load(std::memory_order_acquire);
  return override_source != nullptr ? *override_source : host;
}

void set_cpuid_source_for_testing(CpuidSource* source) {
  g_cpuid_override.store(source, std::memory_order_release);
}

}  // namespace platform
