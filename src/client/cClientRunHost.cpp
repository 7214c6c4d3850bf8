#include "client/cClientRunHost.h"

#include "main/cBroker.h"

unsigned cClientRunHost::readTunnelId()
{
    return mBroker.readTunnelId();
}

std::string cClientRunHost::readTunnelKey()
{
    return mBroker.readTunnelKey();
}

void cClientRunHost::writeTunnelId(unsigned id)
{
    mBroker.writeTunnelId(id);
}

void cClientRunHost::writeTunnelKey(const std::string& key)
{
    mBroker.writeTunnelKey(key);
}

void cClientRunHost::writeRoutedPrefix(const std::string& prefix)
{
    mBroker.writeRoutedPrefix(prefix);
}

bool cClientRunHost::setTunAddress(const in6_addr* address, int prefixLen)
{
    return mBroker.setTunAddress(address, prefixLen);
}

bool cClientRunHost::removeTunAddress(const in6_addr* address, int prefixLen)
{
    return mBroker.removeTunAddress(address, prefixLen);
}

bool cClientRunHost::setDefaultRoute()
{
    return mBroker.setDefaultRoute();
}

bool cClientRunHost::setLanAddress(const std::string& name, const in6_addr* address, int prefixLen)
{
    return mBroker.setLanAddress(name, address, prefixLen);
}

bool cClientRunHost::removeLanAddress(const std::string& name, const in6_addr* address,
                                      int prefixLen)
{
    return mBroker.removeLanAddress(name, address, prefixLen);
}
