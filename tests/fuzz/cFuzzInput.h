// Reads a fuzzer input as a short header and a series of datagrams.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// One datagram of the series.
struct sFuzzDatagram {
    uint8_t selector;        // picks the sender endpoint
    bool failedRead;         // stands for a read that returned -1
    std::vector<char> bytes; // the datagram, 0 to kMaxDatagram bytes
};

// Record layout after the header: one selector byte, a two-byte big-endian
// length, then that many bytes (modulo kMaxDatagram + 1, and no more than
// the input still holds). The length 0xffff is a failed read, with no bytes.
class cFuzzInput {
public:
    static const std::size_t kMaxDatagram = 2048;
    static const uint16_t kFailedRead = 0xffff;

    cFuzzInput(const uint8_t* data, std::size_t size) : mData(data), mSize(size), mPos(0) {}

    // The next header byte, or 0 once the input is used up.
    uint8_t byte();
    // False when fewer than three bytes are left.
    bool nextDatagram(sFuzzDatagram& out);

private:
    const uint8_t* mData;
    std::size_t mSize;
    std::size_t mPos;
};
