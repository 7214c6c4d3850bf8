#include "tunnel/peerSend.h"

#include <sys/uio.h>

#include <cstring>

void setLocalSource(msghdr& m, tPktInfoControl& control, in_addr local)
{
    if (local.s_addr == htonl(INADDR_ANY)) {
        m.msg_control = nullptr;
        m.msg_controllen = 0;
        return;
    }
    std::memset(&control, 0, sizeof(control));
    m.msg_control = control.bytes;
    m.msg_controllen = sizeof(control.bytes);
    fillLocalSource(CMSG_FIRSTHDR(&m), local);
}

void fillLocalSource(cmsghdr* c, in_addr local)
{
    c->cmsg_level = IPPROTO_IP;
    c->cmsg_type = IP_PKTINFO;
    c->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
    in_pktinfo info;
    std::memset(&info, 0, sizeof(info));
    info.ipi_spec_dst = local;
    std::memcpy(CMSG_DATA(c), &info, sizeof(info));
}

ssize_t sendFrom(int sock, const void* data, size_t len, const sockaddr_in& peer, in_addr local)
{
    iovec bytes = {const_cast<void*>(data), len};
    msghdr m;
    std::memset(&m, 0, sizeof(m));
    m.msg_name = const_cast<sockaddr_in*>(&peer);
    m.msg_namelen = sizeof(peer);
    m.msg_iov = &bytes;
    m.msg_iovlen = 1;
    tPktInfoControl control;
    setLocalSource(m, control, local);
    return sendmsg(sock, &m, 0);
}

bool askForLocalAddress(int sock)
{
    int on = 1;
    return setsockopt(sock, IPPROTO_IP, IP_PKTINFO, &on, sizeof(on)) == 0;
}

void setLocalControl(msghdr& m, tPktInfoControl& control)
{
    m.msg_control = control.bytes;
    m.msg_controllen = sizeof(control.bytes);
}

in_addr receivedAt(const msghdr& m)
{
    in_addr local;
    local.s_addr = htonl(INADDR_ANY);
    if (m.msg_control == nullptr || (m.msg_flags & MSG_CTRUNC) != 0)
        return local;
    for (cmsghdr* c = CMSG_FIRSTHDR(&m); c != nullptr; c = CMSG_NXTHDR(const_cast<msghdr*>(&m), c)) {
        if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
            in_pktinfo info;
            std::memcpy(&info, CMSG_DATA(c), sizeof(info));
            return info.ipi_addr;
        }
    }
    return local;
}
