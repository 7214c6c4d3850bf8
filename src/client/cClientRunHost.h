// The client run loop's cClientHost: the cBroker's interface steps and
// tunnel files, and frames and datagrams through a packet host that the
// loop hands over once the TUN device is open.
#pragma once

#include "client/cClientHost.h"

class cBroker;

class cClientRunHost : public cClientHost {
public:
    explicit cClientRunHost(cBroker& broker) : mBroker(broker) {}

    // Frames and datagrams go through packets from now on; it is borrowed.
    void usePackets(cPacketHost& packets) { mPackets = &packets; }

    unsigned readTunnelId() override;
    std::string readTunnelKey() override;
    void writeTunnelId(unsigned id) override;
    void writeTunnelKey(const std::string& key) override;
    void writeRoutedPrefix(const std::string& prefix) override;
    bool setTunAddress(const in6_addr* address, int prefixLen) override;
    bool removeTunAddress(const in6_addr* address, int prefixLen) override;
    bool setDefaultRoute() override;
    bool setLanAddress(const std::string& name, const in6_addr* address, int prefixLen) override;
    bool removeLanAddress(const std::string& name, const in6_addr* address, int prefixLen) override;

    void putFrame(const char* frame, int n) override { mPackets->putFrame(frame, n); }
    void flushFrames() override { mPackets->flushFrames(); }
    ssize_t putPacket(const void* data, std::size_t len, const sDatagramTarget& target) override
    {
        return mPackets->putPacket(data, len, target);
    }
    void putCopies(const void* data, std::size_t len, const sDatagramTarget* targets,
                   std::size_t count, ssize_t* sent) override
    {
        mPackets->putCopies(data, len, targets, count, sent);
    }
    std::size_t putRun(const unsigned char* frames, std::size_t frameSize, std::size_t count,
                       std::size_t lastSize, const sDatagramTarget& target) override
    {
        return mPackets->putRun(frames, frameSize, count, lastSize, target);
    }

private:
    cBroker& mBroker;
    cPacketHost* mPackets = nullptr;
};
