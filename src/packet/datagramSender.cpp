#include "packet/datagramSender.h"

#include "packet/cPacketHost.h"

#include <netinet/udp.h>
#include <sys/uio.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

// Room for the segment size and the local address of one send.
struct sSegmentControl {
    alignas(cmsghdr) char bytes[CMSG_SPACE(sizeof(uint16_t)) + CMSG_SPACE(sizeof(in_pktinfo))];
};

bool anyLocal(in_addr local)
{
    return local.s_addr == htonl(INADDR_ANY);
}

void fillSegmentSize(cmsghdr* c, uint16_t segmentSize)
{
    c->cmsg_level = SOL_UDP;
    c->cmsg_type = UDP_SEGMENT;
    c->cmsg_len = CMSG_LEN(sizeof(segmentSize));
    std::memcpy(CMSG_DATA(c), &segmentSize, sizeof(segmentSize));
}

void address(msghdr& m, const sockaddr_in& to, iovec& bytes)
{
    m.msg_name = const_cast<sockaddr_in*>(&to);
    m.msg_namelen = sizeof(to);
    m.msg_iov = &bytes;
    m.msg_iovlen = 1;
}

// The errors by which a kernel, a socket or a route says it does not cut
// datagrams; anything else is a failure of this one send.
bool isRefusal(int err)
{
    return err == EIO || err == EINVAL || err == ENOPROTOOPT || err == EOPNOTSUPP;
}

} // namespace

void setLocalSource(msghdr& m, tPktInfoControl& control, in_addr local)
{
    if (local.s_addr == htonl(INADDR_ANY)) {
        m.msg_control = nullptr;
        m.msg_controllen = 0;
        return;
    }
    std::memset(&control, 0, sizeof(control));
    m.msg_control = control.bytes;
    m.msg_controllen = sizeof(control.bytes);
    fillLocalSource(CMSG_FIRSTHDR(&m), local);
}

void fillLocalSource(cmsghdr* c, in_addr local)
{
    c->cmsg_level = IPPROTO_IP;
    c->cmsg_type = IP_PKTINFO;
    c->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
    in_pktinfo info;
    std::memset(&info, 0, sizeof(info));
    info.ipi_spec_dst = local;
    std::memcpy(CMSG_DATA(c), &info, sizeof(info));
}

ssize_t sendFrom(int sock, const void* data, size_t len, const sockaddr_in& peer, in_addr local)
{
    iovec bytes = {const_cast<void*>(data), len};
    msghdr m;
    std::memset(&m, 0, sizeof(m));
    m.msg_name = const_cast<sockaddr_in*>(&peer);
    m.msg_namelen = sizeof(peer);
    m.msg_iov = &bytes;
    m.msg_iovlen = 1;
    tPktInfoControl control;
    setLocalSource(m, control, local);
    return sendmsg(sock, &m, 0);
}

ssize_t sendSegmented(int fd, const void* data, size_t len, uint16_t segmentSize,
                      const sockaddr_in& to, in_addr local, int& err)
{
    if (segmentSize == 0 || len > kMaxUdpPayload
        || (len + segmentSize - 1) / segmentSize > kMaxSegments) {
        err = EMSGSIZE;
        return -1;
    }
    iovec bytes = {const_cast<void*>(data), len};
    msghdr m;
    std::memset(&m, 0, sizeof(m));
    address(m, to, bytes);
    sSegmentControl control;
    std::memset(&control, 0, sizeof(control));
    m.msg_control = control.bytes;
    m.msg_controllen = CMSG_SPACE(sizeof(segmentSize));
    fillSegmentSize(CMSG_FIRSTHDR(&m), segmentSize);
    if (!anyLocal(local)) {
        fillLocalSource(reinterpret_cast<cmsghdr*>(control.bytes + m.msg_controllen), local);
        m.msg_controllen += CMSG_SPACE(sizeof(in_pktinfo));
    }
    ssize_t sent = sendmsg(fd, &m, 0);
    err = sent < 0 ? errno : 0;
    return sent;
}

cUdpGsoSender::cUdpGsoSender() : cWlog("cBroker"), mMode(eGsoMode::untried) {}

size_t cUdpGsoSender::sendRun(int fd, const unsigned char* frames, size_t frameSize, size_t count,
                              size_t lastSize, const sockaddr_in& to, in_addr local)
{
    if (count == 0 || lastSize == 0 || lastSize > frameSize || frameSize > kMaxUdpPayload)
        return 0;
    size_t sent = 0;
    if (kernelSegments(fd)) {
        bool refused = false;
        sent = sendSegments(fd, frames, frameSize, count, lastSize, to, local, refused);
        if (!refused)
            return sent;
    }
    return sent + sendPlain(fd, frames + sent * frameSize, frameSize, count - sent, lastSize, to, local);
}

