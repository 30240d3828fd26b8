#include "lib/reservenatports/reservenatports.h"

#include <arpa/inet.h>

#include <cstdarg>
#include <cstdio>

#include "client/lib/cxLog/cxLog.h"
#include "platform/error/win_error.h"
#include "platform/port_reservations/port_reservations.h"

namespace {

constexpr const char* kTag = "natportreserve";

bool ValidRange(int start, int count) {
  return start >= 1025 && count >= 1 && count <= 16383 && start + count <= 65533;
}

uint16_t NetOrder(int start) { return htons(static_cast<uint16_t>(start)); }

// Standard output is a pipe when the command is scripted; flush so the text
// is there even if the process is cut short afterwards.
void Print(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Print(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vprintf(format, args);
  va_end(args);
  std::fflush(stdout);
}

}  // namespace

int ReserveNatPorts(int start, int count) {
  if (!ValidRange(start, count)) {
    CXLOG(kTag, CXLOG_ERROR, "invalid parameters");
    Print("invalid parameters");
    return -1;
  }
  uint16_t startNet = NetOrder(start);
  uint16_t num = static_cast<uint16_t>(count);
  uint64_t token = 0;
  long rc = platform::create_persistent_port_reservation(platform::PortProtocol::kUdp, startNet,
                                                         num, &token);
  if (rc != 0) {
    CXLOG(kTag, CXLOG_ERROR, "Create UdpPortReservation returned error: %ld\n", rc);
    Print("Create UdpPortReservation returned error: %ld\n", rc);
    Print("Error: UDP reservation failed %d num:%d\n", start, count);
    return -1;
  }
  CXLOG(kTag, CXLOG_INFO, "Reserved UDP nat ports from %d num:%d", start, count);
  Print("Reserved UDP nat ports from %d num:%d\n", start, count);

  rc = platform::create_persistent_port_reservation(platform::PortProtocol::kTcp, startNet, num,
                                                    &token);
  if (rc == 0) {
    CXLOG(kTag, CXLOG_INFO, "Reserved TCP nat ports from %d num:%d", start, count);
    Print("Reserved TCP nat ports from %d num:%d", start, count);
    return 0;
  }
  CXLOG(kTag, CXLOG_ERROR, "Create TcpPortReservation returned error: %ld\n", rc);
  Print("Create TcpPortReservation returned error : % ld\n", rc);
  DeleteUdpNatPorts(startNet, count);
  return -1;
}

bool LookupNatPorts(int start, int count) {
  if (!ValidRange(start, count)) {
    CXLOG(kTag, CXLOG_ERROR, "invalid parameters");
    return false;
  }
  uint16_t startNet = NetOrder(start);
  uint16_t num = static_cast<uint16_t>(count);
  uint64_t token = 0;
  long rc = platform::lookup_persistent_port_reservation(platform::PortProtocol::kUdp, startNet,
                                                         num, &token);
  bool udpFound = rc == 0;
  if (!udpFound) {
    CXLOG(kTag, CXLOG_ERROR, "Lookup UdpPortReservation returned error: %ld\n", rc);
  } else {
    CXLOG(kTag, CXLOG_INFO, "Reserved UDP nat ports from %d num:%d", start, count);
  }
  rc = platform::lookup_persistent_port_reservation(platform::PortProtocol::kTcp, startNet, num,
                                                    &token);
  if (rc != 0) {
    CXLOG(kTag, CXLOG_ERROR, "Lookup TcpPortReservation returned error: %ld\n", rc);
    return false;
  }
  CXLOG(kTag, CXLOG_INFO, "Reserved TCP nat ports from %d num:%d", start, count);
  return udpFound;
}

int DeleteUdpNatPorts(uint16_t startNetOrder, int count) {
  // A count that does not fit the 16-bit field would name another range.
  long rc = count < 1 || count > 65535
                ? static_cast<long>(platform::kErrorInvalidParameter)
                : static_cast<long>(platform::delete_persistent_port_reservation(
                      platform::PortProtocol::kUdp, startNetOrder, static_cast<uint16_t>(count)));
  if (rc == 0) return 0;
  CXLOG(kTag, CXLOG_ERROR, "Delete UdpPortReservation returned error: %ld", rc);
  Print("Delete UdpPortReservation returned error: %ld\n", rc);
  return -1;
}

void UninstallNatPorts(int start, int count) {
  if (!ValidRange(start, count)) {
    CXLOG(kTag, CXLOG_ERROR, "invalid parameters");
    return;
  }
  uint16_t startNet = NetOrder(start);
  long rc = platform::delete_persistent_port_reservation(platform::PortProtocol::kTcp, startNet,
                                                         static_cast<uint16_t>(count));
  if (rc != 0) {
    CXLOG(kTag, CXLOG_ERROR, "Delete TcpPortReservation returned error: %ld\n", rc);
    Print("Delete TcpPortReservation returned error: %ld\n", rc);
  } else {
    CXLOG(kTag, CXLOG_INFO, "Deleted reserved TCP nat ports from %d num:%d", start, count);
  }
  if (DeleteUdpNatPorts(startNet, count) == 0) {
    CXLOG(kTag, CXLOG_INFO, "Deleted reserved UDP nat ports from %d num:%d", start, count);
  }
}
