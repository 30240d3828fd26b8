// Persistent NAT port ranges for the command-line mode.
//
// A range is a start port and a count in host order; it is valid when the
// start is at least 1025, the count 1 to 16383, and start + count at most
// 65533. Each range is reserved for UDP first, then TCP. The functions log
// with the tag "natportreserve" and print their outcome to standard output;
// they keep no state (the reservation token is dropped). Any thread; calls
// are serialised by the reservation store itself.
#ifndef LIB_RESERVENATPORTS_RESERVENATPORTS_H_
#define LIB_RESERVENATPORTS_RESERVENATPORTS_H_

#include <cstdint>

// Reserves the range for UDP and TCP. 0 when both reservations exist
// afterwards; -1 otherwise, and a TCP failure removes the UDP reservation
// this call made, so no half range is left behind.
int ReserveNatPorts(int start, int count);

// True only when both a UDP and a TCP reservation of exactly this range exist.
bool LookupNatPorts(int start, int count);

// Removes the UDP reservation; `startNetOrder` is the start port in network
// byte order. 0 or -1.
int DeleteUdpNatPorts(uint16_t startNetOrder, int count);

// The uninstall command: removes the TCP reservation, then (whatever that
// gave) the UDP one.
void UninstallNatPorts(int start, int count);

#endif  // LIB_RESERVENATPORTS_RESERVENATPORTS_H_
