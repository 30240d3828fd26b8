// Persistent port reservations (TCP and UDP), kept across reboots.
//
// A reservation is a protocol and an exact range [start, start + count). The
// start port is passed in network byte order, as the operating-system calls
// take it. Records are kept one per protocol and range in
// $DOVADOD_ROOT/var/lib/dovadod/port-reservations; after every change the
// kernel list $DOVADOD_SYSROOT/proc/sys/net/ipv4/ip_local_reserved_ports holds
// every recorded range besides what it held, and
// $DOVADOD_ROOT/etc/sysctl.d/90-dovadod-reserved-ports.conf repeats that list
// for the next boot (the file is removed when nothing is recorded).
//
// Every call returns 0 or a Windows error number (also stored as the thread's
// last error):
//   87   count 0, or the range runs past port 65535
//   32   create: the range overlaps a record of the same protocol, or a port
//        the kernel reserves that no record covers
//   1168 lookup/delete: no record of exactly this range and protocol
//   13   the record file is not readable as records (nothing is changed)
// Processes and threads serialise on an exclusive lock of the record file.
#ifndef PLATFORM_PORT_RESERVATIONS_PORT_RESERVATIONS_H_
#define PLATFORM_PORT_RESERVATIONS_PORT_RESERVATIONS_H_

#include <cstdint>
#include <string>

namespace platform {

enum class PortProtocol { kTcp, kUdp };

inline constexpr uint32_t kErrorInvalidData = 13;

// `token` (may be null) receives a value naming the reservation; it carries
// no state the other calls need.
uint32_t create_persistent_port_reservation(PortProtocol protocol, uint16_t start_net_order,
                                            uint16_t count, uint64_t* token);
uint32_t lookup_persistent_port_reservation(PortProtocol protocol, uint16_t start_net_order,
                                            uint16_t count, uint64_t* token);
uint32_t delete_persistent_port_reservation(PortProtocol protocol, uint16_t start_net_order,
                                            uint16_t count);

// Locations, for tests and documentation.
std::string port_reservations_record_path();
std::string kernel_reserved_ports_path();
std::string reserved_ports_sysctl_conf_path();

}  // namespace platform

#endif  // PLATFORM_PORT_RESERVATIONS_PORT_RESERVATIONS_H_
