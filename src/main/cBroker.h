// The daemon's central object: settings shared by both modes, the kernel
// objects of the running mode and the broker's two packet queues.
#pragma once

#include "broker/cSetupLimiter.h"
#include "log/cWlog.h"
#include "queue/cPktQueue.h"
#include "tunnel/cFloodTally.h"

#include <netinet/in.h>

#include <cstdint>
#include <string>

class cTSPMsg;
class cTunnel;

class cBroker : public cWlog {
public:
    // Reads its settings through cConfig (which must be loaded).
    cBroker();
    virtual ~cBroker();

    cBroker(const cBroker&) = delete;
    cBroker& operator=(const cBroker&) = delete;

    // Broker mode: -1 on a start-up failure, otherwise never returns.
    int runServer();
    // Client mode: -1 on a set-up failure, 0 when the broker stays silent.
    int runClient();

    // Kernel interface steps (src/net).
    bool openTun();
    bool setTunAddress(const in6_addr* address, int prefixLen);
    bool setDefaultRoute();

    // Broker mode (src/broker).
    bool openUdpSocket();
    void udpThread();
    void tunThread();

    // One pass of each broker loop; the loops above and runServer call them.
    // receivePass blocks in select until the TUN descriptor or the UDP socket
    // is readable, then moves what it reads onto the queues.
    void receivePass(int nfds, char* buffer);
    // Takes gTunnelsLock for the whole pass.
    void handleUdpDatagram(char* buffer, int n, const sockaddr_in& sender);
    void handleTunFrame(char* buffer, int n);

    // Size of every broker receive buffer: one whole frame or datagram.
    static constexpr int kFrameBufferSize = 2048;

    // Client mode's tunnel-identifier file (src/client), at gTunIdPath.
    unsigned readTunnelId();
    void writeTunnelId(unsigned id);

    // Client mode's events (src/client). Each returns CLIENT_CONTINUE while
    // the run goes on, or the run's result (-1 or 0) when it must end.
    enum { CLIENT_CONTINUE = 1 };
    // One datagram read from the UDP socket (n < 0: the read failed).
    int handleClientDatagram(cTunnel& tunnel, char* buf, int n, const sockaddr_in& from,
                             const sockaddr_in& broker);
    // One frame read from the TUN device (n < 0: the read failed).
    void handleClientFrame(cTunnel& tunnel, char* buf, int n, const sockaddr_in& broker);
    // Ten seconds without anything to read, or a failed select.
    int handleClientTimeout(cTunnel& tunnel, cTSPMsg& request, const sockaddr_in& broker);
    // One datagram to the broker on the UDP socket; the result is not examined.
    void sendToBroker(const void* data, int len, const sockaddr_in& broker);

    uint16_t mPort;
    const char* mBrokerAddress;
    std::string mTunName;
    int mTunFd;
    in6_addr mPrefix;
    uint8_t mPrefixLen;
    int mUdpSocket;
    cPktQueue mUdpQueue;
    cPktQueue mTunQueue;
    // Flood limits (src/broker): "quib.broker.maxtunnels", checked by
    // runServer and handed to the tunnel table; "quib.broker.setuprate",
    // the offers per second per source address that mSetupLimiter lets go.
    int mMaxTunnels;
    int mSetupRate;
    cSetupLimiter mSetupLimiter;
    // Offers held back by mSetupLimiter (kind 0), summarised at most every 10 s.
    cFloodTally mHeldOffers;
    // "quib.tun.mtu": the MTU openTun gives the TUN device. Both runs refuse
    // a value outside kMinTunMtu..kMaxTunMtu before they create anything.
    int mTunMtu;
    static constexpr int kMinTunMtu = 1280;
    static constexpr int kMaxTunMtu = 1500;
    static constexpr int kDefaultTunMtu = 1400;
    // False, after one error line, when mTunMtu is out of range.
    bool tunMtuUsable();
};

extern cBroker* gBroker;

// Path of the client's tunnel-identifier file; tests point it elsewhere.
extern std::string gTunIdPath;

int runDaemon(const char* mode, const char* configPath);

void* udpThreadEntry(void*);
void* tunThreadEntry(void*);
