// A cBroker built from configuration lines, as the daemon builds one from
// its file. The configuration is empty again afterwards, so that the next
// broker reads the defaults; a broker reads its settings as it is built.
#pragma once

#include "config/cConfig.h"
#include "main/cBroker.h"
#include "tempFile.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

inline std::unique_ptr<cBroker> brokerFrom(const std::string& lines)
{
    cTempDir dir;
    EXPECT_TRUE(cConfig::load(dir.write("quibd.conf", lines).c_str()));
    std::unique_ptr<cBroker> made(new cBroker);
    EXPECT_TRUE(cConfig::load(dir.write("empty.conf", "").c_str()));
    return made;
}
