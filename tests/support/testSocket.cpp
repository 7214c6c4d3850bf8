#include "testSocket.h"

#include "log/logText.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

sockaddr_in endpoint(const char* ip, unsigned short port)
{
    sockaddr_in a;
    std::memset(&a, 0, sizeof(a));
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    inet_pton(AF_INET, ip, &a.sin_addr);
    return a;
}

cTestSocket::cTestSocket(const char* ip, unsigned short port)
    : mFd(socket(AF_INET, SOCK_DGRAM, 0)), mAddr(::endpoint(ip, port))
{
    socklen_t len = sizeof(mAddr);
    if (mFd < 0 || bind(mFd, reinterpret_cast<sockaddr*>(&mAddr), sizeof(mAddr)) != 0
        || getsockname(mFd, reinterpret_cast<sockaddr*>(&mAddr), &len) != 0)
        ADD_FAILURE() << "cannot bind a UDP socket on " << ip << ": " << std::strerror(errno);
}

cTestSocket::~cTestSocket()
{
    if (mFd >= 0)
        close(mFd);
}

std::string cTestSocket::endpoint() const
{
    return endpointText(mAddr);
}

void cTestSocket::sendTo(const std::string& bytes, const sockaddr_in& to) const
{
    sendto(mFd, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

std::string cTestSocket::receive(int waitMs) const
{
    pollfd p = {mFd, POLLIN, 0};
    if (waitMs > 0 && poll(&p, 1, waitMs) != 1)
        return "<none>";
    return takeDatagram(mFd);
}

std::vector<std::string> cTestSocket::pending() const
{
    return pendingDatagrams(mFd);
}

std::vector<std::string> pendingDatagrams(int fd)
{
    std::vector<std::string> got;
    for (int i = 0; i < 64; ++i) {
        std::string d = takeDatagram(fd);
        if (d == "<none>")
            break;
        got.push_back(d);
    }
    return got;
}

std::string takeDatagram(int fd)
{
    char buffer[4096];
    ssize_t n = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    return n < 0 ? std::string("<none>") : std::string(buffer, static_cast<size_t>(n));
}
