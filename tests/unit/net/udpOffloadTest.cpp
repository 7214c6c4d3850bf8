// Runs of datagrams through segmentation and receive offload, the fallback
// when the kernel refuses them, and the TUN device's offload setting.
#include "logCapture.h"
#include "net/udpOffload.h"
#include "testSocket.h"
#include "tunTest.h"
#include "packet/datagramSender.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

namespace {

using tDatagrams = std::vector<std::vector<unsigned char>>;

// count datagrams, datagram i filled with byte i, the last one lastSize long.
tDatagrams runOf(size_t frameSize, size_t count, size_t lastSize)
{
    tDatagrams run;
    for (size_t i = 0; i < count; ++i)
        run.emplace_back(i + 1 == count ? lastSize : frameSize, static_cast<unsigned char>(i));
    return run;
}

} // namespace

class UdpOffload : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(enableUdpGro(mReceiver.fd()));
        ASSERT_TRUE(askForLocalAddress(mReceiver.fd()));
    }

    size_t send(const tDatagrams& run)
    {
        std::vector<unsigned char> bytes;
        for (const auto& d : run)
            bytes.insert(bytes.end(), d.begin(), d.end());
        return mSender.sendRun(mFrom.fd(), bytes.data(), run[0].size(), run.size(),
                               run.back().size(), mReceiver.addr(), mReceiver.addr().sin_addr);
    }

    // Every datagram that reaches the receiver within a second, split out
    // of the runs it came in; each run must come from the sender to the
    // receiver's own address.
    tDatagrams received(size_t expected)
    {
        tDatagrams got;
        pollfd ready = {mReceiver.fd(), POLLIN, 0};
        for (int round = 0; round < 100 && got.size() < expected && poll(&ready, 1, 1000) == 1; ++round) {
            int runs = mBatch.receive(mReceiver.fd());
            for (int i = 0; i < runs; ++i) {
                sReceivedRun run = mBatch.run(i);
                EXPECT_EQ(mFrom.addr().sin_port, run.sender.sin_port);
                EXPECT_EQ(mReceiver.addr().sin_addr.s_addr, run.local.s_addr);
                cDatagramWalk walk(run);
                const unsigned char* datagram;
                size_t length;
                while (walk.next(datagram, length))
                    got.emplace_back(datagram, datagram + length);
            }
        }
        return got;
    }

    cLogCapture mLog;
    cTestSocket mFrom;
    cTestSocket mReceiver;
    cUdpGsoSender mSender;
    cGroBatch mBatch;
};

TEST_F(UdpOffload, RunLongerThanOneSendArrivesDatagramByDatagram)
{
    // 70 datagrams take two segmented sends (64 at most in one).
    tDatagrams run = runOf(1000, 70, 300);
    EXPECT_EQ(run.size(), send(run));
    EXPECT_EQ(run, received(run.size()));
    EXPECT_TRUE(mSender.segmenting());
    EXPECT_TRUE(mLog.records().empty());
}

TEST_F(UdpOffload, RefusedOffloadSendsEverythingOneByOneAndSaysSoOnce)
{
    // Without UDP checksums the kernel will not cut datagrams.
    int on = 1;
    ASSERT_EQ(0, setsockopt(mFrom.fd(), SOL_SOCKET, SO_NO_CHECK, &on, sizeof(on)));
    tDatagrams run = runOf(1200, 5, 1200);
    EXPECT_EQ(run.size(), send(run));
    EXPECT_EQ(run.size(), send(run));

    tDatagrams twice = run;
    twice.insert(twice.end(), run.begin(), run.end());
    EXPECT_EQ(twice, received(twice.size()));
    EXPECT_FALSE(mSender.segmenting());
    EXPECT_EQ(Records{"INFO cBroker UDP segmentation offload refused (Invalid argument), sending "
                      "datagrams one by one"}, mLog.records());
}

TEST(DatagramWalk, SplitsAtSegmentSizeAndKeepsAnEmptyDatagram)
{
    const unsigned char bytes[6] = {1, 2, 3, 4, 5, 6};
    auto lengths = [&bytes](size_t length, size_t segmentSize) {
        cDatagramWalk walk({bytes, length, sockaddr_in(), in_addr(), segmentSize});
        std::vector<size_t> out;
        const unsigned char* datagram;
        size_t n;
        while (walk.next(datagram, n) && out.size() < 10)
            out.push_back(n);
        return out;
    };
    EXPECT_EQ((std::vector<size_t>{2, 2, 2}), lengths(6, 2));
    EXPECT_EQ((std::vector<size_t>{4, 1}), lengths(5, 4));
    EXPECT_EQ((std::vector<size_t>{0}), lengths(0, 0));
}

using TunOffload = cConfiguredTunTest;

TEST_F(TunOffload, AutoGivesTheDeviceTheHeaderAndOffKeepsFramesPlain)
{
    cBroker& asked = brokerFrom("quib.tun.offload = auto");
    ASSERT_TRUE(asked.openTun());
    EXPECT_TRUE(asked.tunOffload());
    EXPECT_EQ(Records{"INFO cBroker Created Tun '" + asked.tunName() + "'"}, mLog.records());
    close(asked.tunFd());

    cBroker& plain = brokerFrom("quib.tun.offload = off");
    ASSERT_TRUE(plain.openTun());
    EXPECT_FALSE(plain.tunOffload());
}

TEST_F(TunOffload, UnknownSettingStopsBothModesBeforeAnyDevice)
{
    std::string line = "ERROR cBroker quib.tun.offload must be auto or off, not 'on'. Bailing out";
    EXPECT_EQ(-1, brokerFrom("quib.broker.address = 192.0.2.1\nquib.tun.offload = on").runClient());
    EXPECT_EQ(std::vector<std::string>{line}, mLog.records());
    EXPECT_EQ(-1, brokerFrom("quib.broker.ip6prefix = 2001:db8::\nquib.tun.offload = on").runServer());
    EXPECT_EQ(std::vector<std::string>{line}, mLog.records());
    EXPECT_EQ(-1, mBroker->tunFd());
}
