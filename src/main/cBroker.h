// The daemon's central object: settings shared by both modes, the kernel
// objects of the running mode and the broker's two packet queues.
#pragma once

#include "log/cWlog.h"
#include "queue/cPktQueue.h"

#include <netinet/in.h>

#include <cstdint>
#include <memory>
#include <string>

class cBrokerMode;
class cControlSocket;
class cGroBatch;
class cOperatorView;

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
    // Takes an address that setTunAddress gave back from the device.
    bool removeTunAddress(const in6_addr* address, int prefixLen);
    // One address request on the TUN device (SIOCSIFADDR or SIOCDIFADDR).
    bool changeTunAddress(cControlSocket& control, unsigned long request, const in6_addr* address,
                          int prefixLen, const char* label);
    bool setDefaultRoute();
    // A route for prefix/len straight through the TUN device, made as the
    // default route is (the broker's pool of routed prefixes).
    bool setPrefixRoute(const in6_addr& prefix, int len);
    // Client mode's LAN interface: the routed prefix's ::1 address (one it
    // has already is no failure), taken away when the prefix changes.
    bool setLanAddress(const std::string& name, const in6_addr* address, int prefixLen);
    bool removeLanAddress(const std::string& name, const in6_addr* address, int prefixLen);
    // Whether an interface of that name exists now.
    static bool interfaceExists(const char* name);

    // Broker mode (src/broker).
    bool openUdpSocket();
    // Routed prefixes: the pool checked and its delegation file read (false:
    // the start stops), then its route through the TUN device.
    bool delegationsUsable();
    bool routeDelegations();
    void udpThread();
    void tunThread();
    // One pass of the receive loop: blocks in select until the TUN descriptor
    // or the UDP socket is readable, then moves what it reads onto the queues.
    // With a view, also serves the operator's view and wakes when it asks.
    void receivePass(int nfds, char* buffer, cOperatorView* view = nullptr);

    // The configuration file the daemon runs with (null in tests): it names
    // the status socket.
    void setConfigPath(const char* path) { mConfigPath = path; }

    // Client mode's tunnel-identifier file (src/client).
    unsigned readTunnelId();
    void writeTunnelId(unsigned id);
    // The tunnel key kept beside the identifier ("tunkey", mode 0600);
    // empty when there is none.
    std::string readTunnelKey();
    void writeTunnelKey(const std::string& key);
    // The routed prefix kept beside the identifier ("routedprefix", mode
    // 0644, the prefix and a newline); empty removes the file.
    void writeRoutedPrefix(const std::string& prefix);

    // Settings, as read at construction.
    uint16_t port() const { return mPort; }
    const char* brokerAddress() const { return mBrokerAddress; }
    const in6_addr& prefix() const { return mPrefix; }
    uint8_t prefixLen() const { return mPrefixLen; }
    int maxTunnels() const { return mMaxTunnels; }
    int setupRate() const { return mSetupRate; }
    int tunMtu() const { return mTunMtu; }
    // "quib.broker.delivery" is "broadcast": every frame to every tunnel.
    bool broadcastDelivery() const;
    // "quib.broker.sourcecheck": a client's packets must carry its address.
    bool sourceCheck() const { return mSourceCheck != 0; }
    // "quib.broker.keyfile" and "quib.broker.requirekey".
    const char* keyFile() const { return mKeyFile; }
    bool requireKey() const { return mRequireKey != 0; }
    // Routed prefixes: "quib.broker.delegation" (empty: none),
    // "quib.broker.delegationlen" and "quib.broker.delegationfile";
    // "quib.broker.unreachable": ICMPv6 errors for addresses nobody holds.
    const char* delegationPool() const { return mDelegationPool; }
    int delegationLen() const { return mDelegationLen; }
    const char* delegationFile() const { return mDelegationFile; }
    bool unreachableErrors() const { return mUnreachable != 0; }
    // Client: "quib.client.routedprefix" asks for a routed prefix;
    // "quib.client.lan" (empty: none) is given its ::1 address.
    bool asksRoutedPrefix() const { return mAsksRoutedPrefix != 0; }
    const char* lanInterface() const { return mLanInterface; }
    // The client's files beside its identifier file ("tunkey",
    // "routedprefix").
    std::string statePathBeside(const char* name) const;

    // The kernel objects of the running mode (-1 and empty until opened).
    int tunFd() const { return mTunFd; }
    const std::string& tunName() const { return mTunName; }
    // True when openTun gave the device segmentation offload: every frame
    // read or written then has a virtio-net header (struct virtio_net_hdr,
    // 10 bytes) between the packet-information header and the packet.
    bool tunOffload() const { return mTunOffload; }
    // The UDP socket hands over runs of datagrams (asked for with offload).
    bool udpGro() const { return mUdpGro; }
    // What one read of the TUN device may return.
    std::size_t tunReadSize() const;
    // Both modes, once the socket and the TUN device are open: with the
    // device's offload the socket is asked for runs of datagrams too.
    void askForUdpRuns();
    // The room for one receive of runs (null without them).
    cGroBatch* groBatch() { return mGroBatch.get(); }
    int udpSocket() const { return mUdpSocket; }
    cPktQueue& udpQueue() { return mUdpQueue; }
    cPktQueue& tunQueue() { return mTunQueue; }

    // Test seams: descriptors that stand in for the TUN device and the UDP
    // socket (the caller keeps ownership), and another identifier file.
    void useDescriptors(int tunFd, int udpSocket);
    void useTunnelIdPath(const std::string& path) { mTunIdPath = path; }

private:
    // False, after one error line, when a broker setting is not usable.
    bool brokerSettingsUsable();
    // The TUN settings of both modes: "quib.tun.mtu" and "quib.tun.offload".
    bool tunMtuUsable();
    // "quib.client.lan": an existing interface, set only with
    // "quib.client.routedprefix".
    bool lanSettingUsable();
    bool startWorkers();
    bool loadTunnelKeySecret();
    bool openBrokerView();

    uint16_t mPort;
    const char* mBrokerAddress;
    std::string mTunName;
    int mTunFd;
    // "quib.tun.offload" as written (text kept by cConfig; null when unset,
    // which openTun reads as "auto" only once the relay handles the header).
    const char* mTunOffloadSetting;
    bool mTunOffload;
    in6_addr mPrefix;
    uint8_t mPrefixLen;
    int mUdpSocket;
    cPktQueue mUdpQueue;
    cPktQueue mTunQueue;
    // "quib.broker.maxtunnels", "quib.broker.setuprate", "quib.tun.mtu",
    // "quib.broker.delivery" (text kept by cConfig), "quib.broker.sourcecheck",
    // "quib.broker.keyfile" (text kept by cConfig), "quib.broker.requirekey".
    int mMaxTunnels;
    int mSetupRate;
    int mTunMtu;
    const char* mDelivery;
    int mSourceCheck;
    const char* mKeyFile;
    int mRequireKey;
    const char* mDelegationPool;
    int mDelegationLen;
    const char* mDelegationFile;
    int mUnreachable;
    int mAsksRoutedPrefix;
    const char* mLanInterface;
    std::string mTunIdPath;
    const char* mConfigPath = nullptr;
    // The operator's view of the running mode.
    std::unique_ptr<cOperatorView> mView;
    bool mUdpGro = false;
    std::unique_ptr<cGroBatch> mGroBatch;
    // Broker mode's per-datagram logic, shared by both workers; built by
    // runServer before they start and kept until the process ends.
    cBrokerMode* mMode;
};

extern cBroker* gBroker;

int runDaemon(const char* mode, const char* configPath);

void* udpThreadEntry(void*);
void* tunThreadEntry(void*);
