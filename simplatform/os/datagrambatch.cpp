// Batches of datagrams: one recvmmsg on Linux, recvfrom in a loop elsewhere.
#include "datagrambatch.h"

#include <string.h>

namespace simplatform {
namespace {

#ifdef __linux__
// Room for the one control message a datagram may come with: the count.
struct alignas(cmsghdr) ControlBuffer {
    uint8_t bytes[CMSG_SPACE(sizeof(uint32_t))];
};

std::optional<uint32_t> dropCountIn(msghdr& header)
{
    for (cmsghdr* c = CMSG_FIRSTHDR(&header); c != nullptr; c = CMSG_NXTHDR(&header, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SO_RXQ_OVFL &&
            c->cmsg_len >= CMSG_LEN(sizeof(uint32_t))) {
            uint32_t count = 0;
            memcpy(&count, CMSG_DATA(c), sizeof count);
            return count;
        }
    }
    return std::nullopt;
}
#endif

}  // namespace

bool askForDropCounts(Socket s)
{
#ifdef __linux__
    int on = 1;
    return setsockopt(s, SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof on) == 0;
#else
    (void)s;
    return false;
#endif
}

struct DatagramBatch::Slots {
    size_t slotBytes;
    // kDatagramBatch slots, one after the other, zeroed when made: all of
    // their memory (4 MiB for the trap port) is in use from the start, so
    // the process does not grow when long datagrams first fill later slots.
    std::unique_ptr<uint8_t[]> buffer;
    sockaddr_storage from[kDatagramBatch];
    SockLen fromLength[kDatagramBatch];
    size_t size[kDatagramBatch];
    std::optional<uint32_t> dropCount[kDatagramBatch];
#ifdef __linux__
    iovec pieces[kDatagramBatch];
    mmsghdr headers[kDatagramBatch];
    ControlBuffer control[kDatagramBatch];
#endif
    explicit Slots(size_t bytes)
        : slotBytes(bytes)
        , buffer(new uint8_t[bytes * kDatagramBatch]())
    {
#ifdef __linux__
        for (int i = 0; i < kDatagramBatch; ++i) {
            pieces[i].iov_base = buffer.get() + static_cast<size_t>(i) * slotBytes;
            pieces[i].iov_len = slotBytes;
            headers[i] = mmsghdr{};
            headers[i].msg_hdr.msg_name = &from[i];
            headers[i].msg_hdr.msg_namelen = sizeof from[i];
            headers[i].msg_hdr.msg_iov = &pieces[i];
            headers[i].msg_hdr.msg_iovlen = 1;
            headers[i].msg_hdr.msg_control = control[i].bytes;
            headers[i].msg_hdr.msg_controllen = sizeof control[i].bytes;
        }
#endif
    }
};

DatagramBatch::DatagramBatch(size_t slotBytes)
    : slots_(std::make_unique<Slots>(slotBytes))
{
}

DatagramBatch::~DatagramBatch() = default;

int DatagramBatch::receive(Socket s)
{
    Slots& b = *slots_;
#ifdef __linux__
    // The headers are made once; the kernel changes only the name, control
    // and message lengths of those it fills, which are put back after.
    int n = ::recvmmsg(s, b.headers, kDatagramBatch, MSG_DONTWAIT, nullptr);
    for (int i = 0; i < n; ++i) {
        msghdr& header = b.headers[i].msg_hdr;
        b.size[i] = b.headers[i].msg_len;
        b.fromLength[i] = header.msg_namelen;
        if (b.fromLength[i] == 0) {
            b.from[i].ss_family = AF_UNSPEC;
        }
        b.dropCount[i] = dropCountIn(header);
        header.msg_namelen = sizeof b.from[i];
        header.msg_controllen = sizeof b.control[i].bytes;
    }
    return n > 0 ? n : -1;
#else
    int n = 0;
    while (n < kDatagramBatch) {
        SockLen length = static_cast<SockLen>(sizeof b.from[n]);
        b.from[n].ss_family = AF_UNSPEC;
        auto got = ::recvfrom(s, reinterpret_cast<char*>(b.buffer.get() + static_cast<size_t>(n) * b.slotBytes),
                              static_cast<int>(b.slotBytes), 0, reinterpret_cast<sockaddr*>(&b.from[n]), &length);
        if (got < 0) {
            break;
        }
        b.fromLength[n] = length;
        b.size[n++] = static_cast<size_t>(got);
    }
    return n > 0 ? n : -1;
#endif
}

const uint8_t* DatagramBatch::bytes(int i) const
{
    return slots_->buffer.get() + static_cast<size_t>(i) * slots_->slotBytes;
}

size_t DatagramBatch::size(int i) const
{
    return slots_->size[i];
}

const sockaddr_storage& DatagramBatch::from(int i) const
{
    return slots_->from[i];
}

SockLen DatagramBatch::fromLength(int i) const
{
    return slots_->fromLength[i];
}

std::optional<uint32_t> DatagramBatch::dropCount(int i) const
{
    return slots_->dropCount[i];
}

}  // namespace simplatform
