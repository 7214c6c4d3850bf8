// Giving the TUN device its IPv6 address and bringing it up.
#include "tunTest.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

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
    std::string infoLine(const std::string& name, const char* address, int prefixLen)
    {
        return "INFO cBroker Setting '" + name + "' address to '" + address + "/"
            + std::to_string(prefixLen) + "'";
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
    int descriptors = openDescriptorCount();

    CaptureStderr();
    bool done = mBroker.setTunAddress(&mAddress, 64);
    std::string err = GetCapturedStderr();

    EXPECT_TRUE(done);
    EXPECT_EQ("", err);
    std::vector<std::string> expected = {infoLine(name, "2001:db8:5::1", 64)};
    EXPECT_EQ(expected, mLog.records());
    std::vector<std::string> addresses = interfaceAddresses(name);
    EXPECT_NE(addresses.end(),
              std::find(addresses.begin(), addresses.end(),
                        "20010db8000500000000000000000001/64"));
    int after = interfaceFlags(name);
    EXPECT_EQ(before | IFF_UP | IFF_RUNNING, after);
    EXPECT_EQ(descriptors, openDescriptorCount());
}

TEST_F(InterfaceAddress, PrefixLengthAbove128GoesToTheKernelAndIsRefused)
{
    openDevice();
    const std::string& name = mBroker.tunName();
    int before = interfaceFlags(name);
    int descriptors = openDescriptorCount();

    CaptureStderr();
    bool done = mBroker.setTunAddress(&mAddress, 129);
    std::string err = GetCapturedStderr();

    EXPECT_FALSE(done);
    EXPECT_EQ("Set interface addr: " + std::string(std::strerror(EINVAL)) + "\n", err);
    std::vector<std::string> expected = {infoLine(name, "2001:db8:5::1", 129)};
    EXPECT_EQ(expected, mLog.records());
    for (const std::string& address : interfaceAddresses(name))
        EXPECT_NE(0u, address.find("20010db80005")) << address;
    EXPECT_EQ(before, interfaceFlags(name)); // stopped before bringing it up
    EXPECT_EQ(descriptors, openDescriptorCount());
}

TEST_F(InterfaceAddress, WithoutDeviceNameItFailsAtTheIndexAfterItsInfoLine)
{
    int descriptors = openDescriptorCount();

    CaptureStderr();
    bool done = mBroker.setTunAddress(&mAddress, 64);
    std::string err = GetCapturedStderr();

    EXPECT_FALSE(done);
    EXPECT_EQ("get if index: " + std::string(std::strerror(ENODEV)) + "\n", err);
    std::vector<std::string> expected = {infoLine("", "2001:db8:5::1", 64)};
    EXPECT_EQ(expected, mLog.records());
    EXPECT_EQ(descriptors, openDescriptorCount());
}

TEST_F(InterfaceAddress, NoControlSocketIsReportedAfterTheInfoLine)
{
    openDevice();
    const std::string& name = mBroker.tunName();

    CaptureStderr();
    bool done;
    {
        cNoFreeDescriptors exhausted;
        done = mBroker.setTunAddress(&mAddress, 64);
    }
    std::string err = GetCapturedStderr();

    EXPECT_FALSE(done);
    EXPECT_EQ("ip6 socket(): " + std::string(std::strerror(EMFILE)) + "\n", err);
    std::vector<std::string> expected = {infoLine(name, "2001:db8:5::1", 64)};
    EXPECT_EQ(expected, mLog.records());
    EXPECT_TRUE(interfaceAddresses(name).empty());
}
