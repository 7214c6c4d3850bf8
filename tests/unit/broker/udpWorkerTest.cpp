// The UDP worker's pass: relaying for established tunnels, keepalive echo,
// and the setup exchange with its reply.
#include "brokerHarness.h"

#include <cstring>

class EstablishedTunnelTraffic : public cBrokerHarness {};

TEST_F(EstablishedTunnelTraffic, KeepalivesAreEchoedUnchangedAndNeverReachTun)
{
    cTestSocket client;
    establish(client, "7");

    fromPeer(keepaliveBytes(), client.addr());
    EXPECT_EQ(keepaliveBytes(), sentTo(client));
    fromPeer("k", client.addr());
    EXPECT_EQ("k", sentTo(client));

    EXPECT_EQ("<none>", tunWritten());
    auto records = mLog.records();
    EXPECT_TRUE(inOrder(records, {"DEBUG cBroker Got 4 bytes from the UDP Q", "DEBUG cBroker Echo Keepalive",
                                  "DEBUG cBroker Got 1 bytes from the UDP Q", "DEBUG cBroker Echo Keepalive"}));
    EXPECT_FALSE(has(records, "DEBUG cBroker Forward to TUN"));
}

TEST_F(EstablishedTunnelTraffic, DataWithoutAWholeIpv6PacketNeverReachesTun)
{
    cTestSocket client;
    establish(client, "7");
    std::string ipv4 = ip6Frame("2001:db8::7", "2001:db8::1");
    ipv4[2] = '\x08';
    ipv4[3] = '\x00';
    std::string version4 = ip6Frame("2001:db8::7", "2001:db8::1");
    version4[4] = '\x45';
    // A request from an established endpoint is data too, not answered.
    for (const std::string& data : {std::string("abcde"), ipv4, version4,
                                    tspBytes({"request", "tunnelid=7", "keepalive=30"}),
                                    ip6Frame("2001:db8::7", "2001:db8::1").substr(0, 43)})
        fromPeer(data, client.addr());

    EXPECT_EQ("<none>", tunWritten());
    EXPECT_EQ("<none>", sentTo(client));
    auto records = mLog.records();
    EXPECT_TRUE(has(records, "DEBUG cBroker Dropped 5 bytes from " + client.endpoint() + ": not an IPv6 packet"));
    EXPECT_EQ(5, countStartingWith(records, "DEBUG cBroker Dropped "));
    EXPECT_FALSE(has(records, "DEBUG cBroker Forward to TUN"));
    EXPECT_FALSE(anyStartsWith(records, "INFO cBroker Config msg from "));
    EXPECT_EQ(5u, mMode->refusedData());
}

TEST_F(EstablishedTunnelTraffic, SourceMustBeTheTunnelsAddressUnlessTheCheckIsOff)
{
    cTestSocket a, b;
    establish(a, "7");
    establish(b, "8");
    std::string posing = ip6Frame("2001:db8::8", "2001:db8::1");

    // A client's own router solicitations are no spoofing: a reason apart.
    uint64_t linkLocal = daemonCounters().dropped[DROP_LINK_LOCAL];
    uint64_t spoofed = daemonCounters().dropped[DROP_SPOOFED_SOURCE];
    for (const char* source : {"fe80::1", "febf::2", "::"})
        fromPeer(ip6Frame(source, "ff02::2"), a.addr(), kNow);
    EXPECT_EQ(linkLocal + 3, daemonCounters().dropped[DROP_LINK_LOCAL]);
    EXPECT_EQ(spoofed, daemonCounters().dropped[DROP_SPOOFED_SOURCE]);
    EXPECT_EQ("<none>", tunWritten());

    fromPeer(posing, a.addr(), kNow);
    EXPECT_EQ("<none>", tunWritten());
    EXPECT_EQ(spoofed + 1, daemonCounters().dropped[DROP_SPOOFED_SOURCE]);
    auto records = mLog.records();
    EXPECT_TRUE(has(records, "DEBUG cBroker Dropped 48 bytes from " + a.endpoint()
                                 + ": source is not the tunnel's address"));
    EXPECT_TRUE(has(records, "INFO cBroker Data refused: 0 datagrams without an IPv6 packet and 1 with a "
                             "source other than their tunnel's address since the last report"));

    configure("quib.broker.sourcecheck = 0");
    fromPeer(posing, a.addr());
    EXPECT_EQ(posing, tunWritten());
}

