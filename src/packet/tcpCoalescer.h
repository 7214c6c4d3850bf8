// Merges consecutive TCP/IPv6 segments of one flow, as frames arrive from
// the wire, into one super-segment for a TUN device opened with
// IFF_VNET_HDR and with packet information (no IFF_NO_PI), so the kernel
// takes a burst in one write. Every write starts with the 4-byte packet
// information and a virtio header (sVnetHeader), of the size such a device
// expects unless told otherwise (TUNSETVNETHDRSZ).
//
// The caller, per received frame:
//     if (!c.add(frame, n)) {
//         write the bytes of c.flush(), if any;
//         if (!c.add(frame, n))
//             write cTcpCoalescer::frameAlone(frame, n, ...);
//     }
// and writes the bytes of c.flush() once no more frames are waiting.
#pragma once

#include "packet/tcpSegmenter.h"

#include <cstddef>
#include <cstdint>
#include <vector>

// Bytes for one write(2) to the device; len 0 when there is nothing.
struct sTunWrite {
    const unsigned char* bytes;
    size_t len;
};

class cTcpCoalescer {
public:
    cTcpCoalescer();

    // True when the frame (packet information and IPv6 packet) joined the
    // pending merge or started one. It joins only a merge it continues
    // exactly: same packet information, addresses, ports, traffic class,
    // flow label and hop limit, the next sequence number, the same
    // acknowledgment, window and TCP options, flags ACK (PSH allowed, which
    // ends the merge), a payload as long as the first segment's (a shorter
    // one ends the merge), no extension headers, a valid checksum, and room
    // left under the 65535-byte payload length.
    bool add(const unsigned char* frame, size_t len);

    // The pending merge as one write, after which nothing is pending. With
    // two or more segments: packet information, a virtio header asking for
    // TCP/IPv6 GSO and the checksum, the first segment's headers with the
    // merged length, the last segment's flags and the pseudo-header sum in
    // the checksum field, then every payload in order. A lone segment goes
    // exactly as received behind a virtio header of zeros. The bytes stay
    // valid until the next add.
    sTunWrite flush();

    // Writes a frame as one write to the device: its packet information, a
    // virtio header of zeros, its packet. Returns the bytes written, 0 when
    // len is under the packet information or out has too little room.
    // (A caller may instead put the zero header between the two parts with
    // writev.)
    static size_t frameAlone(const unsigned char* frame, size_t len, unsigned char* out,
                             size_t capacity);

private:
    struct sSegment;

    bool continues(const unsigned char* frame, const sSegment& s) const;
    void start(const unsigned char* frame, size_t len, const sSegment& s);
    void append(const sSegment& s);
    void completeMerge();

    // Packet information, room for the virtio header, the first segment's
    // headers, then the payloads; sized once for the largest merge.
    std::vector<unsigned char> mBuffer;
    size_t mLen = 0; // 0: nothing pending
    size_t mSegments = 0;
    size_t mTcpLen = 0;
    size_t mSegmentLen = 0; // payload of the first segment
    uint32_t mNextSequence = 0;
    uint8_t mLastFlags = 0;
    bool mEnded = false; // a shorter or PSH segment was taken
};
