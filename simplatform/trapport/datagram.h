// One datagram the trap port received, from its bytes to the record handed
// to the program.
//
// Every datagram is counted once more after stats().datagrams: in
// malformed, in one of the SNMPv3 security drops (the security model counts
// those), or in delivered. What is answered (an inform's Response, an
// SNMPv3 Report) is sent before anything is delivered, except an inform's
// Response while a state file is kept (a turn flush is set, handover.h):
// that one is made now, held, and sent at the end of the turn, once the
// changes the inform made are on the disk, so that a sender that has its
// Response has no reason to send again.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "../os/net.h"
#include "../snmp/pdurecord.h"

namespace simplatform {

// True when socket is an IPv6 socket that takes IPv4 senders too (as
// IPv4-mapped IPv6 addresses): a dual-stack one.
bool takesMappedIpv4(Socket socket);

// The sender as the program sees it: an IPv4 sender's address, also one
// that reached a dual-stack socket IPv4-mapped; any other sender with only
// its family and port (an IPv4-mapped source that reached an IPv6-only
// socket came over IPv6).
sockaddr_in programAddress(const sockaddr_storage& from, bool dualStack);

// The record to deliver, its PDU built and counted as delivered; null when
// the datagram is dropped. An answer due first goes back to the sender
// through socket; dualStack is takesMappedIpv4(socket).
std::unique_ptr<PduRecord> receiveDatagram(Socket socket, bool dualStack, const uint8_t* data, size_t size,
                                           const sockaddr_storage& from, SockLen fromLength);

// Forgets the Responses held for the end of the turn: their socket is
// about to close.
void dropHeldAnswers();

}  // namespace simplatform