// Unicast delivery hands it to that client alone (a forwarding kernel would
// route a copy written to the TUN device back in); broadcast writes it too.
TEST_F(EstablishedTunnelTraffic, FrameForAnotherClientGoesToThatClientAndInBroadcastToTun)
{
    for (const char* delivery : {"unicast", "broadcast"}) {
        configure(std::string("quib.broker.delivery = ") + delivery);
        cTestSocket a, b;
        establish(a, "7");
        establish(b, "8");
        std::string frame = ip6Frame("2001:db8::7", "2001:db8::8");

        fromPeer(frame, a.addr());

        bool broadcast = std::string(delivery) == "broadcast";
        EXPECT_EQ(broadcast ? frame : "<none>", tunWritten()) << delivery;
        EXPECT_EQ(frame, sentTo(b));
        EXPECT_EQ("<none>", sentTo(a));
        Records records = mLog.records();
        EXPECT_EQ(broadcast, inOrder(records, {"DEBUG cBroker Got 48 bytes from the UDP Q", "DEBUG cBroker Forward to TUN",
                                               "DEBUG cTunnel TX 48 bytes locally forwarded"}));
        EXPECT_TRUE(inOrder(records, {"DEBUG cBroker Got 48 bytes from the UDP Q",
                                      "DEBUG cTunnel TX 48 bytes locally forwarded"}));
    }
}

class SetupFromNewEndpoint : public cBrokerHarness {};

TEST_F(SetupFromNewEndpoint, RequestIsAnsweredWithOfferAndLogged)
{
    cTestSocket client;
    fromPeer(tspBytes({"request", "tunnelid=7", "keepalive=30"}), client.addr());

    EXPECT_EQ(exampleOffer(), sentTo(client));
    auto records = mLog.records();
    auto config = std::find(records.begin(), records.end(), "INFO cBroker Config msg from " + client.endpoint());
    ASSERT_LE(5, records.end() - config);
    EXPECT_EQ(Records({
                  "DEBUG cTSPMsg >>>TSP:",
                  "DEBUG cTSPMsg offer.tunnelid=7.ip6prefix=2001:db8::.ip6prefixlen=64.ip6addr=2001:db8::7.keepalive=30.",
                  "DEBUG cTSPMsg <<<<",
                  "DEBUG cBroker Sent 87 bytes to " + client.endpoint(),
              }),
              Records(config + 1, config + 5));
    EXPECT_EQ("DEBUG cBroker Got 32 bytes from the UDP Q", records.front());
    EXPECT_EQ("<none>", tunWritten());
}

TEST_F(SetupFromNewEndpoint, GarbageMakesNewTunnelAndSendsNothing)
{
    cTestSocket client;
    fromPeer("hello", client.addr());

    EXPECT_EQ("<none>", sentTo(client));
    EXPECT_EQ("<none>", tunWritten());
    auto records = mLog.records();
    EXPECT_FALSE(anyStartsWith(records, "INFO cBroker Config msg from "));
    EXPECT_FALSE(anyStartsWith(records, "DEBUG cBroker Sent "));
    std::lock_guard<std::mutex> hold(gTunnelsLock);
    ASSERT_EQ(1u, gTunnels.size());
    EXPECT_EQ(TUNNEL_NEW, gTunnels.front()->getState());
    EXPECT_EQ(0, std::memcmp(&client.addr(), &gTunnels.front()->getPeer(), sizeof(sockaddr_in)));
    // The pass gave its hold back.
    EXPECT_EQ(0, gTunnels.front()->getRefCount());
}

TEST_F(SetupFromNewEndpoint, FailedReplyIsReportedOnInfoStream)
{
    mHost.failSends = true;
    fromPeer(tspBytes({"request", "tunnelid=7"}), endpoint("127.0.0.1", 0));

    auto records = mLog.records();
    EXPECT_TRUE(inOrder(records, {"INFO cBroker Config msg from 127.0.0.1:0", "INFO cBroker UDP Transmit Error -1"}));
    EXPECT_FALSE(anyStartsWith(records, "DEBUG cBroker Sent "));
}

TEST_F(SetupFromNewEndpoint, OfferLeavesFromTheAddressTheRequestWentTo)
{
    // A broker bound to every address, asked on a second one of them.
    cTestSocket anyAddress("0.0.0.0");
    ASSERT_TRUE(askForLocalAddress(anyAddress.fd()));
    mBroker->useDescriptors(mTun[0], anyAddress.fd());
    cTestSocket client;
    client.sendTo(tspBytes({"request", "tunnelid=7"}), endpoint("127.0.0.2", ntohs(anyAddress.addr().sin_port)));
    char buffer[kFrameBufferSize];
    mBroker->receivePass(std::max(mTun[0], anyAddress.fd()) + 1, buffer);
    sockaddr_in sender{};
    in_addr local{};
    int n = mBroker->udpQueue().pop(buffer, sizeof(buffer), &sender, &local);
    mMode->handleUdpDatagram(mHost, buffer, n, sender, kNow, local);

    ASSERT_EQ(1u, mHost.datagrams.size());
    EXPECT_EQ(0, std::memcmp(&client.addr(), &mHost.datagrams[0].to, sizeof(sockaddr_in)));
    EXPECT_EQ(endpoint("127.0.0.2", 0).sin_addr.s_addr, mHost.datagrams[0].local.s_addr);
}
