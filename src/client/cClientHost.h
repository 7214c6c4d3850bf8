// What client mode does to the outside besides frames and datagrams, also
// supplied by its run loop: the TUN device's address and route, the LAN
// interface's address from the routed prefix, and the files that keep the
// tunnel's identifier, key and routed prefix across runs.
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
    // The routed prefix ("PREFIX/LEN") for scripts to read; empty removes
    // the file.
    virtual void writeRoutedPrefix(const std::string& prefix) = 0;
    // Each reports its own failure and returns false.
    virtual bool setTunAddress(const in6_addr* address, int prefixLen) = 0;
    virtual bool removeTunAddress(const in6_addr* address, int prefixLen) = 0;
    virtual bool setDefaultRoute() = 0;
    // The named LAN interface: an address it has already counts as given.
    virtual bool setLanAddress(const std::string& name, const in6_addr* address, int prefixLen) = 0;
    virtual bool removeLanAddress(const std::string& name, const in6_addr* address, int prefixLen) = 0;
};
