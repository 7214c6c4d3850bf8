// The one place where datagrams leave for peers: single datagrams, one
// frame to many peers, and runs of equal-size datagrams cut by the kernel
// (UDP segmentation offload), each from a chosen local address. A broker
// with several addresses answers each peer from the address that peer sent
// to, since a client hears only the address it chose.
#pragma once

#include "log/cWlog.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

// Room for the control message that names a datagram's local address.
struct tPktInfoControl {
    alignas(cmsghdr) char bytes[CMSG_SPACE(sizeof(in_pktinfo))];
};

// Makes m leave from local; INADDR_ANY leaves the choice to the kernel.
void setLocalSource(msghdr& m, tPktInfoControl& control, in_addr local);
// The same as one control message at c, for a caller that sends others too.
void fillLocalSource(cmsghdr* c, in_addr local);

// One datagram to peer from local.
ssize_t sendFrom(int sock, const void* data, size_t len, const sockaddr_in& peer, in_addr local);

// The most a UDP datagram over IPv4 carries, and so the most one segmented
// send may hold.
constexpr size_t kMaxUdpPayload = 65507;
// Datagrams one segmented send may hold: the kernel's limit has been 64
// since the offload appeared (later kernels take more).
constexpr size_t kMaxSegments = 64;

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

// The datagram at data to count peers, from their local addresses, with as
// few sendmmsg calls as the kernel allows; sent[i] is copy i's result
// (bytes, or -1 for a copy that failed and was skipped).
struct sDatagramTarget;
void sendCopies(int sock, const void* data, size_t len, const sDatagramTarget* targets,
                size_t count, ssize_t* sent);
