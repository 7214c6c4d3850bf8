// The status socket served through real Unix sockets, with the clock passed
// in: answers, the one-daemon-per-name rule, the connection limit and a
// flooding peer; and `quibd --status` against it.
#include "logCapture.h"
#include "tempFile.h"

#include "status/cStatusServer.h"
#include "status/statusCommand.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <sstream>
#include <thread>

namespace {

constexpr long long ms(long long millis) { return millis * kNanosPerMilli; }

sockaddr_un unixAddress(const std::string& path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
    return address;
}

int connectTo(const std::string& path)
{
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address = unixAddress(path);
    EXPECT_EQ(0, connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)));
    return fd;
}

std::string answerTo(const std::string& request)
{
    return request == "status json" ? std::string(3 << 20, 'j') : "answer to " + request + "\n";
}

} // namespace

class StatusServer : public testing::Test {
protected:
    // One turn of a run loop: select (at most 10 ms), then serve.
    void turn(long long now)
    {
        fd_set readable, writable;
        FD_ZERO(&readable);
        FD_ZERO(&writable);
        int maxFd = -1;
        mServer.addTo(readable, writable, maxFd);
        timeval wait = {0, 10000};
        ASSERT_GE(select(maxFd + 1, &readable, &writable, nullptr, &wait), 0);
        mServer.serve(readable, writable, now, answerTo);
    }

    // What the peer fd reads until the server closes it, turning the loop.
    std::string answerOn(int fd, long long now = 0)
    {
        std::string text = "<still open>";
        char buffer[65536];
        for (int turns = 0; turns < 2000; ++turns) {
            turn(now);
            ssize_t got = recv(fd, buffer, sizeof(buffer), MSG_DONTWAIT);
            if (got == 0 || (got < 0 && errno != EAGAIN)) {
                text.erase(0, std::strlen("<still open>"));
                break;
            }
            if (got > 0)
                text.append(buffer, static_cast<std::size_t>(got));
        }
        close(fd);
        return text;
    }

    std::string ask(const std::string& requestLine, long long now = 0)
    {
        int fd = connectTo(mPath);
        EXPECT_EQ(static_cast<ssize_t>(requestLine.size()),
                  send(fd, requestLine.data(), requestLine.size(), MSG_NOSIGNAL));
        shutdown(fd, SHUT_WR);
        return answerOn(fd, now);
    }

    cLogCapture mLog;
    cTempDir mDir;
    const std::string mPath = mDir.path() + "/run/quibd.sock";
    cStatusServer mServer;
};

TEST_F(StatusServer, AnswersOneRequestPerConnectionAndWritesLargeAnswersAsThePeerReads)
{
    ASSERT_EQ(cStatusServer::STATUS_OPEN_OK, mServer.open(mPath));
    struct stat made;
    ASSERT_EQ(0, lstat(mPath.c_str(), &made));
    EXPECT_TRUE(S_ISSOCK(made.st_mode));
    EXPECT_EQ(0660u, made.st_mode & 0777);

    EXPECT_EQ("answer to status\n", ask("status\r\n"));
    EXPECT_EQ("answer to metrics\n", ask("metrics"));  // EOF ends a request too
    EXPECT_EQ(answerTo("status json"), ask("status json\n"));
    EXPECT_EQ("error: unknown request\n", ask("shutdown\n"));
    EXPECT_EQ("error: request too long\n", ask(std::string(300, 's')));
}

TEST_F(StatusServer, ASecondDaemonOnTheNameIsRefusedAndAKilledOnesSocketReplaced)
{
    {
        // A daemon killed while listening leaves its socket file behind.
        int dead = socket(AF_UNIX, SOCK_STREAM, 0);
        mkdir((mDir.path() + "/run").c_str(), 0755);
        sockaddr_un address = unixAddress(mPath);
        ASSERT_EQ(0, bind(dead, reinterpret_cast<sockaddr*>(&address), sizeof(address)));
        close(dead);
    }
    ASSERT_EQ(cStatusServer::STATUS_OPEN_OK, mServer.open(mPath));
    mLog.records();
    {
        cStatusServer second;
        EXPECT_EQ(cStatusServer::STATUS_OPEN_IN_USE, second.open(mPath));
    }
    EXPECT_EQ(std::vector<std::string>{"ERROR cBroker Another quibd answers on " + mPath
                                       + "; two daemons would share a name. Bailing out"},
              mLog.records());
    // The refused one left the live daemon's socket in place.
    EXPECT_EQ("answer to status\n", ask("status\n"));
}

