// Base of the fixtures that open a TUN device through a cBroker.
#pragma once

#include "logCapture.h"
#include "main/cBroker.h"
#include "privateNetwork.h"

#include <unistd.h>

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
