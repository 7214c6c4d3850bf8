// Creating the TUN device and the frames that come out of it.
#include "tunTest.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

// The whole binary runs in a network namespace of its own.
testing::Environment* const gNet = testing::AddGlobalTestEnvironment(new cPrivateNetwork);

class TunDevice : public cTunTest {};

TEST_F(TunDevice, KernelChosenNameIsKeptAndLogged)
{
    int before = openDescriptorCount();
    ASSERT_TRUE(mBroker.openTun());

    ASSERT_FALSE(mBroker.tunName().empty());
    unsigned index = if_nametoindex(mBroker.tunName().c_str());
    ASSERT_NE(0u, index) << mBroker.tunName();
    char kernelName[IF_NAMESIZE] = "";
    ASSERT_NE(nullptr, if_indextoname(index, kernelName));
    EXPECT_EQ(std::string(kernelName), mBroker.tunName());

    EXPECT_EQ(Records{"INFO cBroker Created Tun '" + mBroker.tunName() + "'"}, mLog.records());

    // Exactly the device's descriptor stays open, read-write and blocking.
    EXPECT_EQ(before + 1, openDescriptorCount());
    int flags = fcntl(mBroker.tunFd(), F_GETFL);
    EXPECT_EQ(O_RDWR, flags & O_ACCMODE);
    EXPECT_EQ(0, flags & O_NONBLOCK);
}

TEST_F(TunDevice, NoDescriptorLeftMeansCloneDeviceReportedAndNothingStored)
{
    sStepReport r = reportOf([&] { return mBroker.openTun(); }, 0);
    EXPECT_FALSE(r.done);
    EXPECT_EQ(perrorLine("Open clonedev:", EMFILE), r.err);
    EXPECT_EQ(-1, mBroker.tunFd());
    EXPECT_EQ("", mBroker.tunName());
    EXPECT_TRUE(mLog.records().empty());
}

TEST_F(TunDevice, FrameRoutedIntoDeviceStartsWithPacketInformationHeader)
{
    ASSERT_TRUE(mBroker.openTun());
    in6_addr own;
    ASSERT_EQ(1, inet_pton(AF_INET6, "2001:db8::1", &own));
    ASSERT_TRUE(mBroker.setTunAddress(&own, 64));

    // A datagram to another host of the prefix leaves through the device.
    int sender = socket(AF_INET6, SOCK_DGRAM, 0);
    ASSERT_GE(sender, 0);
    sockaddr_in6 peer;
    std::memset(&peer, 0, sizeof(peer));
    peer.sin6_family = AF_INET6;
    peer.sin6_port = htons(9);
    ASSERT_EQ(1, inet_pton(AF_INET6, "2001:db8::2", &peer.sin6_addr));
    const char payload[] = "quib";
    // The new address can be bound only once the kernel has finished adding
    // it, a few milliseconds later; unbound, the datagram could leave from
    // ::1 of the loopback interface until then.
    sockaddr_in6 source = peer;
    source.sin6_port = 0;
    source.sin6_addr = own;
    int bound = -1;
    for (int i = 0; i < 200 && bound != 0 && (i == 0 || errno == EADDRNOTAVAIL); ++i) {
        if (i > 0)
            usleep(10000);
        bound = bind(sender, reinterpret_cast<sockaddr*>(&source), sizeof(source));
    }
    ASSERT_EQ(0, bound) << std::strerror(errno);
    ssize_t sent = sendto(sender, payload, 4, 0, reinterpret_cast<sockaddr*>(&peer), sizeof(peer));
    ASSERT_EQ(4, sent) << std::strerror(errno);
    close(sender);

    // The kernel may send its own frames first (router solicitations and
    // the like); look at a bounded number of them.
    unsigned char frame[2048];
    bool found = false;
    for (int i = 0; i < 20 && !found; ++i) {
        pollfd ready = {mBroker.tunFd(), POLLIN, 0};
        ASSERT_EQ(1, poll(&ready, 1, 2000)) << "no frame from the device";
        // With offload the virtio header lies between the two.
        const ssize_t vnet = mBroker.tunOffload() ? 10 : 0;
        ssize_t n = read(mBroker.tunFd(), frame, sizeof(frame));
        ASSERT_GE(n, 44 + vnet);
        // flags 0, then protocol 0x86DD in network order, then the packet.
        ASSERT_EQ(0, frame[0]);
        ASSERT_EQ(0, frame[1]);
        ASSERT_EQ(0x86, frame[2]);
        ASSERT_EQ(0xdd, frame[3]);
        const unsigned char* packet = frame + 4 + vnet;
        ASSERT_EQ(6, packet[0] >> 4);
        found = packet[6] == IPPROTO_UDP && std::memcmp(packet + 24, &peer.sin6_addr, 16) == 0;
        if (found) {
            EXPECT_EQ(0, std::memcmp(packet + 8, &own, 16));
            ASSERT_EQ(4 + vnet + 40 + 8 + 4, n);
            EXPECT_EQ(0, std::memcmp(packet + 48, payload, 4));
        }
    }
    EXPECT_TRUE(found);
}
