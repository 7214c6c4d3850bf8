#include "tunnelTableReset.h"

#include "tunnel/cTunnel.h"
#include "tunnel/tunnelTable.h"

void resetTunnelTable()
{
    std::lock_guard<std::mutex> hold(gTunnelsLock);
    for (cTunnel* t : gTunnels)
        delete t;
    gTunnels.clear();
    setSharedPrefix(in6_addr{}, 64);
    setSharedKeepalive(0);
}
