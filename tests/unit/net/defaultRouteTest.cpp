// The IPv6 default route straight through the TUN device.
#include "tunTest.h"

#include <arpa/inet.h>

#include <sstream>
#include <string>
#include <vector>

class DefaultRoute : public cTunTest {
protected:
    // Opens the device, optionally with an address (which brings it up).
    void openDevice(bool up)
    {
        ASSERT_TRUE(mBroker.openTun());
        if (up) {
            in6_addr address;
            ASSERT_EQ(1, inet_pton(AF_INET6, "2001:db8:7::1", &address));
            ASSERT_TRUE(mBroker.setTunAddress(&address, 64));
        }
        mLog.records();
    }
    sStepReport setRoute(int spare = -1)
    {
        return reportOf([&] { return mBroker.setDefaultRoute(); }, spare);
    }
    // The step's one record: its line for the device name.
    void expectInfoLine(const std::string& name)
    {
        EXPECT_EQ(Records{"INFO cBroker Setting default route on dev " + name}, mLog.records());
    }
};

namespace {

const std::string kZero(32, '0');

// The /proc/net/ipv6_route fields of a default route without gateway:
// destination, its length, source, its length, next hop, metric; then the
// flags, which come after the reference and use counters.
bool isDefaultRoute(const std::string& line, const std::string& metric, const std::string& flags)
{
    std::istringstream words(line);
    std::string dst, dstLen, src, srcLen, hop, routeMetric, refs, use, routeFlags;
    words >> dst >> dstLen >> src >> srcLen >> hop >> routeMetric >> refs >> use >> routeFlags;
    return dst == kZero && dstLen == "00" && src == kZero && srcLen == "00" && hop == kZero
        && routeMetric == metric && routeFlags == flags;
}

} // namespace

TEST_F(DefaultRoute, RouteWithMetric1024PointsStraightAtTheDevice)
{
    openDevice(true);
    const std::string& name = mBroker.tunName();
    sStepReport r = setRoute();
    EXPECT_TRUE(r.done);
    EXPECT_EQ("", r.err);
    expectInfoLine(name);
    int matches = 0;
    for (const std::string& line : interfaceRoutes(name))
        if (isDefaultRoute(line, "00000400", "00000001"))
            ++matches;
    EXPECT_EQ(1, matches) << "routes on " << name;
    EXPECT_EQ(0, r.descriptorsLeft);
}

TEST_F(DefaultRoute, WithoutDeviceNameItFailsAtTheIndexAfterItsInfoLine)
{
    sStepReport r = setRoute();
    EXPECT_FALSE(r.done);
    EXPECT_EQ(perrorLine("get if index", ENODEV), r.err);
    expectInfoLine("");
    EXPECT_EQ(0, r.descriptorsLeft);
}

TEST_F(DefaultRoute, DeviceThatIsDownIsRefusedByTheKernel)
{
    openDevice(false);
    const std::string& name = mBroker.tunName();
    sStepReport r = setRoute();
    EXPECT_FALSE(r.done);
    EXPECT_EQ(0u, r.err.find("SIOCADDRT failed: ")) << r.err;
    expectInfoLine(name);
    EXPECT_TRUE(interfaceRoutes(name).empty());
    EXPECT_EQ(0, r.descriptorsLeft);
}

TEST_F(DefaultRoute, NoControlSocketIsReportedAfterTheInfoLine)
{
    openDevice(true);

    sStepReport r = setRoute(0);
    EXPECT_FALSE(r.done);
    EXPECT_EQ(perrorLine("ip6 socket()", EMFILE), r.err);
    expectInfoLine(mBroker.tunName());
}
