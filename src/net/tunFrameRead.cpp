#include "net/tunFrameRead.h"

#include "packet/frame.h"

#include <sys/uio.h>
#include <unistd.h>

ssize_t readTunFrame(int tunFd, char* buffer, bool first, std::size_t capacity)
{
    if (first)
        return read(tunFd, buffer, capacity);
    iovec into = {buffer, capacity};
    return preadv2(tunFd, &into, 1, -1, RWF_NOWAIT);
}
