// Reading and writing a TUN device opened with the virtio header and
// segmentation offload, in wire frames: a read becomes the frames a device
// without offload would have given, and frames to write are merged where the
// kernel can take them as one super-segment.
#pragma once

#include "packet/tcpCoalescer.h"
#include "packet/tcpSegmenter.h"

#include <cstddef>
#include <vector>

// Room for one read of such a device: packet information, virtio header and
// the largest IPv6 packet.
constexpr std::size_t kOffloadReadSize = kPacketInfoLen + kVnetHeaderLen + 65535 + 40;

// The wire frames of one read (packet information, virtio header, packet)
// laid end to end in out; false for a read that yields none (too short, a
// kind of offload we did not ask for, malformed).
bool wireFramesOfRead(const char* read, int n, int mtu, std::vector<unsigned char>& out,
                      sWireFrames& frames);

// Writes wire frames to the TUN device. Without offload each frame is one
// write, as always; with it consecutive TCP segments of one flow wait in a
// merge until flush() (or a frame that does not continue it) writes them as
// one super-segment. A frame the device refuses is lost, like one lost on
// the way.
class cTunWriter {
public:
    explicit cTunWriter(bool offload);

    // fd: the device, the same at every call until flush.
    void write(int fd, const char* frame, int n);
    void flush(int fd);

private:
    static void writeBytes(int fd, const unsigned char* bytes, std::size_t len);

    bool mOffload;
    cTcpCoalescer mCoalescer;
    std::vector<unsigned char> mAlone;
};
