#include "memoryPacketHost.h"

#include <utility>

void cMemoryPacketHost::putFrame(const char* frame, int n)
{
    if (n >= 0)
        frames.emplace_back(frame, static_cast<std::size_t>(n));
}

void cMemoryPacketHost::flushFrames()
{
    ++flushes;
}

ssize_t cMemoryPacketHost::putPacket(const void* data, std::size_t len,
                                     const sDatagramTarget& target)
{
    if (failSends)
        return -1;
    datagrams.push_back({std::string(static_cast<const char*>(data), len), *target.to, target.local});
    return static_cast<ssize_t>(len);
}

void cMemoryPacketHost::putCopies(const void* data, std::size_t len,
                                  const sDatagramTarget* targets, std::size_t count, ssize_t* sent)
{
    for (std::size_t i = 0; i < count; ++i)
        sent[i] = putPacket(data, len, targets[i]);
}

std::size_t cMemoryPacketHost::putRun(const unsigned char* frames, std::size_t frameSize,
                                      std::size_t count, std::size_t lastSize,
                                      const sDatagramTarget& target)
{
    for (std::size_t i = 0; i < count; ++i)
        if (putPacket(frames + i * frameSize, i + 1 == count ? lastSize : frameSize, target) < 0)
            return i;
    return count;
}

std::vector<cMemoryPacketHost::sDatagram> cMemoryPacketHost::takeDatagrams()
{
    return std::exchange(datagrams, {});
}

std::vector<std::string> cMemoryPacketHost::takeFrames()
{
    return std::exchange(frames, {});
}
