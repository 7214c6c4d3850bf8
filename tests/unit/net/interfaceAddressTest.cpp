// Giving the TUN device its IPv6 address and bringing it up.
#include "tunTest.h"

#include <arpa/inet.h>
#include <net/if.h>

#include <string>
#include <vector>

class InterfaceAddress : public cTunTest {
protected:
    void SetUp() override
    {
        cTunTest::SetUp();
        if (IsSkipped())
            return;
        ASSERT_EQ(1, inet_pton(AF_INET6, "2001:db8:5::1", &mAddress));
    }
    void openDevice()
    {
        ASSERT_TRUE(mBroker.openTun());
        mLog.records();
    }
    sStepReport setAddress(int prefixLen, int spare = -1)
    {
        return reportOf([&] { return mBroker.setTunAddress(&mAddress, prefixLen); }, spare);
    }
    // The step's one record: its line for the device name and mAddress.
    void expectInfoLine(const std::string& name, int prefixLen)
    {
        EXPECT_EQ(Records{"INFO cBroker Setting '" + name + "' address to '2001:db8:5::1/"
                          + std::to_string(prefixLen) + "'"},
                  mLog.records());
    }
    in6_addr mAddress;
};

TEST_F(InterfaceAddress, AddressIsAddedAndDeviceComesUpKeepingItsFlags)
{
    openDevice();
    const std::string& name = mBroker.tunName();
    // A bit the daemon never touches must survive.
    int before = interfaceFlags(name);
    ASSERT_GE(before, 0);
    ASSERT_EQ(0, before & IFF_UP);
    ASSERT_TRUE(setInterfaceFlags(name, before | IFF_DEBUG));
    before = interfaceFlags(name);
    sStepReport r = setAddress(64);
    EXPECT_TRUE(r.done);
    EXPECT_EQ("", r.err);
    expectInfoLine(name, 64);
    std::vector<std::string> addresses = interfaceAddresses(name);
    EXPECT_TRUE(has(addresses, "20010db8000500000000000000000001/64"));
    int after = interfaceFlags(name);
    EXPECT_EQ(before | IFF_UP | IFF_RUNNING, after);
    EXPECT_EQ(0, r.descriptorsLeft);
}

TEST_F(InterfaceAddress, PrefixLengthAbove128GoesToTheKernelAndIsRefused)
{
    openDevice();
    const std::string& name = mBroker.tunName();
    int before = interfaceFlags(name);
    sStepReport r = setAddress(129);
    EXPECT_FALSE(r.done);
    EXPECT_EQ(perrorLine("Set interface addr", EINVAL), r.err);
    expectInfoLine(name, 129);
    for (const std::string& address : interfaceAddresses(name))
        EXPECT_NE(0u, address.find("20010db80005")) << address;
    EXPECT_EQ(before, interfaceFlags(name)); // stopped before bringing it up
    EXPECT_EQ(0, r.descriptorsLeft);
}

TEST_F(InterfaceAddress, WithoutDeviceNameItFailsAtTheIndexAfterItsInfoLine)
{
    sStepReport r = setAddress(64);
    EXPECT_FALSE(r.done);
    EXPECT_EQ(perrorLine("get if index", ENODEV), r.err);
    expectInfoLine("", 64);
    EXPECT_EQ(0, r.descriptorsLeft);
}

TEST_F(InterfaceAddress, NoControlSocketIsReportedAfterTheInfoLine)
{
    openDevice();
    const std::string& name = mBroker.tunName();

    sStepReport r = setAddress(64, 0);
    EXPECT_FALSE(r.done);
    EXPECT_EQ(perrorLine("ip6 socket()", EMFILE), r.err);
    expectInfoLine(name, 64);
    EXPECT_TRUE(interfaceAddresses(name).empty());
}
