// Windows error numbers for the code above the platform layer.
//
// Callers compare and log Win32 and Winsock error numbers (2 not found, 5 access
// denied, 10035 would block, ...). Every platform module turns a failed call's
// errno into one of them here and stores it as the calling thread's last error,
// which `last_error()` returns in place of GetLastError / WSAGetLastError.
// Thread-safe: the last error is thread-local.
#ifndef PLATFORM_ERROR_WIN_ERROR_H_
#define PLATFORM_ERROR_WIN_ERROR_H_

#include <cerrno>
#include <cstdint>

namespace platform {

inline constexpr uint32_t kErrorSuccess = 0;
inline constexpr uint32_t kErrorInvalidFunction = 1;
inline constexpr uint32_t kErrorFileNotFound = 2;
inline constexpr uint32_t kErrorPathNotFound = 3;
inline constexpr uint32_t kErrorTooManyOpenFiles = 4;
inline constexpr uint32_t kErrorAccessDenied = 5;
inline constexpr uint32_t kErrorInvalidHandle = 6;
inline constexpr uint32_t kErrorNotEnoughMemory = 8;
inline constexpr uint32_t kErrorNotSameDevice = 17;
inline constexpr uint32_t kErrorWriteProtect = 19;
inline constexpr uint32_t kErrorGenFailure = 31;
inline constexpr uint32_t kErrorSharingViolation = 32;
inline constexpr uint32_t kErrorNotSupported = 50;
inline constexpr uint32_t kErrorFileExists = 80;
inline constexpr uint32_t kErrorInvalidParameter = 87;
inline constexpr uint32_t kErrorBrokenPipe = 109;
inline constexpr uint32_t kErrorDiskFull = 112;
inline constexpr uint32_t kErrorDirNotEmpty = 145;
inline constexpr uint32_t kErrorBusy = 170;
inline constexpr uint32_t kErrorAlreadyExists = 183;
inline constexpr uint32_t kErrorEnvvarNotFound = 203;
inline constexpr uint32_t kErrorFilenameExcedRange = 206;
inline constexpr uint32_t kErrorMoreData = 234;
inline constexpr uint32_t kErrorNoMoreItems = 259;
inline constexpr uint32_t kErrorDirectory = 267;
inline constexpr uint32_t kErrorIoDevice = 1117;
inline constexpr uint32_t kErrorNotFound = 1168;
inline constexpr uint32_t kErrorTimeout = 1460;
inline constexpr uint32_t kWsaEintr = 10004;
inline constexpr uint32_t kWsaEbadf = 10009;
inline constexpr uint32_t kWsaEacces = 10013;
inline constexpr uint32_t kWsaEinval = 10022;
inline constexpr uint32_t kWsaEmfile = 10024;
inline constexpr uint32_t kWsaEwouldblock = 10035;
inline constexpr uint32_t kWsaEinprogress = 10036;
inline constexpr uint32_t kWsaEalready = 10037;
inline constexpr uint32_t kWsaEnotsock = 10038;
inline constexpr uint32_t kWsaEdestaddrreq = 10039;
inline constexpr uint32_t kWsaEmsgsize = 10040;
inline constexpr uint32_t kWsaEprotonosupport = 10043;
inline constexpr uint32_t kWsaEafnosupport = 10047;
inline constexpr uint32_t kWsaEaddrinuse = 10048;
inline constexpr uint32_t kWsaEaddrnotavail = 10049;
inline constexpr uint32_t kWsaEnetdown = 10050;
inline constexpr uint32_t kWsaEnetunreach = 10051;
inline constexpr uint32_t kWsaEconnaborted = 10053;
inline constexpr uint32_t kWsaEconnreset = 10054;
inline constexpr uint32_t kWsaEnobufs = 10055;
inline constexpr uint32_t kWsaEisconn = 10056;
inline constexpr uint32_t kWsaEnotconn = 10057;
inline constexpr uint32_t kWsaEshutdown = 10058;
inline constexpr uint32_t kWsaEtimedout = 10060;
inline constexpr uint32_t kWsaEconnrefused = 10061;
inline constexpr uint32_t kWsaEhostunreach = 10065;

// The Windows error number for an errno value; 0 for 0, and the general failure
// (31) for values that have no counterpart.
uint32_t win_error_from_errno(int err);

// The calling thread's last error.
uint32_t last_error();
void set_last_error(uint32_t code);

// Stores the mapping of `err` as the last error and returns it.
uint32_t set_last_error_from_errno(int err = errno);

// The Winsock number of a failed socket call's errno (WSAGetLastError's view):
// EAGAIN 10035, ECONNRESET and EPIPE 10054, EBADF and ENOTSOCK 10038; any other
// value as win_error_from_errno maps it.
uint32_t wsa_error_from_errno(int err);

// Stores the socket mapping of `err` as the last error and returns it.
uint32_t set_last_socket_error_from_errno(int err = errno);

// The system's message text for a Windows error number, as logs show it
// ("Access is denied."); "Unknown error." for numbers without one.
const char* win_error_text(uint32_t code);

}  // namespace platform

#endif  // PLATFORM_ERROR_WIN_ERROR_H_
