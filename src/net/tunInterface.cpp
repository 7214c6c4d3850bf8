// The cBroker operations that create the TUN device, give it its IPv6
// address and add the IPv6 default route through it.
#include "main/cBroker.h"

#include "net/cControlSocket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if_tun.h>
#include <net/if.h>
#include <net/route.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

// Mirrors the kernel's struct in6_ifreq (linux/ipv6.h clashes with the libc
// headers, so it is declared here).
struct tIn6Ifreq {
    in6_addr ifr6_addr;
    uint32_t ifr6_prefixlen;
    int ifr6_ifindex;
};

void setName(ifreq& request, const std::string& name)
{
    std::strncpy(request.ifr_name, name.c_str(), IFNAMSIZ - 1);
    request.ifr_name[IFNAMSIZ - 1] = '\0';
}

// The index of the named interface, or -1 after reporting the failure.
int interfaceIndex(const cControlSocket& control, const std::string& name)
{
    ifreq request;
    std::memset(&request, 0, sizeof(request));
    setName(request, name);
    if (ioctl(control.fd(), SIOCGIFINDEX, &request) < 0) {
        perror("get if index");
        return -1;
    }
    return request.ifr_ifindex;
}

bool addAddress(const cControlSocket& control, const in6_addr* address, int prefixLen,
                int index)
{
    tIn6Ifreq request;
    std::memset(&request, 0, sizeof(request));
    std::memcpy(&request.ifr6_addr, address, sizeof(request.ifr6_addr));
    // Handed over as given: the kernel judges the range.
    request.ifr6_prefixlen = static_cast<uint32_t>(prefixLen);
    request.ifr6_ifindex = index;
    if (ioctl(control.fd(), SIOCSIFADDR, &request) < 0) {
        perror("Set interface addr");
        return false;
    }
    return true;
}

// Adds IFF_UP and IFF_RUNNING to the flags the interface has now.
bool bringUp(const cControlSocket& control, const std::string& name)
{
    ifreq request;
    std::memset(&request, 0, sizeof(request));
    setName(request, name);
    if (ioctl(control.fd(), SIOCGIFFLAGS, &request) < 0) {
        perror("Gettin flags");
        return false;
    }
    short flags = request.ifr_flags;
    std::memset(&request, 0, sizeof(request));
    setName(request, name);
    request.ifr_flags = static_cast<short>(flags | IFF_UP | IFF_RUNNING);
    if (ioctl(control.fd(), SIOCSIFFLAGS, &request) < 0) {
        perror("Setting flags");
        return false;
    }
    return true;
}

// A fresh TUN device comes up at 1500 bytes: a full frame would then make a
// UDP datagram that an ordinary 1500-byte IPv4 path must fragment.
bool setMtu(const std::string& name, int mtu)
{
    cControlSocket control;
    if (!control.isOpen()) {
        perror("ip6 socket()");
        return false;
    }
    ifreq request;
    std::memset(&request, 0, sizeof(request));
    setName(request, name);
    request.ifr_mtu = mtu;
    if (ioctl(control.fd(), SIOCSIFMTU, &request) < 0) {
        perror("Set tun mtu");
        return false;
    }
    return true;
}

} // namespace

bool cBroker::openTun()
{
    // Blocking on purpose: the run loops select before every read.
    int fd = open("/dev/net/tun", O_RDWR);
    if (fd < 0) {
        perror("Open clonedev:");
        return false;
    }
    // No IFF_NO_PI: frames keep the 4-byte packet-information header that
    // travels unchanged in the UDP datagrams. The empty name lets the kernel
    // choose one.
    ifreq request;
    std::memset(&request, 0, sizeof(request));
    request.ifr_flags = IFF_TUN;
    if (ioctl(fd, TUNSETIFF, &request) < 0) {
        perror("set tunif flags");
        close(fd);
        return false;
    }
    std::string name(request.ifr_name, strnlen(request.ifr_name, IFNAMSIZ));
    // Closing the descriptor removes the device again, so a failed step
    // leaves nothing behind and both fields as they were.
    if (!setMtu(name, mTunMtu)) {
        close(fd);
        return false;
    }
    mTunName = name;
    // The descriptor stays open until the process ends: the device lives as
    // long as the daemon.
    mTunFd = fd;
    mInfo << "Created Tun '" << mTunName << "'" << std::endl;
    return true;
}

bool cBroker::setTunAddress(const in6_addr* address, int prefixLen)
{
    char text[INET6_ADDRSTRLEN] = "";
    inet_ntop(AF_INET6, address, text, sizeof(text));
    mInfo << "Setting '" << mTunName << "' address to '" << text << "/" << prefixLen << "'"
          << std::endl;

    cControlSocket control;
    if (!control.isOpen()) {
        perror("ip6 socket()");
        return false;
    }
    int index = interfaceIndex(control, mTunName);
    if (index < 0)
        return false;
    if (!addAddress(control, address, prefixLen, index))
        return false;
    return bringUp(control, mTunName);
}

bool cBroker::setDefaultRoute()
{
    mInfo << "Setting default route on dev " << mTunName << std::endl;

    cControlSocket control;
    if (!control.isOpen()) {
        perror("ip6 socket()");
        return false;
    }
    int index = interfaceIndex(control, mTunName);
    if (index < 0)
        return false;

    // ::/0 straight through the device: no gateway, no source restriction.
    in6_rtmsg route;
    std::memset(&route, 0, sizeof(route));
    route.rtmsg_metric = 1024;
    route.rtmsg_flags = RTF_UP;
    route.rtmsg_ifindex = index;
    if (ioctl(control.fd(), SIOCADDRT, &route) < 0) {
        perror("SIOCADDRT failed");
        return false;
    }
    return true;
}
