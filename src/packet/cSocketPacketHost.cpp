#include "packet/cSocketPacketHost.h"

cSocketPacketHost::cSocketPacketHost(int udpSocket, int tunFd, bool tunOffload)
    : mUdpSocket(udpSocket), mTunFd(tunFd), mTunWriter(tunOffload)
{
}

void cSocketPacketHost::putFrame(const char* frame, int n)
{
    mTunWriter.write(mTunFd, frame, n);
}

void cSocketPacketHost::flushFrames()
{
    mTunWriter.flush(mTunFd);
}

ssize_t cSocketPacketHost::putPacket(const void* data, std::size_t len,
                                     const sDatagramTarget& target)
{
    return sendFrom(mUdpSocket, data, len, *target.to, target.local);
}

void cSocketPacketHost::putCopies(const void* data, std::size_t len,
                                  const sDatagramTarget* targets, std::size_t count, ssize_t* sent)
{
    sendCopies(mUdpSocket, data, len, targets, count, sent);
}

std::size_t cSocketPacketHost::putRun(const unsigned char* frames, std::size_t frameSize,
                                      std::size_t count, std::size_t lastSize,
                                      const sDatagramTarget& target)
{
    return mRunSender.sendRun(mUdpSocket, frames, frameSize, count, lastSize, *target.to,
                              target.local);
}
