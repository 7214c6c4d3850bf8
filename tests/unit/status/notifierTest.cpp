#include "status/cSystemdNotifier.h"
#include "tempFile.h"
#include "testSocket.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <string>
#include <vector>

using Messages = std::vector<std::string>;

constexpr long long ms(long long millis) { return millis * kNanosPerMilli; }

// The service manager's end: a datagram socket named by NOTIFY_SOCKET.
class Notifier : public testing::Test {
protected:
    void SetUp() override
    {
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::string path = mDir.path() + "/notify";
        path.copy(addr.sun_path, sizeof addr.sun_path - 1);
        ASSERT_EQ(0, bind(mManager, reinterpret_cast<sockaddr*>(&addr), sizeof addr));
        setenv("NOTIFY_SOCKET", path.c_str(), 1);
    }
    void TearDown() override
    {
        unsetenv("NOTIFY_SOCKET");
        unsetenv("WATCHDOG_USEC");
        unsetenv("WATCHDOG_PID");
        close(mManager);
    }

    cTempDir mDir;
    int mManager = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
};

TEST_F(Notifier, ReadyOnceAndAStatusChangeWithinASecondWaitsForTheSecondToEnd)
{
    cSystemdNotifier notifier;
    notifier.ready();
    notifier.ready();
    notifier.setStatus("3 tunnels", ms(10000));
    notifier.setStatus("3 tunnels", ms(10200));
    notifier.setStatus("4 tunnels\nREADY=1", ms(10500));
    notifier.flush(ms(10999));
    EXPECT_EQ((Messages{"READY=1", "STATUS=3 tunnels"}), pendingDatagrams(mManager));
    notifier.flush(ms(11000));
    notifier.flush(ms(20000));
    EXPECT_EQ((Messages{"STATUS=4 tunnels READY=1"}), pendingDatagrams(mManager));
}

TEST_F(Notifier, TheWatchdogIsFedEveryHalfIntervalOfTheUnitsSetting)
{
    EXPECT_EQ(0, cSystemdNotifier().wakeInterval());
    setenv("WATCHDOG_USEC", "4000000", 1);
    setenv("WATCHDOG_PID", std::to_string(getpid()).c_str(), 1);
    cSystemdNotifier notifier;
    EXPECT_EQ(ms(2000), notifier.wakeInterval());
    for (long long now : {ms(50000), ms(51999), ms(52000)})
        notifier.watchdog(now);
    EXPECT_EQ((Messages{"WATCHDOG=1", "WATCHDOG=1"}), pendingDatagrams(mManager));
}
