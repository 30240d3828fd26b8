// Device id, process name and adapter list.
//
// The device id is the IPC payload key material: an MD5 over the processor
// id, the BIOS serial and the machine GUID in 8-4-4-4-12 form, or the
// provisioned value "cxdeviceuidnew" when the hardware gives nothing. Neither
// the id nor its inputs are ever logged.
//
// `cxDeviceUid` is written by `cxGetDeviceUid` without a lock: callers
// serialise those calls (the message codec holds its own mutex). The other
// functions are stateless and may run on any thread.
#ifndef CLIENT_LIB_CXUTILS_CXDEVICEUTILS_H_
#define CLIENT_LIB_CXUTILS_CXDEVICEUTILS_H_

#include <cstdint>
#include <string>
#include <vector>

#include "platform/adapters/adapters.h"

// Empty until `cxGetDeviceUid` succeeds; then stays for the process's life.
extern std::string cxDeviceUid;

// Sets `cxDeviceUid` from the hardware id, else from the provisioned value;
// false when neither is there.
bool cxGetDeviceUid();

// Computes the hardware id into `cxDeviceUid`.
bool cxGetHardwareId();

// The BIOS (DMI product) serial number; false when there is none.
bool getBiosSerialNumber(std::string* serial);

// CPUID leaf 1 as EDX then EAX, each as 8 upper-case hex digits.
bool cxGetCpuId(std::string* cpuId);

// The image of process `pid`: its full path with `fullPath`, else only the
// file name. Pid 4 is "System".
bool cxGetProcessName(uint32_t pid, std::string* name, bool fullPath);

// The adapters with their unicast addresses of `family` (AF_UNSPEC, AF_INET
// or AF_INET6), in index order. 0 or the Win32 code of the failure.
uint32_t cxGetAdapterAddresses(int family, std::vector<platform::Adapter>* adapters);

#endif  // CLIENT_LIB_CXUTILS_CXDEVICEUTILS_H_
