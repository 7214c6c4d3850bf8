// Datagrams to a peer from a chosen local address: a broker with several
// addresses answers each peer from the address that peer sent to, since a
// client hears only the address it chose.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <cstddef>

// Room for the control message that names a datagram's local address.
struct tPktInfoControl {
    alignas(cmsghdr) char bytes[CMSG_SPACE(sizeof(in_pktinfo))];
};

// Makes m leave from local; INADDR_ANY leaves the choice to the kernel.
void setLocalSource(msghdr& m, tPktInfoControl& control, in_addr local);
// The same as one control message at c, for a caller that sends others too.
void fillLocalSource(cmsghdr* c, in_addr local);

// One datagram to peer from local.
ssize_t sendFrom(int sock, const void* data, size_t len, const sockaddr_in& peer, in_addr local);

// Asks the kernel to say at which local address each datagram arrived;
// receivedAt reads that from a received message (INADDR_ANY when absent).
bool askForLocalAddress(int sock);
void setLocalControl(msghdr& m, tPktInfoControl& control);
in_addr receivedAt(const msghdr& m);
