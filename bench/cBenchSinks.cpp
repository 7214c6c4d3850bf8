#include "cBenchSinks.h"

#include <arpa/inet.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

namespace {

// Descriptors kept free for everything else the program opens.
const int kSpareDescriptors = 64;
// Bound on the reads of one drain: far more than one benchmark batch sends.
const int kMaxDrainReads = 4096;

} // namespace

int openLoopbackUdp(sockaddr_in& bound)
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    std::memset(&bound, 0, sizeof(bound));
    bound.sin_family = AF_INET;
    bound.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(bound);
    if (bind(fd, reinterpret_cast<sockaddr*>(&bound), sizeof(bound)) != 0
        || getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &len) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool raiseDescriptorLimit(int wanted)
{
    rlimit lim{};
    if (getrlimit(RLIMIT_NOFILE, &lim) != 0)
        return false;
    const rlim_t need = static_cast<rlim_t>(wanted) + kSpareDescriptors;
    if (lim.rlim_cur >= need)
        return true;
    if (lim.rlim_max != RLIM_INFINITY && lim.rlim_max < need)
        return false;
    lim.rlim_cur = need;
    return setrlimit(RLIMIT_NOFILE, &lim) == 0;
}

bool cBenchSinks::open(int count)
{
    closeAll();
    if (!raiseDescriptorLimit(count))
        return false;
    mFds.reserve(static_cast<size_t>(count));
    mAddrs.reserve(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        sockaddr_in bound;
        int fd = openLoopbackUdp(bound);
        if (fd < 0) {
            closeAll();
            return false;
        }
        mFds.push_back(fd);
        mAddrs.push_back(bound);
    }
    return true;
}

void cBenchSinks::closeAll()
{
    for (int fd : mFds)
        close(fd);
    mFds.clear();
    mAddrs.clear();
}

int cBenchSinks::drain(int i)
{
    char buf[2048];
    int reads = 0;
    while (reads < kMaxDrainReads
           && recv(mFds[static_cast<size_t>(i)], buf, sizeof(buf), MSG_DONTWAIT) >= 0)
        ++reads;
    return reads;
}

int cBenchSinks::drainAll()
{
    int reads = 0;
    for (int i = 0; i < count(); ++i)
        reads += drain(i);
    return reads;
}