TEST_F(StatusServer, AtTheLimitANewcomerClosesTheLongestIdleOneAndIdleOnesGoAfterTwoSeconds)
{
    ASSERT_EQ(cStatusServer::STATUS_OPEN_OK, mServer.open(mPath));
    EXPECT_EQ(-1, mServer.untilNextDeadline(0));
    // The oldest connection, with the earliest deadline, has sent its
    // request and does not read the answer.
    int reader = connectTo(mPath);
    ASSERT_EQ(12, send(reader, "status json\n", 12, MSG_NOSIGNAL));
    turn(0);
    turn(0);
    std::vector<int> idle;
    for (int at = 3001; at <= 3007; ++at) {
        idle.push_back(connectTo(mPath));
        turn(ms(at));
    }
    EXPECT_EQ(ms(1993), mServer.untilNextDeadline(ms(3007)));
    EXPECT_EQ("answer to status\n", ask("status\n", ms(3010)));
    char byte;
    EXPECT_EQ(0, recv(idle[0], &byte, 1, MSG_DONTWAIT));
    EXPECT_EQ(1, recv(reader, &byte, 1, MSG_DONTWAIT));
    EXPECT_EQ(-1, recv(idle[1], &byte, 1, MSG_DONTWAIT));
    turn(ms(5007));
    for (int fd : idle) {
        EXPECT_EQ(0, recv(fd, &byte, 1, MSG_DONTWAIT));
        close(fd);
    }
    close(reader);
    EXPECT_EQ(-1, mServer.untilNextDeadline(ms(5007)));
}

TEST_F(StatusServer, APeerSendingMegabytesDoesNotHoldBackAnother)
{
    ASSERT_EQ(cStatusServer::STATUS_OPEN_OK, mServer.open(mPath));
    int flood = connectTo(mPath);
    timeval limit = {5, 0};
    setsockopt(flood, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof(limit));
    std::thread flooder([flood] {
        std::string block(65536, 'f');
        for (int i = 0; i < 128 && send(flood, block.data(), block.size(), MSG_NOSIGNAL) > 0; ++i) {
        }
    });
    int patient = connectTo(mPath);
    ASSERT_EQ(7, send(patient, "status\n", 7, MSG_NOSIGNAL));
    EXPECT_EQ("answer to status\n", answerOn(patient));
    flooder.join();
    EXPECT_EQ("error: request too long\n", answerOn(flood));
}

TEST_F(StatusServer, StatusCommandPrintsTheDaemonsAnswerOrItsError)
{
    ASSERT_EQ(cStatusServer::STATUS_OPEN_OK, mServer.open(mPath));
    std::string config = mDir.write("broker.conf", "quib.control.socket = " + mPath + "\n");
    std::atomic<bool> stop{false};
    std::thread loop([this, &stop] {
        while (!stop)
            turn(0);
    });
    auto run = [&config](std::vector<const char*> args, std::string& out, std::string& err) {
        args.insert(args.begin(), "quibd");
        args.push_back(config.c_str());
        std::ostringstream outStream, errStream;
        int status = runStatusCommand(static_cast<int>(args.size()),
                                      const_cast<char**>(args.data()), outStream, errStream);
        out = outStream.str();
        err = errStream.str();
        return status;
    };
    std::string out, err;
    EXPECT_EQ(0, run({"--metrics"}, out, err));
    EXPECT_EQ("answer to metrics\n", out);
    stop = true;
    loop.join();

    mDir.write("broker.conf", "quib.control.socket = " + mDir.path() + "/none.sock\n");
    EXPECT_EQ(1, run({"--status", "--json"}, out, err));
    EXPECT_EQ("quibd: no daemon answers on " + mDir.path() + "/none.sock: No such file or directory\n",
              err);
    mDir.write("broker.conf", "quib.control.socket =\n");
    EXPECT_EQ(1, run({"--status"}, out, err));
    EXPECT_EQ("quibd: the status socket is off in " + config + "\n", err);
}
