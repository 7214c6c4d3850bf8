#include "net/tunFrameRead.h"

#include "tunnel/frame.h"

#include <sys/uio.h>
#include <unistd.h>

ssize_t readTunFrame(int tunFd, char* buffer, bool first)
{
    if (first)
        return read(tunFd, buffer, kFrameBufferSize);
    iovec into = {buffer, static_cast<size_t>(kFrameBufferSize)};
    return preadv2(tunFd, &into, 1, -1, RWF_NOWAIT);
}
