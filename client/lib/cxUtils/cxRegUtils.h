// Registry access for the rest of the process, over the settings store.
//
// A recursive search for a value under an HKLM key tree, a typed read in a
// chosen view, the internet-bypass status writer, the upgrade-in-progress
// test, the machine GUID and the choice of the registry view. Failures are
// logged with the tag "registry" ("cxUtils" for the processor helpers) and
// returned as Win32 codes or false; nothing throws. Stateless: any thread may
// call any function.
#ifndef CLIENT_LIB_CXUTILS_CXREGUTILS_H_
#define CLIENT_LIB_CXUTILS_CXREGUTILS_H_

#include <cstdint>
#include <string>

#include "platform/registry/registry.h"

// Searches HKLM\`keyPath` (64-bit view) and every key below it, depth first,
// for the value `valueName` (case-insensitive). 0: found and copied; 8: found
// but larger than *size (needed size and type stored, nothing copied); 1168:
// nowhere; any other code: a key could not be opened or read.
uint32_t cxRegFindValue(const char* keyPath, const char* valueName, void* data, uint32_t* size,
                        uint32_t* type);

// Reads a value of HKLM\`subKey` in the view `view` (1: 64-bit, else 32-bit)
// with any type; strings come back zero-terminated.
uint32_t cxRegGetValue(platform::registry::RootKey root, const char* subKey, int view,
                       const char* valueName, void* data, uint32_t* size, uint32_t* type);

// Writes "tarninternetbypass" under "SOFTWARE\Corvex\tarn\sse" unless it
// already holds `text`.
uint32_t cxRegSetInternetBypass(int view, const char* text);

// True when "UpgradeInProgress" under the product key is a non-zero DWORD.
bool cxIsUpgradeInProgress();

// The machine GUID text (32-bit view first, then 64-bit).
bool cxReadMachineGuid(std::string* guid);

// The view flag callers should use: 1 (64-bit) unless this is a 32-bit
// process on a native x86 system.
int cxUse64BitRegistryView();

// "x86", "ARM", "IA64", "x64", "ARM64" or "unknown".
void cxGetProcessorArchitecture(std::string* architecture);

#endif  // CLIENT_LIB_CXUTILS_CXREGUTILS_H_
