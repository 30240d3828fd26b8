#include "client/lib/cxUtils/cxDeviceUtils.h"

#include <openssl/evp.h>

#include <cstdio>
#include <memory>

#include "client/lib/cxLog/cxLog.h"
#include "client/lib/cxUtils/cxRegUtils.h"
#include "platform/device_identity/device_identity.h"
#include "platform/error/win_error.h"
#include "platform/process/process.h"

std::string cxDeviceUid;

namespace {

constexpr const char* kProvisioningKey = "SOFTWARE\\Corvex\\Provisioning\\";
constexpr const char* kProvisionedUidValue = "cxdeviceuidnew";

// The inputs are what the id is made from, and the id keys the IPC payloads:
// the log shows that an input was found, never what it is.
std::string masked(const std::string& text) {
  return "masked, " + std::to_string(text.size()) + " characters";
}

// The 16 digest bytes as "%02hhX" in groups of 8-4-4-4-12.
std::string guidForm(const unsigned char* digest) {
  std::string out;
  char hex[3];
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) out.push_back('-');
    std::snprintf(hex, sizeof(hex), "%02hhX", digest[i]);
    out.append(hex);
  }
  return out;
}

struct MdCtxFree {
  void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};

}  // namespace

bool cxGetDeviceUid() {
  if (cxGetHardwareId()) return true;
  char uid[260] = {};
  uint32_t size = sizeof(uid);
  uint32_t type = platform::registry::kRegNone;
  uint32_t rc = cxRegGetValue(platform::registry::RootKey::kLocalMachine, kProvisioningKey,
                              cxUse64BitRegistryView(), kProvisionedUidValue, uid, &size, &type);
  if (rc == 0) {
    uid[sizeof(uid) - 1] = '\0';
    cxDeviceUid = uid;
    return true;
  }
  CXLOG("cxUtil", CXLOG_ERROR, "cxdeviceuid is empty");
  return false;
}

bool cxGetHardwareId() {
  std::string serial;
  std::string cpuId;
  std::string machineGuid;
  getBiosSerialNumber(&serial);
  cxGetCpuId(&cpuId);
  cxReadMachineGuid(&machineGuid);
  if (serial.empty() && cpuId.empty()) {
    CXLOG("cxUtil", CXLOG_ERROR,
          "Failed to generate hardware ID, due to both BIOS SN and CPU ID are error/empty!");
    return false;
  }
  if (!serial.empty()) CXLOG("cxUtil", CXLOG_INFO, "Serial Id obtained [%s]", masked(serial).c_str());
  if (!cpuId.empty()) CXLOG("cxUtil", CXLOG_INFO, "Processor Id obtained [%s]", masked(cpuId).c_str());
  if (!machineGuid.empty()) {
    CXLOG("cxUtil", CXLOG_INFO, "machine GUID obtained [%s]", masked(machineGuid).c_str());
  }

  std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
  if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_md5(), nullptr) != 1) {
    CXLOG("cxUtil", CXLOG_ERROR, "MD5_Init2 failed");
    return false;
  }
  if (EVP_DigestUpdate(ctx.get(), cpuId.data(), cpuId.size()) != 1 ||
      EVP_DigestUpdate(ctx.get(), serial.data(), serial.size()) != 1 ||
      EVP_DigestUpdate(ctx.get(), machineGuid.data(), machineGuid.size()) != 1) {
    CXLOG("cxUtil", CXLOG_ERROR, "MD5_Update2 failed for generating device id");
    return false;
  }
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(ctx.get(), digest, &length) != 1 || length != 16) {
    CXLOG("cxUtil", CXLOG_ERROR, "MD5_Final2 failed");
    return false;
  }
  cxDeviceUid = guidForm(digest);
  return true;
}

bool getBiosSerialNumber(std::string* serial) {
  *serial = platform::bios_serial();
  if (serial->empty()) {
    CXLOG("cxUtil", CXLOG_ERROR, "Serial number is empty");
    return false;
  }
  return true;
}

bool cxGetCpuId(std::string* cpuId) {
  uint32_t eax = 0;
  uint32_t edx = 0;
  if (!platform::cpuid_source().leaf1(&eax, &edx) || (eax == 0 && edx == 0)) {
    CXLOG("cxUtil", CXLOG_ERROR, "Could not get processor id");
    return false;
  }
  char text[17];
  std::snprintf(text, sizeof(text), "%08X%08X", edx, eax);
  *cpuId = text;
  return true;
}

bool cxGetProcessName(uint32_t pid, std::string* name, bool fullPath) {
  if (pid == 4) {
    *name = "System";
    return true;
  }
  std::string path;
  if (!platform::process_image_path(pid, &path)) {
    uint32_t error = platform::last_error();
    if (error == platform::kErrorFileNotFound) {
      CXLOG("cxUtils", CXLOG_ERROR, "Failed to open process for pid %d, error %d",
            static_cast<int>(pid), static_cast<int>(error));
    } else {
      CXLOG("cxUtils", CXLOG_ERROR, "Failed to get process name for pid %d, error %d",
            static_cast<int>(pid), static_cast<int>(error));
    }
    return false;
  }
  if (fullPath) {
    *name = path;
    return true;
  }
  size_t slash = path.find_last_of("\\/");
  *name = slash == std::string::npos ? path : path.substr(slash + 1);
  return true;
}

uint32_t cxGetAdapterAddresses(int family, std::vector<platform::Adapter>* adapters) {
  uint32_t rc = platform::list_adapters(family, adapters);
  if (rc != 0) {
    CXLOG("cxUtil", CXLOG_ERROR, "GetAdapterAddresses() failed with error: %d",
          static_cast<int>(rc));
  }
  return rc;
}