// A kernel older than the offload would ignore the segment size and send
// the whole buffer as one datagram, so the socket is asked once before the
// first run.
bool cUdpGsoSender::kernelSegments(int fd)
{
    eGsoMode mode = mMode.load();
    if (mode != eGsoMode::untried)
        return mode == eGsoMode::segmenting;
    int size = 0;
    socklen_t sizeLen = sizeof(size);
    if (getsockopt(fd, SOL_UDP, UDP_SEGMENT, &size, &sizeLen) < 0) {
        turnPlain(errno);
        return false;
    }
    mMode.compare_exchange_strong(mode, eGsoMode::segmenting);
    return mMode.load() == eGsoMode::segmenting;
}

void cUdpGsoSender::turnPlain(int err)
{
    // Only the thread that makes the change says so.
    if (mMode.exchange(eGsoMode::plain) != eGsoMode::plain)
        mInfo << "UDP segmentation offload refused (" << std::strerror(err)
              << "), sending datagrams one by one" << std::endl;
}

size_t cUdpGsoSender::sendSegments(int fd, const unsigned char* first, size_t frameSize,
                                   size_t count, size_t lastSize, const sockaddr_in& to,
                                   in_addr local, bool& refused)
{
    const size_t perSend = std::min(kMaxSegments, kMaxUdpPayload / frameSize);
    size_t sent = 0;
    while (sent < count) {
        size_t n = std::min(count - sent, perSend);
        size_t bytes = (n - 1) * frameSize + (sent + n == count ? lastSize : frameSize);
        int err = 0;
        ssize_t done = sendSegmented(fd, first + sent * frameSize, bytes,
                                     static_cast<uint16_t>(frameSize), to, local, err);
        if (done < 0) {
            refused = isRefusal(err);
            if (refused)
                turnPlain(err);
            errno = err;
            return sent;
        }
        sent += n;
    }
    return sent;
}

size_t cUdpGsoSender::sendPlain(int fd, const unsigned char* first, size_t frameSize, size_t count,
                                size_t lastSize, const sockaddr_in& to, in_addr local)
{
    mmsghdr headers[kMaxSegments];
    iovec vectors[kMaxSegments];
    tPktInfoControl controls[kMaxSegments];
    size_t sent = 0;
    while (sent < count) {
        size_t n = std::min(count - sent, kMaxSegments);
        std::memset(headers, 0, sizeof(headers));
        for (size_t i = 0; i < n; ++i) {
            size_t index = sent + i;
            vectors[i].iov_base = const_cast<unsigned char*>(first + index * frameSize);
            vectors[i].iov_len = index + 1 == count ? lastSize : frameSize;
            address(headers[i].msg_hdr, to, vectors[i]);
            setLocalSource(headers[i].msg_hdr, controls[i], local);
        }
        // A partial count leaves the failing datagram first in the next
        // call, which then fails and ends the run.
        int done = sendmmsg(fd, headers, static_cast<unsigned>(n), 0);
        if (done <= 0)
            break;
        sent += static_cast<size_t>(done);
    }
    return sent;
}

void sendCopies(int sock, const void* data, size_t len, const sDatagramTarget* targets,
                size_t count, ssize_t* sent)
{
    iovec bytes = {const_cast<void*>(data), len};
    mmsghdr messages[kMaxSegments];
    tPktInfoControl controls[kMaxSegments];
    for (size_t first = 0; first < count; first += kMaxSegments) {
        size_t n = std::min(count - first, kMaxSegments);
        std::memset(messages, 0, sizeof(messages));
        for (size_t i = 0; i < n; ++i) {
            msghdr& m = messages[i].msg_hdr;
            address(m, *targets[first + i].to, bytes);
            setLocalSource(m, controls[i], targets[first + i].local);
        }
        for (size_t done = 0; done < n;) {
            int got = sendmmsg(sock, messages + done, static_cast<unsigned>(n - done), 0);
            if (got <= 0) {
                // The first copy of this call failed: the next call goes on after it.
                sent[first + done++] = -1;
                continue;
            }
            for (size_t i = done; i < done + static_cast<size_t>(got); ++i)
                sent[first + i] = static_cast<ssize_t>(messages[i].msg_len);
            done += static_cast<size_t>(got);
        }
    }
}
