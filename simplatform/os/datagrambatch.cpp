// Batches of datagrams: one recvmmsg on Linux, recvfrom in a loop elsewhere.
#include "datagrambatch.h"

namespace simplatform {

struct DatagramBatch::Slots {
    size_t slotBytes;
    // kDatagramBatch slots, one after the other, zeroed when made: all of
    // their memory (4 MiB for the trap port) is in use from the start, so
    // the process does not grow when long datagrams first fill later slots.
    std::unique_ptr<uint8_t[]> buffer;
    sockaddr_storage from[kDatagramBatch];
    SockLen fromLength[kDatagramBatch];
    size_t size[kDatagramBatch];
#ifdef __linux__
    iovec pieces[kDatagramBatch];
    mmsghdr headers[kDatagramBatch];
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
    // The headers are made once; the kernel changes only the name length and
    // the message length of those it fills, which are put back after.
    int n = ::recvmmsg(s, b.headers, kDatagramBatch, MSG_DONTWAIT, nullptr);
    for (int i = 0; i < n; ++i) {
        b.size[i] = b.headers[i].msg_len;
        b.fromLength[i] = b.headers[i].msg_hdr.msg_namelen;
        if (b.fromLength[i] == 0) {
            b.from[i].ss_family = AF_UNSPEC;
        }
        b.headers[i].msg_hdr.msg_namelen = sizeof b.from[i];
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

}  // namespace simplatform
