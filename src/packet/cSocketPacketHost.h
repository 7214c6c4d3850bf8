// cPacketHost on a UDP socket and a TUN device: frames through the TUN
// writer (merged when the device has offload), datagrams through the
// datagram sender. Both descriptors are borrowed; -1 for a device that is
// never written (the table's own sends).
#pragma once

#include "packet/cPacketHost.h"
#include "packet/datagramSender.h"
#include "packet/tunOffloadIo.h"

class cSocketPacketHost : public cPacketHost {
public:
    cSocketPacketHost(int udpSocket, int tunFd, bool tunOffload);

    void putFrame(const char* frame, int n) override;
    void flushFrames() override;
    ssize_t putPacket(const void* data, std::size_t len, const sDatagramTarget& target) override;
    void putCopies(const void* data, std::size_t len, const sDatagramTarget* targets,
                   std::size_t count, ssize_t* sent) override;
    std::size_t putRun(const unsigned char* frames, std::size_t frameSize, std::size_t count,
                       std::size_t lastSize, const sDatagramTarget& target) override;

    // False once the kernel has refused to cut runs on this socket.
    bool segmenting() const { return mRunSender.segmenting(); }

private:
    int mUdpSocket;
    int mTunFd;
    cTunWriter mTunWriter;
    cUdpGsoSender mRunSender;
};
