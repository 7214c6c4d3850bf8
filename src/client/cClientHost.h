// What client mode does to the outside besides frames and datagrams, also
// supplied by its run loop: the TUN device's address and route, and the
// files that keep the tunnel's identifier and key across runs.
#pragma once

#include "packet/cPacketHost.h"

#include <netinet/in.h>

#include <string>

class cClientHost : public cPacketHost {
public:
    // The stored identifier (0 when none) and key (empty when none).
    virtual unsigned readTunnelId() = 0;
    virtual std::string readTunnelKey() = 0;
    // A write that fails is reported, and the run goes on without it.
    virtual void writeTunnelId(unsigned id) = 0;
    virtual void writeTunnelKey(const std::string& key) = 0;
    // Each reports its own failure and returns false.
    virtual bool setTunAddress(const in6_addr* address, int prefixLen) = 0;
    virtual bool removeTunAddress(const in6_addr* address, int prefixLen) = 0;
    virtual bool setDefaultRoute() = 0;
};
