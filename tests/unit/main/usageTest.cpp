// "quibd --help" and "quibd --version": the only first arguments that are
// not a configuration path.
#include "config/configKeys.h"
#include "configuredBroker.h"
#include "logCapture.h"
#include "main/usage.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <sstream>
#include <string>

namespace {

// The "key default" pairs of the usage text's key table.
std::map<std::string, std::string> keyTable(const std::string& usage)
{
    std::map<std::string, std::string> keys;
    std::istringstream in(usage);
    std::string line;
    while (std::getline(in, line)) {
        // A row: two blanks, the key, blanks, the default, a blank, the meaning.
        if (line.compare(0, 7, "  quib.") != 0 && line.compare(0, 10, "  log4cpp.") != 0)
            continue;
        std::istringstream row(line);
        std::string key, value, meaning;
        if (row >> key >> value >> meaning)
            keys[key] = value;
    }
    return keys;
}

// "quibd " then three dot-separated numbers and a newline.
bool isVersionLine(const std::string& text)
{
    const std::string lead = "quibd ";
    if (text.compare(0, lead.size(), lead) != 0 || text.empty() || text.back() != '\n')
        return false;
    std::string version = text.substr(lead.size(), text.size() - lead.size() - 1);
    int parts = 0;
    std::istringstream in(version);
    std::string part;
    while (std::getline(in, part, '.')) {
        if (part.empty() || part.find_first_not_of("0123456789") != std::string::npos)
            return false;
        ++parts;
    }
    return parts == 3;
}

} // namespace

class InfoOptions : public testing::Test {
protected:
    // Runs the option and returns what it wrote; mHandled tells whether it
    // took the argument.
    std::string run(const char* arg)
    {
        std::ostringstream out;
        mHandled = writeInfoOption(arg, out);
        return out.str();
    }
    bool mHandled = false;
};

TEST_F(InfoOptions, HelpWritesTheUsage)
{
    std::string out = run("--help");
    EXPECT_TRUE(mHandled);
    EXPECT_EQ(usageText(), out);
    EXPECT_EQ(0u, out.find("Usage: quibd [config-path [mode]]\n"
                           "       quibd --status [--json] [config-path]\n"
                           "       quibd --metrics [config-path]\n"
                           "       quibd --help | --version\n"));
}

TEST_F(InfoOptions, VersionWritesOneLine)
{
    std::string out = run("--version");
    EXPECT_TRUE(mHandled);
    EXPECT_TRUE(isVersionLine(out)) << out;
}

TEST_F(InfoOptions, EveryOtherArgumentIsLeftAsAConfigurationPath)
{
    const char* paths[] = {"/etc/quib/quibd.conf", "-h", "--HELP", "--help ", "--help=1",
                           "--versions", "-version", "", "help"};
    for (const char* path : paths) {
        EXPECT_EQ("", run(path)) << "'" << path << "'";
        EXPECT_FALSE(mHandled) << "'" << path << "'";
    }
    EXPECT_EQ("", run(nullptr));
    EXPECT_FALSE(mHandled);
}

class UsageText : public testing::Test {};

TEST_F(UsageText, ListsEveryKeyWithItsDefault)
{
    std::map<std::string, std::string> shown = keyTable(usageText());
    for (int i = 0; i < configKeyCount(); ++i) {
        const tConfigKey& key = configKeys()[i];
        std::string expected = key.defaultText != nullptr ? key.defaultText : "(none)";
        if (key.isInteger) {
            EXPECT_EQ(std::to_string(key.defaultValue), expected) << key.name;
        }
        EXPECT_EQ(expected, shown[key.name]) << key.name;
    }
    EXPECT_EQ("(none)", shown["log4cpp.*"]);
    EXPECT_EQ(configKeyCount() + 1u, shown.size());
}

// The defaults that the cBroker constructor applies are the ones shown.
TEST_F(UsageText, BrokerDefaultsShownAreTheOnesABrokerGets)
{
    cLogCapture quiet;
    std::unique_ptr<cBroker> broker = brokerFrom("quib.broker.ip6prefix = 2001:db8:1::\n");

    EXPECT_EQ(configKey("quib.broker.port").defaultValue, broker->port());
    EXPECT_EQ(configKey("quib.broker.ip6prefixlen").defaultValue, broker->prefixLen());
    EXPECT_EQ(configKey("quib.broker.maxtunnels").defaultValue, broker->maxTunnels());
    EXPECT_EQ(configKey("quib.broker.setuprate").defaultValue, broker->setupRate());
    EXPECT_EQ(configKey("quib.tun.mtu").defaultValue, broker->tunMtu());
    EXPECT_STREQ(configKey("quib.broker.address").defaultText, broker->brokerAddress());
}

TEST_F(UsageText, NamesTheDefaultPathTheStateFileAndTheExitStatuses)
{
    std::string usage = usageText();
    EXPECT_NE(std::string::npos, usage.find("(default /etc/quib/quibd.conf)"));
    EXPECT_NE(std::string::npos, usage.find("  /var/lib/quibd/tunid "));
    EXPECT_NE(std::string::npos, usage.find("Exit status: 255 when start-up fails, 0 when"));
}

TEST_F(UsageText, FitsAnEightyColumnTerminal)
{
    std::istringstream in(usageText());
    std::string line;
    while (std::getline(in, line))
        EXPECT_LE(line.size(), 79u) << line;
}
