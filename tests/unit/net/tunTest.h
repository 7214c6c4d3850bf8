// Base of the fixtures that open a TUN device through a cBroker.
#pragma once

#include "configuredBroker.h"
#include "logCapture.h"
#include "privateNetwork.h"

#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>

// What a kernel-interface step gave, wrote on standard error and left open;
// spare: the descriptors it may still open (-1: as many as it likes).
struct sStepReport {
    bool done;
    std::string err;
    int descriptorsLeft;
};

template <class tStep>
sStepReport reportOf(tStep step, int spare = -1)
{
    const int before = openDescriptorCount();
    testing::internal::CaptureStderr();
    bool done;
    if (spare < 0) {
        done = step();
    } else {
        cNoFreeDescriptors limit(spare);
        done = step();
    }
    std::string err = testing::internal::GetCapturedStderr();
    return {done, err, openDescriptorCount() - before};
}

// The line perror writes for label after a failure with error.
inline std::string perrorLine(const std::string& label, int error)
{
    return label + ": " + std::strerror(error) + "\n";
}

class cTunTest : public cNetTest {
protected:
    void TearDown() override
    {
        // The daemon keeps its device for life; the test closes it to drop it.
        if (mBroker.tunFd() >= 0)
            close(mBroker.tunFd());
    }

    cLogCapture mLog;
    cBroker mBroker;
};

// The same for brokers built from a configuration text, one at a time.
class cConfiguredTunTest : public cNetTest {
protected:
    void TearDown() override
    {
        if (mBroker && mBroker->tunFd() >= 0)
            close(mBroker->tunFd());
    }

    // A broker built from the configuration text, its log emptied.
    cBroker& brokerFrom(const std::string& text)
    {
        mBroker = ::brokerFrom(text + "\n");
        mLog.records();
        return *mBroker;
    }

    cLogCapture mLog;
    std::unique_ptr<cBroker> mBroker;
};
