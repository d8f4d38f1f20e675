// Datagrams received together: up to kDatagramBatch in one call, each into
// its own slot of slotBytes. On Linux one recvmmsg takes what is waiting;
// elsewhere recvfrom is called until nothing waits or the batch is full.
// The buffers are made once and reused: receiving allocates nothing.
//
// On Linux a socket may also be asked for the kernel's count of datagrams
// it dropped from the socket's full queue (SO_RXQ_OVFL): each datagram then
// comes with the count as it was when the datagram was queued.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

#include "socket.h"

namespace simplatform {

constexpr int kDatagramBatch = 64;

// Asks the kernel to give each datagram of s the count of datagrams it
// dropped from s's full queue since s was made. False where the system
// cannot tell (any but Linux): then no datagram carries a count.
bool askForDropCounts(Socket s);

class DatagramBatch {
public:
    explicit DatagramBatch(size_t slotBytes);
    ~DatagramBatch();
    DatagramBatch(const DatagramBatch&) = delete;
    DatagramBatch& operator=(const DatagramBatch&) = delete;

    // Receives what waits on s, without waiting: the number of datagrams
    // (at least 1), or -1 when none was received (retryLater() and
    // passingDatagramError() tell why). A failure after the first datagram
    // ends the batch; the datagrams before it are kept.
    int receive(Socket s);
    // The i-th datagram of the last receive: its bytes, its size (a datagram
    // longer than a slot is cut to slotBytes, so a slot one byte larger than
    // the longest acceptable datagram shows an overlong one) and its sender.
    const uint8_t* bytes(int i) const;
    size_t size(int i) const;
    const sockaddr_storage& from(int i) const;
    SockLen fromLength(int i) const;
    // The kernel's drop count that came with the i-th datagram (see
    // askForDropCounts); none when it came without one, as it does while
    // nothing has been dropped.
    std::optional<uint32_t> dropCount(int i) const;

private:
    struct Slots;
    std::unique_ptr<Slots> slots_;
};

}  // namespace simplatform
