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

// False, after reporting it, when the control socket could not be opened.
bool controlReady(const cControlSocket& control)
{
    if (control.isOpen())
        return true;
    perror("ip6 socket()");
    return false;
}

// One request about the named interface: request holds the name and, for a
// setting, the value (filled in by fill); false after reporting a failure
// under label.
template <typename tFill>
bool interfaceRequest(const cControlSocket& control, const std::string& name, unsigned long code,
                      ifreq& request, const char* label, tFill fill)
{
    std::memset(&request, 0, sizeof(request));
    setName(request, name);
    fill(request);
    if (ioctl(control.fd(), code, &request) < 0) {
        perror(label);
        return false;
    }
    return true;
}

void nothing(ifreq&) {}

// The index of the named interface, or -1 after reporting the failure.
int interfaceIndex(const cControlSocket& control, const std::string& name)
{
    ifreq request;
    if (!interfaceRequest(control, name, SIOCGIFINDEX, request, "get if index", nothing))
        return -1;
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
    if (!interfaceRequest(control, name, SIOCGIFFLAGS, request, "Gettin flags", nothing))
        return false;
    short flags = static_cast<short>(request.ifr_flags | IFF_UP | IFF_RUNNING);
    return interfaceRequest(control, name, SIOCSIFFLAGS, request, "Setting flags",
                            [flags](ifreq& r) { r.ifr_flags = flags; });
}

// A fresh TUN device comes up at 1500 bytes: a full frame would then make a
// UDP datagram that an ordinary 1500-byte IPv4 path must fragment.
bool setMtu(const std::string& name, int mtu)
{
    cControlSocket control;
    ifreq request;
    return controlReady(control)
        && interfaceRequest(control, name, SIOCSIFMTU, request, "Set tun mtu",
                            [mtu](ifreq& r) { r.ifr_mtu = mtu; });
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
    int index = controlReady(control) ? interfaceIndex(control, mTunName) : -1;
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
    int index = controlReady(control) ? interfaceIndex(control, mTunName) : -1;
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
