// What a mode's logic does to the outside, supplied by the run loop that
// drives it: frames for the TUN device and datagrams for peers. The loops
// implement it with the TUN writer and the datagram sender; tests and fuzz
// targets keep what leaves in memory. The logic itself makes no system call.
#pragma once

#include <netinet/in.h>
#include <sys/types.h>

#include <cstddef>

// Where one copy of a datagram goes, and from which local address
// (INADDR_ANY: the kernel chooses).
struct sDatagramTarget {
    const sockaddr_in* to;
    in_addr local;
};

class cPacketHost {
public:
    virtual ~cPacketHost() = default;

    // One frame (packet information first) for the TUN device. With the
    // device's offload it may wait to be merged with the next ones until
    // flushFrames().
    virtual void putFrame(const char* frame, int n) = 0;
    virtual void flushFrames() = 0;

    // One datagram of len bytes to target: the bytes sent, or -1.
    virtual ssize_t putPacket(const void* data, std::size_t len, const sDatagramTarget& target) = 0;
    // The same datagram to count targets, with as few system calls as the
    // kernel allows; sent[i] is the result of copy i (bytes, or -1).
    virtual void putCopies(const void* data, std::size_t len, const sDatagramTarget* targets,
                           std::size_t count, ssize_t* sent) = 0;
    // count datagrams laid end to end in frames (count - 1 of frameSize
    // bytes, then one of lastSize) to target; how many left. At the first
    // failure the rest is dropped.
    virtual std::size_t putRun(const unsigned char* frames, std::size_t frameSize,
                               std::size_t count, std::size_t lastSize,
                               const sDatagramTarget& target) = 0;
};
