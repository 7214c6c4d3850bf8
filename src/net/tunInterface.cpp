// The cBroker operations that create the TUN device (with segmentation
// offload when asked for and granted), give it its IPv6 address and add
// routes through it (the default route, the pool of routed prefixes); and
// those that give the client's LAN interface its address from the routed
// prefix.
#include "main/cBroker.h"

#include "log/logText.h"
#include "net/cControlSocket.h"
#include "packet/vnetHeader.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if_tun.h>
#include <net/if.h>
#include <net/route.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ostream>
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

// SIOCSIFADDR adds the address, SIOCDIFADDR takes it away; false after
// reporting the failure under label. A refusal with errno tolerated (not 0)
// counts as done, unreported.
bool changeAddress(const cControlSocket& control, unsigned long code, const in6_addr* address,
                   int prefixLen, int index, const char* label, int tolerated = 0)
{
    tIn6Ifreq request;
    std::memset(&request, 0, sizeof(request));
    std::memcpy(&request.ifr6_addr, address, sizeof(request.ifr6_addr));
    // Handed over as given: the kernel judges the range.
    request.ifr6_prefixlen = static_cast<uint32_t>(prefixLen);
    request.ifr6_ifindex = index;
    if (ioctl(control.fd(), code, &request) < 0) {
        if (tolerated != 0 && errno == tolerated)
            return true;
        perror(label);
        return false;
    }
    return true;
}

// The same on the named interface, whose index is looked up first.
bool changeNamedAddress(const cControlSocket& control, const std::string& name, unsigned long code,
                        const in6_addr* address, int prefixLen, const char* label, int tolerated = 0)
{
    int index = controlReady(control) ? interfaceIndex(control, name) : -1;
    return index >= 0 && changeAddress(control, code, address, prefixLen, index, label, tolerated);
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

// The clone device, blocking on purpose: the run loops select before every
// read. -1 after reporting the failure.
int openCloneDevice()
{
    int fd = open("/dev/net/tun", O_RDWR);
    if (fd < 0)
        perror("Open clonedev:");
    return fd;
}

// No IFF_NO_PI: frames keep the 4-byte packet-information header that
// travels unchanged in the UDP datagrams. The empty name lets the kernel
// choose one, which request then holds. False with errno as the kernel set it.
bool createDevice(int fd, short flags, ifreq& request)
{
    std::memset(&request, 0, sizeof(request));
    request.ifr_flags = flags;
    return ioctl(fd, TUNSETIFF, &request) == 0;
}

std::string refusal(const char* step)
{
    return std::string(step) + ": " + std::strerror(errno);
}

// Creates the device with a virtio-net header after the packet-information
// header of every frame, through which the kernel hands over and takes TCP
// runs of up to 64 KiB with the checksum left to the other side. Empty when
// the kernel took every step, else the step it refused and why.
std::string offloadRefusal(int fd, ifreq& request)
{
    if (!createDevice(fd, static_cast<short>(IFF_TUN | IFF_VNET_HDR), request))
        return refusal("TUNSETIFF");
    int headerSize = kVnetHeaderLen;
    if (ioctl(fd, TUNSETVNETHDRSZ, &headerSize) < 0)
        return refusal("TUNSETVNETHDRSZ");
    if (ioctl(fd, TUNSETOFFLOAD, static_cast<unsigned long>(TUN_F_CSUM | TUN_F_TSO6)) < 0)
        return refusal("TUNSETOFFLOAD");
    return "";
}

bool offloadWanted(const char* setting)
{
    // Unset is "auto", as the key table says.
    return setting == nullptr || std::strcmp(setting, "auto") == 0;
}

// The descriptor of a device with offload when wanted and granted, else of
// the clone device for a plain one (offload false); -1 after reporting a
// failure. A refusal closes the descriptor, which removes the half-made
// device, and is said once on info.
int openTunDevice(const char* setting, ifreq& request, bool& offload, std::ostream& info)
{
    offload = false;
    int fd = openCloneDevice();
    if (fd < 0 || !offloadWanted(setting))
        return fd;
    std::string refused = offloadRefusal(fd, request);
    if (refused.empty()) {
        offload = true;
        return fd;
    }
    info << "TUN segmentation offload refused (" << refused << "), using plain frames" << std::endl;
    close(fd);
    return openCloneDevice();
}

} // namespace

