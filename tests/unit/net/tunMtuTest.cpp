// The MTU that openTun gives a new TUN device ("quib.tun.mtu"), read back
// from the kernel, and the failures of that extra step.
#include "tunTest.h"

#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>

namespace {

// The interface's MTU as the kernel reports it, or -1.
int kernelMtu(const std::string& name)
{
    int fd = socket(AF_INET6, SOCK_DGRAM, 0);
    if (fd < 0)
        return -1;
    ifreq request;
    std::memset(&request, 0, sizeof(request));
    std::strncpy(request.ifr_name, name.c_str(), IFNAMSIZ - 1);
    int mtu = ioctl(fd, SIOCGIFMTU, &request) == 0 ? request.ifr_mtu : -1;
    close(fd);
    return mtu;
}

int interfaceCount()
{
    struct if_nameindex* all = if_nameindex();
    if (all == nullptr)
        return -1;
    int count = 0;
    while (all[count].if_index != 0)
        ++count;
    if_freenameindex(all);
    return count;
}

} // namespace

class TunMtu : public cConfiguredTunTest {
protected:
    // Expects openTun to fail at the MTU step with the given stderr line,
    // leaving no device, no descriptor, no log line and both fields unset.
    // spare: the descriptors openTun may still open (-1: no limit).
    void expectMtuStepFails(cBroker& broker, const std::string& stderrLine, int spare)
    {
        int interfaces = interfaceCount();
        sStepReport r = reportOf([&] { return broker.openTun(); }, spare);
        EXPECT_EQ(stderrLine, r.err);
        EXPECT_FALSE(r.done);
        EXPECT_EQ(-1, broker.tunFd());
        EXPECT_EQ("", broker.tunName());
        EXPECT_TRUE(mLog.records().empty());
        EXPECT_EQ(0, r.descriptorsLeft);
        EXPECT_EQ(interfaces, interfaceCount());
    }
};

TEST_F(TunMtu, DeviceComesUpAtItsConfiguredMtu)
{
    const struct {
        const char* text;
        int mtu;
    } cases[] = {{"# no mtu", 1400}, {"quib.tun.mtu = 1280", 1280}, {"quib.tun.mtu = 1500", 1500}};
    for (const auto& c : cases) {
        cBroker& broker = brokerFrom(c.text);
        ASSERT_TRUE(broker.openTun());
        EXPECT_EQ(c.mtu, kernelMtu(broker.tunName())) << c.text;
        EXPECT_EQ(Records{"INFO cBroker Created Tun '" + broker.tunName() + "'"}, mLog.records());
        close(broker.tunFd());
        broker.useDescriptors(-1, -1);
    }
}

TEST_F(TunMtu, KernelRefusalIsReportedAndRemovesTheDevice)
{
    // Below what any interface may have: only the kernel can refuse it here,
    // as the runs refuse it earlier.
    cBroker& broker = brokerFrom("quib.tun.mtu = 60");
    expectMtuStepFails(broker, perrorLine("Set tun mtu", EINVAL), -1);
}

TEST_F(TunMtu, NoDescriptorForTheControlSocketIsReported)
{
    cBroker& broker = brokerFrom("");
    // Enough for the device, none for the MTU request's control socket.
    expectMtuStepFails(broker, perrorLine("ip6 socket()", EMFILE), 1);
}
