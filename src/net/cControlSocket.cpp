#include "net/cControlSocket.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

cControlSocket::cControlSocket()
    : mFd(socket(AF_INET6, SOCK_DGRAM, 0))
{
}

cControlSocket::~cControlSocket()
{
    if (mFd >= 0)
        close(mFd);
}
