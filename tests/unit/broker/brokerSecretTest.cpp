// The broker's secret file and the tunnel keys derived from it.
#include "broker/brokerSecret.h"
#include "tempFile.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstring>
#include <sstream>

class BrokerSecret : public testing::Test {
protected:
    // Loads the file; the error line, if any, lands in mErr.
    bool load(unsigned char* secret)
    {
        mErr.str("");
        return loadBrokerSecret(mPath, secret, mErr);
    }

    cTempDir mDir;
    const std::string mPath = mDir.path() + "/broker.key";
    std::ostringstream mErr;
};

TEST_F(BrokerSecret, FirstStartCreatesAPrivateFileThatLaterStartsReadBack)
{
    unsigned char first[kBrokerSecretLen] = {};
    unsigned char again[kBrokerSecretLen] = {};
    ASSERT_TRUE(load(first));
    struct stat st;
    ASSERT_EQ(0, stat(mPath.c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 0777);
    EXPECT_EQ(kBrokerSecretLen, st.st_size);
    ASSERT_TRUE(load(again));
    EXPECT_EQ(0, std::memcmp(first, again, kBrokerSecretLen));
    EXPECT_EQ("", mErr.str());

    // Keys depend only on the identifier and the secret.
    setTunnelKeySecret(first);
    std::string key = tunnelKeyFor(0x896d572b);
    EXPECT_EQ(32u, key.size());
    EXPECT_EQ(std::string::npos, key.find_first_not_of("0123456789abcdef"));
    EXPECT_EQ(key, tunnelKeyFor(0x896d572b));
    EXPECT_NE(key, tunnelKeyFor(0x896d572c));
    EXPECT_TRUE(tunnelKeyValid(0x896d572b, key.c_str()));
    EXPECT_FALSE(tunnelKeyValid(0x896d572c, key.c_str()));
    EXPECT_FALSE(tunnelKeyValid(0x896d572b, ""));
}

TEST_F(BrokerSecret, UnusableFilesStopTheStartWithOneLine)
{
    unsigned char secret[kBrokerSecretLen];
    mDir.write("broker.key", std::string(31, 'x'));
    chmod(mPath.c_str(), 0600);
    EXPECT_FALSE(load(secret));
    EXPECT_EQ("Broker key file '" + mPath + "' must hold 32 bytes, not 31. Bailing out\n", mErr.str());

    mDir.write("broker.key", std::string(32, 'x'));
    chmod(mPath.c_str(), 0640);
    EXPECT_FALSE(load(secret));
    EXPECT_EQ("Broker key file '" + mPath
                  + "' can be read by group or others (chmod 600 it). Bailing out\n",
              mErr.str());

    // A file in a directory that does not exist cannot be made.
    std::string missing = mDir.path() + "/absent/broker.key";
    EXPECT_FALSE(loadBrokerSecret(missing, secret, mErr));
    EXPECT_NE(std::string::npos, mErr.str().find("cannot be created: No such file or directory"));
}
