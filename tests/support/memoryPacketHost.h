// A cPacketHost that keeps what a mode's logic lets out, in order, for a
// test or fuzz target to read: frames for the TUN device and datagrams with
// their destination and local address.
#pragma once

#include "packet/cPacketHost.h"

#include <netinet/in.h>

#include <string>
#include <vector>

class cMemoryPacketHost : public cPacketHost {
public:
    struct sDatagram {
        std::string bytes;
        sockaddr_in to;
        in_addr local;
    };

    void putFrame(const char* frame, int n) override;
    void flushFrames() override;
    ssize_t putPacket(const void* data, std::size_t len, const sDatagramTarget& target) override;
    void putCopies(const void* data, std::size_t len, const sDatagramTarget* targets,
                   std::size_t count, ssize_t* sent) override;
    std::size_t putRun(const unsigned char* frames, std::size_t frameSize, std::size_t count,
                       std::size_t lastSize, const sDatagramTarget& target) override;

    // Frames written to the device (putFrame), and how often flushFrames ran.
    std::vector<std::string> frames;
    int flushes = 0;
    // Every datagram, a run's one by one.
    std::vector<sDatagram> datagrams;
    // Sends fail (-1, nothing kept) while set.
    bool failSends = false;

    // Takes the datagrams (or frames) kept so far, leaving none.
    std::vector<sDatagram> takeDatagrams();
    std::vector<std::string> takeFrames();
};
