#include "packet/tunOffloadIo.h"

#include <unistd.h>

#include <cstring>

bool wireFramesOfRead(const char* read, int n, int mtu, std::vector<unsigned char>& out,
                      sWireFrames& frames)
{
    const std::size_t headers = kPacketInfoLen + kVnetHeaderLen;
    if (n < 0 || static_cast<std::size_t>(n) <= headers)
        return false;
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(read);
    sVnetHeader vnet;
    std::memcpy(&vnet, bytes + kPacketInfoLen, sizeof vnet);
    if (out.size() < kWireFramesCapacity)
        out.resize(kWireFramesCapacity);
    return segmentForWire(vnet, bytes + headers, static_cast<std::size_t>(n) - headers, bytes, mtu,
                          out.data(), out.size(), frames);
}

cTunWriter::cTunWriter(bool offload) : mOffload(offload) {}

void cTunWriter::write(int fd, const char* frame, int n)
{
    if (n < 0)
        return;
    if (!mOffload) {
        writeBytes(fd, reinterpret_cast<const unsigned char*>(frame), static_cast<std::size_t>(n));
        return;
    }
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(frame);
    if (mCoalescer.add(bytes, static_cast<std::size_t>(n)))
        return;
    flush(fd);
    if (mCoalescer.add(bytes, static_cast<std::size_t>(n)))
        return;
    // Not TCP, or not a segment that can start a merge: alone, behind a
    // virtio header of zeros.
    mAlone.resize(static_cast<std::size_t>(n) + kVnetHeaderLen);
    std::size_t len = cTcpCoalescer::frameAlone(bytes, static_cast<std::size_t>(n), mAlone.data(),
                                                mAlone.size());
    writeBytes(fd, mAlone.data(), len);
}

void cTunWriter::flush(int fd)
{
    if (!mOffload)
        return;
    sTunWrite pending = mCoalescer.flush();
    writeBytes(fd, pending.bytes, pending.len);
}

void cTunWriter::writeBytes(int fd, const unsigned char* bytes, std::size_t len)
{
    if (len == 0)
        return;
    ssize_t written = ::write(fd, bytes, len);
    (void)written;
}
