// The service's registry settings and platform helpers.
//
// Free functions that read the service's settings under HKLM
// "SOFTWARE\Corvex\tarn" (64-bit view) and talk to the platform for the rest
// of the service: the work directory, the keep-alive time-out, the
// block-unmanaged device switch, the source-NAT port range, the
// internet-bypass status other client processes read, the network-disconnect
// event another client process waits on, the tunnel adapter's interface index,
// and IPv4 CIDR texts.
//
// Every function reports failure through its result and a log line and never
// throws; an out argument is left alone on failure unless said otherwise. No
// state: any thread may call any function.
#ifndef LIB_TARNUTILS_TARNUTILS_H_
#define LIB_TARNUTILS_TARNUTILS_H_

#include <cstdint>
#include <string>

namespace tarnutil {

// Where the work directory is set: the value `workdir` of this HKLM key.
inline constexpr char kSettingsKey[] = "SOFTWARE\\Corvex\\tarn";
inline constexpr char kWorkDirValue[] = "workdir";

// The `workdir` setting. False when the key or value cannot be read.
bool getWorkDir(std::string* workDir);

// "tarnkatimeoutmsecs" read as a decimal number (leading blanks skipped,
// trailing text ignored). False, with a log line, when it is missing, not a
// number, negative, or beyond a signed 32-bit integer.
bool getKAConfig(unsigned int* timeoutMs);

// True only when "tarnblockunmanaged" under "...\tarn\dc" is exactly "yes"
// and "cxcdcstatus" there is exactly "Unmanaged".
bool isBlockUnmanagedDevice();

// Splits an IPv4 CIDR text: "default" is 0.0.0.0/0; "10.1/16" gives
// "10.1.0.0" and 16; without a prefix, 8 bits per written part ("10" gives
// "10.0.0.0" and 8). Missing parts are filled with "0", the written ones kept
// as written. False for a prefix outside 0-32, for fewer than one or more
// than four parts, or a part that is not a number in 0-255.
bool parseCidr(const std::string& cidr, std::string* address, int* prefix);

// The network address of `address` under `prefix` as dotted decimal
// ("192.168.7.9", 24 gives "192.168.7.0"). Missing or unreadable parts count
// as 0; a prefix of 0 or less masks everything, 32 or more nothing.
std::string prefixToNetworkAddress(const std::string& address, int prefix);

// The mask of `prefix` leading one-bits as dotted decimal (24 gives
// "255.255.255.0"); clamped to 0-32.
std::string prefixToMask(int prefix);

}  // namespace tarnutil

// The interface index of the adapter whose description (interface alias) is
// exactly "WinTun Tunnel", in the calling thread's network namespace. False,
// with `*index` untouched, when there is none or the list cannot be read.
bool GetWinTunInterfaceIndex(unsigned int* index);

// The source-NAT port range from "snatportstart" (searched under
// "SOFTWARE\Corvex\tarn" and its subkeys): "<start>-<start + 499>". Empty,
// with a log line, when the value is missing or the start is not a number in
// 1-65036; the caller then keeps its own default range.
void GetSnatPortRange(std::string* range);

// Records the internet-bypass status ("1", "0" or "") for other client
// processes; false, with a log line, when the setting cannot be written.
bool SetInternetBypassStatus(const std::string& status);

// Sets the network-disconnect event that another client process waits on.
// 0, or the Windows error: 2 when that process is not running.
uint32_t signalNetworkDisconnect();

#endif  // LIB_TARNUTILS_TARNUTILS_H_
