// The MTU that openTun gives a new TUN device ("quib.tun.mtu"), read back
// from the kernel, and the failures of that extra step.
#include "tunTest.h"

#include <net/if.h>
#include <unistd.h>

#include <string>

namespace {

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
        EXPECT_EQ(c.mtu, interfaceMtu(broker.tunName())) << c.text;
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
