// Runs a whole test binary in a network namespace of its own (loopback up),
// so the TUN devices, addresses and routes it makes never reach the host;
// plus read-backs of the kernel state the tests look at. A binary opts in
// with one line:
//   testing::Environment* const gNet = testing::AddGlobalTestEnvironment(new cPrivateNetwork);
#pragma once

#include <gtest/gtest.h>

#include <netinet/in.h>

#include <string>
#include <vector>

class cPrivateNetwork : public testing::Environment {
public:
    void SetUp() override;

    static bool ready() { return sReady; }
    static const std::string& whyNot() { return sWhyNot; }

private:
    static bool sReady;
    static std::string sWhyNot;
};

// Base of every fixture here: skips, loudly, where no private network exists.
class cNetTest : public testing::Test {
protected:
    void SetUp() override
    {
        if (!cPrivateNetwork::ready())
            GTEST_SKIP() << "needs a private network namespace: " << cPrivateNetwork::whyNot();
    }
};

// Number of descriptors the process has open.
int openDescriptorCount();

// The interface's 16-bit flags, or -1 when it cannot be read.
int interfaceFlags(const std::string& name);
bool setInterfaceFlags(const std::string& name, int flags);
// The interface's MTU as the kernel reports it, or -1.
int interfaceMtu(const std::string& name);

// "address/prefixlen" (hex address as the kernel lists it) for each IPv6
// address on the interface.
std::vector<std::string> interfaceAddresses(const std::string& name);

// The kernel's IPv6 routing lines (/proc/net/ipv6_route) for the interface.
std::vector<std::string> interfaceRoutes(const std::string& name);

// While alive, only spare more descriptors can be opened; socket() and
// open() then fail with EMFILE.
class cNoFreeDescriptors {
public:
    explicit cNoFreeDescriptors(int spare = 0);
    ~cNoFreeDescriptors();

private:
    unsigned long mSavedLimit;
};