bool cBroker::openTun()
{
    ifreq request;
    bool offload = false;
    int fd = openTunDevice(mTunOffloadSetting, request, offload, mInfo);
    if (fd < 0)
        return false;
    if (!offload && !createDevice(fd, IFF_TUN, request)) {
        perror("set tunif flags");
        close(fd);
        return false;
    }
    std::string name(request.ifr_name, strnlen(request.ifr_name, IFNAMSIZ));
    // Closing the descriptor removes the device again, so a failed step
    // leaves nothing behind and the fields as they were.
    if (!setMtu(name, mTunMtu)) {
        close(fd);
        return false;
    }
    mTunName = name;
    mTunOffload = offload;
    // The descriptor stays open until the process ends: the device lives as
    // long as the daemon.
    mTunFd = fd;
    mInfo << "Created Tun '" << mTunName << "'" << std::endl;
    return true;
}

bool cBroker::setTunAddress(const in6_addr* address, int prefixLen)
{
    mInfo << "Setting '" << mTunName << "' address to '" << ip6Text(*address) << "/" << prefixLen
          << "'" << std::endl;
    cControlSocket control;
    return changeTunAddress(control, SIOCSIFADDR, address, prefixLen, "Set interface addr")
        && bringUp(control, mTunName);
}

bool cBroker::removeTunAddress(const in6_addr* address, int prefixLen)
{
    mInfo << "Removing '" << ip6Text(*address) << "/" << prefixLen << "' from '" << mTunName << "'"
          << std::endl;
    cControlSocket control;
    return changeTunAddress(control, SIOCDIFADDR, address, prefixLen, "Remove interface addr");
}

bool cBroker::changeTunAddress(cControlSocket& control, unsigned long request,
                               const in6_addr* address, int prefixLen, const char* label)
{
    return changeNamedAddress(control, mTunName, request, address, prefixLen, label);
}

namespace {

// prefix/len straight through the device: no gateway, no source restriction.
bool addRouteThrough(const std::string& device, const in6_addr& prefix, int len)
{
    cControlSocket control;
    int index = controlReady(control) ? interfaceIndex(control, device) : -1;
    if (index < 0)
        return false;

    in6_rtmsg route;
    std::memset(&route, 0, sizeof(route));
    route.rtmsg_dst = prefix;
    route.rtmsg_dst_len = static_cast<uint16_t>(len);
    route.rtmsg_metric = 1024;
    route.rtmsg_flags = RTF_UP;
    route.rtmsg_ifindex = index;
    if (ioctl(control.fd(), SIOCADDRT, &route) < 0) {
        perror("SIOCADDRT failed");
        return false;
    }
    return true;
}

} // namespace

bool cBroker::setDefaultRoute()
{
    mInfo << "Setting default route on dev " << mTunName << std::endl;
    return addRouteThrough(mTunName, in6_addr{}, 0);
}

bool cBroker::setPrefixRoute(const in6_addr& prefix, int len)
{
    mInfo << "Setting route to " << ip6Text(prefix) << "/" << len << " on dev " << mTunName
          << std::endl;
    return addRouteThrough(mTunName, prefix, len);
}

// The LAN interface is the operator's: it is given the address, and its
// flags are left as they are. An address it has already (from a run before
// a restart) is what was wanted.
bool cBroker::setLanAddress(const std::string& name, const in6_addr* address, int prefixLen)
{
    mInfo << "Setting '" << name << "' address to '" << ip6Text(*address) << "/" << prefixLen << "'"
          << std::endl;
    cControlSocket control;
    return changeNamedAddress(control, name, SIOCSIFADDR, address, prefixLen, "Set LAN addr", EEXIST);
}

bool cBroker::removeLanAddress(const std::string& name, const in6_addr* address, int prefixLen)
{
    mInfo << "Removing '" << ip6Text(*address) << "/" << prefixLen << "' from '" << name << "'"
          << std::endl;
    cControlSocket control;
    return changeNamedAddress(control, name, SIOCDIFADDR, address, prefixLen, "Remove LAN addr");
}

bool cBroker::interfaceExists(const char* name)
{
    return if_nametoindex(name) != 0;
}
