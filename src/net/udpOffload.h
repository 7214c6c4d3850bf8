// Moving runs of equal-size datagrams through the UDP socket in one call:
// segmentation offload on send (the kernel cuts one buffer into datagrams)
// and receive offload (the kernel hands over a run of one peer's datagrams
// as one buffer). Every datagram on the wire stays what it was.
#pragma once

#include "log/cWlog.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

// The most a UDP datagram over IPv4 carries, and so the most one segmented
// send may hold.
constexpr size_t kMaxUdpPayload = 65507;
// Datagrams one segmented send may hold: the kernel's limit has been 64
// since the offload appeared (later kernels take more).
constexpr size_t kMaxSegments = 64;

// Asks the kernel to coalesce the datagrams this socket receives; false
// when it refuses (nothing is logged).
bool enableUdpGro(int fd);

// One sendmsg of len bytes cut into datagrams of segmentSize (the last one
// may be shorter), to `to` from local (INADDR_ANY: the kernel chooses).
// A run longer than kMaxUdpPayload, of more than kMaxSegments datagrams or
// with segmentSize 0 is not sent (EMSGSIZE). Returns the bytes sent, or
// -1 with err set to errno.
ssize_t sendSegmented(int fd, const void* data, size_t len, uint16_t segmentSize,
                      const sockaddr_in& to, in_addr local, int& err);

// Sends runs of datagrams on one socket (one sender per socket), cut by
// the kernel while it accepts that. Its first refusal turns the sender to
// one datagram per message for good, with one INFO line of category
// "cBroker"; the refused run goes out that way at once. Safe to share
// between threads.
class cUdpGsoSender : public cWlog {
public:
    cUdpGsoSender();

    // Sends count datagrams laid end to end in frames: count - 1 of
    // frameSize bytes, then one of lastSize (1..frameSize), to `to` from
    // local. Returns how many left; at the first failure the rest is
    // dropped and errno says why.
    size_t sendRun(int fd, const unsigned char* frames, size_t frameSize, size_t count,
                   size_t lastSize, const sockaddr_in& to, in_addr local);

    // False once the kernel has refused the offload on this socket.
    bool segmenting() const { return mMode.load() != eGsoMode::plain; }

private:
    enum class eGsoMode { untried, segmenting, plain };

    bool kernelSegments(int fd);
    void turnPlain(int err);
    // Sends count datagrams of the run from first on; returns how many left
    // (the whole run, or what left before the first failure).
    size_t sendSegments(int fd, const unsigned char* first, size_t frameSize, size_t count,
                        size_t lastSize, const sockaddr_in& to, in_addr local, bool& refused);
    size_t sendPlain(int fd, const unsigned char* first, size_t frameSize, size_t count,
                     size_t lastSize, const sockaddr_in& to, in_addr local);

    std::atomic<eGsoMode> mMode;
};

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
