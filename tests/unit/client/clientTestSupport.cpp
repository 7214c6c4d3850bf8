#include "clientTestSupport.h"

#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstdio>

namespace {

bool gPrivate = false;
std::string gWhyNot = "not set up";

// Moves the whole binary into a network namespace of its own, where the
// loopback interface must be brought up before the tests use it.
class cClientNetwork : public testing::Environment {
public:
    void SetUp() override
    {
        if (geteuid() != 0)
            gWhyNot = "not running as root";
        else if (access("/dev/net/tun", R_OK | W_OK) != 0)
            gWhyNot = "/dev/net/tun is missing or not usable";
        else if (unshare(CLONE_NEWNET) != 0)
            gWhyNot = std::string("unshare(CLONE_NEWNET) failed: ") + std::strerror(errno);
        else if (!loopbackUp())
            gWhyNot = "cannot bring up lo in the new namespace";
        else
            gPrivate = true;
        if (!gPrivate)
            std::fprintf(stderr, "\n*** SKIPPING the client's TUN tests: %s ***\n\n",
                         gWhyNot.c_str());
    }

private:
    static bool loopbackUp()
    {
        int fd = socket(AF_INET, SOCK_DGRAM, 0);
        ifreq request;
        std::memset(&request, 0, sizeof request);
        std::strcpy(request.ifr_name, "lo");
        bool ok = fd >= 0 && ioctl(fd, SIOCGIFFLAGS, &request) == 0;
        request.ifr_flags |= IFF_UP;
        ok = ok && ioctl(fd, SIOCSIFFLAGS, &request) == 0;
        if (fd >= 0)
            close(fd);
        return ok;
    }
};

testing::Environment* const gClientNetwork =
    testing::AddGlobalTestEnvironment(new cClientNetwork);

} // namespace

bool inPrivateNetwork()
{
    return gPrivate;
}

const std::string& whyNoPrivateNetwork()
{
    return gWhyNot;
}

int boundSocket(const char* ip, unsigned short port, sockaddr_in& addr)
{
    std::memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    inet_pton(AF_INET, ip, &addr.sin_addr);
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    socklen_t len = sizeof addr;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0
        || getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
        ADD_FAILURE() << "cannot bind a UDP socket on " << ip << ": " << std::strerror(errno);
    return fd;
}

std::string takeDatagram(int fd)
{
    char buffer[4096];
    ssize_t n = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    return n < 0 ? std::string("<none>") : std::string(buffer, n);
}

std::string exampleOffer()
{
    static const char bytes[] = "offer\0tunnelid=7\0ip6prefix=2001:db8::\0ip6prefixlen=64\0"
                                "ip6addr=2001:db8::7\0keepalive=30";
    return std::string(bytes, sizeof bytes); // the final NUL included: 87 bytes
}

void cClientTest::SetUp()
{
    configure("");
    gTunIdPath = mDir.path() + "/tunid";
    mBrokerFd = boundSocket("127.0.0.1", 0, mBrokerAddr);
    mForgerFd = boundSocket("127.0.0.1", 0, mForgerAddr);
    sockaddr_in client;
    mBroker.mUdpSocket = boundSocket("127.0.0.1", 0, client);
    int pair[2] = {-1, -1};
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_DGRAM, 0, pair));
    mBroker.mTunFd = pair[0];
    mTunPeer = pair[1];
    mLog.records();
}

void cClientTest::TearDown()
{
    for (int fd : {mBrokerFd, mForgerFd, mBroker.mUdpSocket, mBroker.mTunFd, mTunPeer})
        if (fd >= 0)
            close(fd);
    gTunIdPath = "/var/lib/quibd/tunid";
}

void cClientTest::configure(const std::string& text)
{
    ASSERT_TRUE(cConfig::load(mDir.write("quibd.conf", text + "\n").c_str()));
}

int cClientTest::deliver(int sender, const std::string& bytes)
{
    sockaddr_in client;
    socklen_t len = sizeof client;
    getsockname(mBroker.mUdpSocket, reinterpret_cast<sockaddr*>(&client), &len);
    sendto(sender, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&client),
           sizeof client);
    char buffer[2048];
    sockaddr_in from;
    std::memset(&from, 0, sizeof from);
    len = sizeof from;
    int n = static_cast<int>(recvfrom(mBroker.mUdpSocket, buffer, sizeof buffer, MSG_DONTWAIT,
                                      reinterpret_cast<sockaddr*>(&from), &len));
    return mBroker.handleClientDatagram(mTunnel, buffer, n, from, mBrokerAddr);
}

void cClientTest::establish()
{
    std::string offer = exampleOffer();
    delete mTunnel.handleMsg(&offer[0], static_cast<int>(offer.size()));
    ASSERT_TRUE(mTunnel.isEstablished());
    mLog.records();
}
