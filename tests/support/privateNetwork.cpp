#include "privateNetwork.h"

#include <dirent.h>
#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

bool cPrivateNetwork::sReady = false;
std::string cPrivateNetwork::sWhyNot = "not set up";

void cPrivateNetwork::SetUp()
{
    if (geteuid() != 0)
        sWhyNot = "not running as root";
    else if (access("/dev/net/tun", R_OK | W_OK) != 0)
        sWhyNot = "/dev/net/tun is missing or not usable";
    else if (unshare(CLONE_NEWNET) != 0)
        sWhyNot = std::string("unshare(CLONE_NEWNET) failed: ") + std::strerror(errno);
    else if (interfaceFlags("lo") < 0 || !setInterfaceFlags("lo", interfaceFlags("lo") | IFF_UP))
        sWhyNot = "cannot bring up lo in the new namespace";
    else
        sReady = true;
    if (!sReady)
        std::fprintf(stderr, "\n*** SKIPPING every TUN/route test: %s ***\n\n", sWhyNot.c_str());
}

namespace {

std::vector<std::string> linesEndingWith(const char* path, const std::string& name)
{
    std::vector<std::string> out;
    std::ifstream in(path);
    std::string line;
    for (int i = 0; i < 10000 && std::getline(in, line); ++i) {
        std::istringstream words(line);
        std::string word, last;
        while (words >> word)
            last = word;
        if (last == name)
            out.push_back(line);
    }
    return out;
}

bool interfaceRequest(const std::string& name, unsigned long code, ifreq& request)
{
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0)
        return false;
    std::strncpy(request.ifr_name, name.c_str(), IFNAMSIZ - 1);
    bool ok = ioctl(fd, code, &request) == 0;
    close(fd);
    return ok;
}

} // namespace

int openDescriptorCount()
{
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr)
        return -1;
    int count = 0;
    while (dirent* entry = readdir(dir))
        if (entry->d_name[0] != '.')
            ++count;
    closedir(dir);
    return count - 1; // the directory's own descriptor
}

int interfaceFlags(const std::string& name)
{
    ifreq request;
    std::memset(&request, 0, sizeof(request));
    if (!interfaceRequest(name, SIOCGIFFLAGS, request))
        return -1;
    return static_cast<unsigned short>(request.ifr_flags);
}

bool setInterfaceFlags(const std::string& name, int flags)
{
    ifreq request;
    std::memset(&request, 0, sizeof(request));
    request.ifr_flags = static_cast<short>(flags);
    return interfaceRequest(name, SIOCSIFFLAGS, request);
}

int interfaceMtu(const std::string& name)
{
    ifreq request;
    std::memset(&request, 0, sizeof(request));
    return interfaceRequest(name, SIOCGIFMTU, request) ? request.ifr_mtu : -1;
}

std::vector<std::string> interfaceAddresses(const std::string& name)
{
    std::vector<std::string> out;
    for (const std::string& line : linesEndingWith("/proc/net/if_inet6", name)) {
        std::istringstream words(line);
        std::string address, index, prefixLen;
        words >> address >> index >> prefixLen;
        out.push_back(address + "/" + std::to_string(std::stoi(prefixLen, nullptr, 16)));
    }
    return out;
}

std::vector<std::string> interfaceRoutes(const std::string& name)
{
    return linesEndingWith("/proc/net/ipv6_route", name);
}

cNoFreeDescriptors::cNoFreeDescriptors(int spare)
{
    rlimit limit;
    getrlimit(RLIMIT_NOFILE, &limit);
    mSavedLimit = limit.rlim_cur;
    // The lowest free descriptor number: no new one can be had below it.
    int lowest = open("/dev/null", O_RDONLY);
    if (lowest >= 0)
        close(lowest);
    limit.rlim_cur = static_cast<rlim_t>((lowest >= 0 ? lowest : 0) + spare);
    setrlimit(RLIMIT_NOFILE, &limit);
}

cNoFreeDescriptors::~cNoFreeDescriptors()
{
    rlimit limit;
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = mSavedLimit;
    setrlimit(RLIMIT_NOFILE, &limit);
}
