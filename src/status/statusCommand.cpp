#include "status/statusCommand.h"

#include "config/cConfig.h"
#include "status/controlPath.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <iostream>
#include <string>

namespace {

constexpr int kWaitSeconds = 10;
// Far above the table of the largest broker; a peer streaming without end
// is not a daemon.
constexpr std::size_t kMaxAnswer = 64u << 20;

const char kUsage[] = "usage: quibd --status [--json] [config-path]\n"
                      "       quibd --metrics [config-path]\n";

// The request line and the configuration path of the command line.
bool parseCommandLine(int argc, char** argv, std::string& request, const char*& configPath)
{
    if (argc < 2)
        return false;
    int next = 2;
    if (std::strcmp(argv[1], "--status") == 0) {
        request = "status";
        if (next < argc && std::strcmp(argv[next], "--json") == 0) {
            request = "status json";
            ++next;
        }
    } else if (std::strcmp(argv[1], "--metrics") == 0) {
        request = "metrics";
    } else {
        return false;
    }
    configPath = next < argc ? argv[next++] : kDefaultConfigPath;
    return next == argc;
}

class cClientFd {
public:
    cClientFd() : mFd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)) {}
    ~cClientFd()
    {
        if (mFd >= 0)
            close(mFd);
    }
    cClientFd(const cClientFd&) = delete;
    cClientFd& operator=(const cClientFd&) = delete;
    int get() const { return mFd; }

private:
    int mFd;
};

// Connect and the request's send are blocking but bounded by SO_SNDTIMEO,
// which a Unix socket's connect also obeys when the daemon's queue is full.
bool connectTo(const cClientFd& socketFd, const std::string& path, std::ostream& err)
{
    sockaddr_un address;
    std::memset(&address, 0, sizeof(address));
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof(address.sun_path)) {
        err << "quibd: the status socket path is too long: " << path << std::endl;
        return false;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    timeval limit = {kWaitSeconds, 0};
    if (socketFd.get() < 0
        || setsockopt(socketFd.get(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof(limit)) != 0
        || connect(socketFd.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        int error = errno;
        if (error == EACCES || error == EPERM)
            err << "quibd: permission refused on " << path << std::endl;
        else
            err << "quibd: no daemon answers on " << path << ": " << strerror(error) << std::endl;
        return false;
    }
    return true;
}

// Reads until the daemon closes, within kWaitSeconds in all.
bool readAnswer(int fd, const std::string& path, std::string& answer, std::ostream& err)
{
    using tClock = std::chrono::steady_clock;
    const tClock::time_point deadline = tClock::now() + std::chrono::seconds(kWaitSeconds);
    char buffer[65536];
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - tClock::now());
        pollfd waited = {fd, POLLIN, 0};
        int ready = left.count() > 0 ? poll(&waited, 1, static_cast<int>(left.count())) : 0;
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0) {
            err << "quibd: no whole answer from " << path << " within " << kWaitSeconds << " s"
                << std::endl;
            return false;
        }
        ssize_t got = recv(fd, buffer, sizeof(buffer), 0);
        if (got > 0) {
            answer.append(buffer, static_cast<std::size_t>(got));
            if (answer.size() > kMaxAnswer) {
                err << "quibd: the answer from " << path << " does not end" << std::endl;
                return false;
            }
            continue;
        }
        // A daemon that refuses the peer closes before reading the request:
        // its line arrives, then a reset.
        int error = got == 0 ? 0 : errno;
        if (got == 0 || (error == ECONNRESET && !answer.empty()))
            break;
        if (error != EINTR) {
            err << "quibd: cannot read from " << path << ": " << strerror(error) << std::endl;
            return false;
        }
    }
    if (answer.empty()) {
        err << "quibd: " << path << " closed without an answer" << std::endl;
        return false;
    }
    return true;
}

bool askDaemon(const std::string& path, const std::string& request, std::string& answer,
               std::ostream& err)
{
    cClientFd socketFd;
    if (!connectTo(socketFd, path, err))
        return false;
    std::string line = request + "\n";
    if (send(socketFd.get(), line.data(), line.size(), MSG_NOSIGNAL)
        != static_cast<ssize_t>(line.size())) {
        int error = errno;
        err << "quibd: cannot send to " << path << ": " << strerror(error) << std::endl;
        return false;
    }
    return readAnswer(socketFd.get(), path, answer, err);
}

} // namespace

int runStatusCommand(int argc, char** argv)
{
    return runStatusCommand(argc, argv, std::cout, std::cerr);
}

int runStatusCommand(int argc, char** argv, std::ostream& out, std::ostream& err)
{
    std::string request;
    const char* configPath = nullptr;
    if (!parseCommandLine(argc, argv, request, configPath)) {
        err << kUsage;
        return 2;
    }
    if (!cConfig::load(configPath)) {
        err << "quibd: cannot load the configuration " << configPath << std::endl;
        return 1;
    }
    std::string path = controlSocketPath(configPath);
    if (path.empty()) {
        err << "quibd: the status socket is off in " << configPath << std::endl;
        return 1;
    }
    std::string answer;
    if (!askDaemon(path, request, answer, err))
        return 1;
    if (answer.compare(0, 7, "error: ") == 0) {
        err << answer << std::flush;
        return 1;
    }
    out << answer << std::flush;
    return 0;
}
