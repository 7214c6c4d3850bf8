// Moving runs of equal-size datagrams through the UDP socket in one call:
// segmentation offload on send (the kernel cuts one buffer into datagrams)
// and receive offload (the kernel hands over a run of one peer's datagrams
// as one buffer). Every datagram on the wire stays what it was.
#pragma once

#include "packet/datagramSender.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

// Asks the kernel to coalesce the datagrams this socket receives; false
// when it refuses (nothing is logged).
bool enableUdpGro(int fd);

// Asks the kernel to say at which local address each datagram arrived;
// receivedAt reads that from a received message (INADDR_ANY when absent).
bool askForLocalAddress(int sock);
void setLocalControl(msghdr& m, tPktInfoControl& control);
in_addr receivedAt(const msghdr& m);

// One received buffer: a single datagram, or a run of one peer's datagrams
// to one local address, each segmentSize bytes but the last.
struct sReceivedRun {
    const unsigned char* bytes;
    size_t length;
    sockaddr_in sender;
    in_addr local;
    // 0 when the buffer is one datagram.
    size_t segmentSize;
};

// Walks a received run datagram by datagram (an empty single datagram
// included).
class cDatagramWalk {
public:
    explicit cDatagramWalk(const sReceivedRun& run);
    // The next datagram; false after the last one.
    bool next(const unsigned char*& datagram, size_t& length);

private:
    const unsigned char* mBytes;
    size_t mLength;
    size_t mSegmentSize;
    size_t mOffset;
    bool mDone;
};

// Room for one recvmmsg on a socket with receive offload and local
// addresses (askForLocalAddress) on: kGroBatch buffers of 64 KiB on the
// heap (512 KiB, allocated once), each with its sender and control room.
class cGroBatch {
public:
    static constexpr int kGroBatch = 8;
    // Above the largest IPv4 UDP payload, so no run is ever cut.
    static constexpr size_t kGroBufferSize = 65536;

    cGroBatch();
    cGroBatch(const cGroBatch&) = delete;
    cGroBatch& operator=(const cGroBatch&) = delete;

    // Takes what the socket holds, up to kGroBatch buffers, without
    // waiting. Returns how many were filled (0 when none waited or the
    // receive failed); fewer than kGroBatch means the socket was empty.
    int receive(int fd);
    // Buffer i (0..receive() - 1) of the last receive.
    sReceivedRun run(int i) const;

private:
    // Room for the local address and the segment size of one buffer.
    struct sGroControl {
        alignas(cmsghdr) char bytes[CMSG_SPACE(sizeof(in_pktinfo)) + CMSG_SPACE(sizeof(int))];
    };

    std::unique_ptr<unsigned char[]> mBytes;
    sockaddr_in mSenders[kGroBatch];
    sGroControl mControls[kGroBatch];
    iovec mVectors[kGroBatch];
    mmsghdr mHeaders[kGroBatch];
};
