// Client mode's logic for the events of its loop: a datagram from the UDP
// socket, a frame from the TUN device, a quiet interval and any other pass.
// It owns the client's tunnel and request and knows the broker's endpoint;
// it reaches the TUN device, the broker, the LAN interface and the tunnel
// files only through the host its run loop supplies, and makes no system
// call itself. Its lines go to streams of the category "cBroker", as the
// run's own do.
#pragma once

#include "client/cClientHost.h"
#include "log/cWlog.h"
#include "packet/frameRun.h"
#include "tunnel/cTunnel.h"

#include <netinet/in.h>

#include <memory>
#include <string>
#include <vector>

class cTSPMsg;
struct sStatusSnapshot;

// What the client reads of its TUN device once it is open.
struct sClientDevice {
    // Reads carry a virtio header and may hold several wire frames.
    bool offload = false;
    // "quib.tun.mtu", which cuts such reads into frames.
    int mtu = 0;
};

class cClientMode : public cWlog {
public:
    // Each event returns CLIENT_CONTINUE while the run goes on, or the run's
    // result (-1 or 0) when it must end.
    enum { CLIENT_CONTINUE = 1 };
    // How long the link may be quiet before the client acts: a keepalive, a
    // setup again, a request again.
    static constexpr int kQuietSeconds = 10;

    // Every now is nanoseconds of CLOCK_MONOTONIC; the quiet interval and the
    // keepalive count whole seconds of it.
    // The client tunnel, made at now, with the stored identifier and the
    // configured keepalive ("quib.client.keepalive"), asking for a routed
    // prefix when "quib.client.routedprefix" says so.
    cClientMode(cClientHost& host, const sockaddr_in& brokerEndpoint, long long now);
    ~cClientMode();

    cClientMode(const cClientMode&) = delete;
    cClientMode& operator=(const cClientMode&) = delete;

    // Builds the request and sends it once, at now, the device being open.
    void start(const sClientDevice& device, long long now);
    // n < 0: the read failed.
    int onDatagram(char* buf, int n, const sockaddr_in& from, long long now);
    // Frames for the broker are gathered into runs while a wake-up reads.
    void onFrame(const char* buf, int n);
    // After a wake-up's reads: frames for the TUN device that wait to be
    // merged are written, and gathered frames are sent to the broker.
    void flushTunWrites();
    void sendGatheredFrames();
    // Ten seconds without anything to read, or a failed select: the step
    // that is due is taken at once.
    int onQuiet(long long now);
    // Any other pass of the loop: the same step, once its own quiet interval
    // has passed, since outbound frames keep the select from timing out.
    int onPass(long long now);

    cTunnel& tunnel() { return *mTunnel; }

    // True once the first setup ran to its end: the offer taken, the TUN
    // device configured and the accept sent.
    bool hasSetUp() const { return mSetUp; }
    // The client's part of the status view at now.
    void fillStatus(sStatusSnapshot& status, long long now) const;
    // One line for the service manager: "tunnel ADDRESS up" or "setting up".
    std::string summary() const;

private:
    std::unique_ptr<cTunnel> newTunnel(long long now, unsigned id, const std::string& key) const;
    bool fromBroker(const sockaddr_in& from) const;
    void relayToTun(char* buf, int n);
    // The tunnel that the setup exchange runs on.
    cTunnel& setupTunnel() { return mRenewal ? *mRenewal : *mTunnel; }
    bool forRenewal(const char* buf, int n) const;
    int exchange(char* buf, int n, long long now);
    int takeOffer(long long now);
    int configureTun();
    void takeRoutedPrefix();
    void configureLan(const std::string& prefix);
    int takeStep(long long now, bool quiet);
    void sendRequest(long long now);
    void retrySetup(long long now);
    void sendKeepalive(long long now);
    void setUpAgain(long long now);
    // Every datagram to the broker leaves after the frames gathered before it.
    void sendToBroker(const void* data, int len);
    void sendDatagram(const void* data, int len);
    sDatagramTarget toBroker() const { return sDatagramTarget{&mBrokerEndpoint, in_addr{}}; }
    void sendFrameToBroker(const char* frame, int n);
    void sendFramesOfRead(const char* buf, int n);
    void sendRunToBroker(const unsigned char* frames, const sWireFrames& cut);

    cClientHost& mHost;
    sockaddr_in mBrokerEndpoint;
    sClientDevice mDevice;
    std::unique_ptr<cTunnel> mTunnel;
    std::unique_ptr<cTSPMsg> mRequest;
    unsigned mKeepalive;
    bool mAsksRoutedPrefix;
    // "quib.client.lan" (empty: none), and the address from the routed
    // prefix it was given, once it was.
    std::string mLan;
    bool mLanConfigured = false;
    in6_addr mLanAddress{};
    int mLanPrefixLen = 0;
    // False from an accept until the broker's next datagram: a setup again
    // in between says the accept was lost.
    bool mHeardSinceAccept;
    // When the last request left, and the last keepalive that nothing from
    // the broker has followed yet (-1: none waits).
    long long mRequestAt = 0;
    long long mKeepaliveAt = -1;
    // Setting up again beside the established tunnel, which carries the
    // frames until the new one takes its place.
    std::unique_ptr<cTunnel> mRenewal;
    // The address the TUN device was given, once it was.
    bool mTunConfigured;
    in6_addr mTunAddress;
    int mTunPrefixLen = 0;
    bool mSetUp = false;
    // Traffic with the broker across setups, and when it was last heard
    // (-1: never).
    cTunnel::tTraffic mTraffic;
    long long mLastHeard = -1;
    long long mStarted = 0;
    // With the TUN device's offload: its reads cut into wire frames, sent
    // in runs.
    std::vector<unsigned char> mFrames;
    cFrameRun mGathered;
};
