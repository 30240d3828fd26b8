// The hardware inputs of the device id: the BIOS serial number and the
// processor signature (CPUID leaf 1).
//
// The serial is read from the kernel's DMI view under $DOVADOD_SYSROOT, so a
// test points the system root at a fake tree. CPUID goes through the small
// `CpuidSource` interface: the process-wide source is the processor itself
// unless a test has swapped in a `FakeCpuidSource`.
//
// Thread-safe: `bios_serial` has no state; the source pointer is atomic, and a
// test that swaps it keeps its fake alive until it restores the real one.
#ifndef PLATFORM_DEVICE_IDENTITY_DEVICE_IDENTITY_H_
#define PLATFORM_DEVICE_IDENTITY_DEVICE_IDENTITY_H_

#include <cstdint>
#include <string>

namespace platform {

// $DOVADOD_SYSROOT/sys/class/dmi/id/product_serial without surrounding white
// space; empty when it cannot be read (it is readable by root only).
std::string bios_serial();

class CpuidSource {
 public:
  virtual ~CpuidSource() = default;
  // EAX (signature) and EDX (feature flags) of leaf 1. False, with both 0,
  // where the processor has no CPUID.
  virtual bool leaf1(uint32_t* eax, uint32_t* edx) = 0;
};

// The processor executing the call; fails on builds for other than x86.
class HostCpuidSource : public CpuidSource {
 public:
  bool leaf1(uint32_t* eax, uint32_t* edx) override;
};

// Gives back the values it was set to.
class FakeCpuidSource : public CpuidSource {
 public:
  FakeCpuidSource(uint32_t eax, uint32_t edx, bool ok = true) : eax_(eax), edx_(edx), ok_(ok) {}
  void set(uint32_t eax, uint32_t edx, bool ok = true) {
    eax_ = eax;
    edx_ = edx;
    ok_ = ok;
  }
  bool leaf1(uint32_t* eax, uint32_t* edx) override {
    *eax = eax_;
    *edx = edx_;
    return ok_;
  }

 private:
  uint32_t eax_;
  uint32_t edx_;
  bool ok_;
};

// The process-wide source: the host's, or the one a test set.
CpuidSource& cpuid_source();
// Makes `source` (not owned) the process-wide source; nullptr restores the host's.
void set_cpuid_source_for_testing(CpuidSource* source);

}  // namespace platform

#endif  // PLATFORM_DEVICE_IDENTITY_DEVICE_IDENTITY_H_
