#include "net/udpOffload.h"

#include <netinet/udp.h>
#include <sys/uio.h>

#include <algorithm>
#include <cstring>

namespace {

// The segment size the kernel reported with a received buffer; 0 for a
// single datagram. It is the first control message the kernel writes, so
// it is read even when later ones did not fit.
size_t segmentSizeOf(const msghdr& m)
{
    for (cmsghdr* c = CMSG_FIRSTHDR(&m); c != nullptr; c = CMSG_NXTHDR(const_cast<msghdr*>(&m), c)) {
        if (c->cmsg_level == SOL_UDP && c->cmsg_type == UDP_GRO) {
            int size = 0;
            std::memcpy(&size, CMSG_DATA(c), sizeof(size));
            return size > 0 ? static_cast<size_t>(size) : 0;
        }
    }
    return 0;
}

} // namespace

bool enableUdpGro(int fd)
{
    int on = 1;
    return setsockopt(fd, SOL_UDP, UDP_GRO, &on, sizeof(on)) == 0;
}

bool askForLocalAddress(int sock)
{
    int on = 1;
    return setsockopt(sock, IPPROTO_IP, IP_PKTINFO, &on, sizeof(on)) == 0;
}

void setLocalControl(msghdr& m, tPktInfoControl& control)
{
    m.msg_control = control.bytes;
    m.msg_controllen = sizeof(control.bytes);
}

in_addr receivedAt(const msghdr& m)
{
    in_addr local;
    local.s_addr = htonl(INADDR_ANY);
    if (m.msg_control == nullptr || (m.msg_flags & MSG_CTRUNC) != 0)
        return local;
    for (cmsghdr* c = CMSG_FIRSTHDR(&m); c != nullptr; c = CMSG_NXTHDR(const_cast<msghdr*>(&m), c)) {
        if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
            in_pktinfo info;
            std::memcpy(&info, CMSG_DATA(c), sizeof(info));
            return info.ipi_addr;
        }
    }
    return local;
}

cDatagramWalk::cDatagramWalk(const sReceivedRun& run)
    : mBytes(run.bytes), mLength(run.length), mSegmentSize(run.segmentSize), mOffset(0), mDone(false)
{
}

bool cDatagramWalk::next(const unsigned char*& datagram, size_t& length)
{
    if (mDone)
        return false;
    size_t left = mLength - mOffset;
    length = mSegmentSize == 0 ? left : std::min(left, mSegmentSize);
    datagram = mBytes + mOffset;
    mOffset += length;
    mDone = mOffset >= mLength;
    return true;
}

cGroBatch::cGroBatch() : mBytes(new unsigned char[kGroBatch * kGroBufferSize]) {}

int cGroBatch::receive(int fd)
{
    std::memset(mSenders, 0, sizeof(mSenders));
    std::memset(mHeaders, 0, sizeof(mHeaders));
    for (int i = 0; i < kGroBatch; ++i) {
        mVectors[i].iov_base = mBytes.get() + i * kGroBufferSize;
        mVectors[i].iov_len = kGroBufferSize;
        msghdr& h = mHeaders[i].msg_hdr;
        h.msg_name = &mSenders[i];
        h.msg_namelen = sizeof(mSenders[i]);
        h.msg_iov = &mVectors[i];
        h.msg_iovlen = 1;
        h.msg_control = mControls[i].bytes;
        h.msg_controllen = sizeof(mControls[i].bytes);
    }
    int got = recvmmsg(fd, mHeaders, kGroBatch, MSG_DONTWAIT, nullptr);
    return got < 0 ? 0 : got;
}

sReceivedRun cGroBatch::run(int i) const
{
    const msghdr& h = mHeaders[i].msg_hdr;
    return {mBytes.get() + i * kGroBufferSize, mHeaders[i].msg_len, mSenders[i], receivedAt(h),
            segmentSizeOf(h)};
}
