// Frames to one destination gathered end to end while they can leave as one
// segmented send, so that a flow of equal-size packets costs one send call
// per run instead of one per packet.
#pragma once

#include "packet/tcpSegmenter.h"

#include <cstddef>
#include <vector>

class cFrameRun {
public:
    cFrameRun();

    // Adds the frame when it continues the run to destination (a pointer
    // that names it, only compared). False when it does not: a run of
    // another destination or size, a full run, or a frame that no run takes
    // (empty or above the largest datagram). The caller then sends the run,
    // clears it and adds again; a frame refused by an empty run goes alone.
    bool add(const void* destination, const char* frame, std::size_t len);

    bool empty() const { return mCount == 0; }
    const void* destination() const { return mDestination; }
    const unsigned char* frames() const { return mBytes.data(); }
    // The run's shape; count is 0 when empty.
    sWireFrames cut() const { return {mCount, mFrameSize, mLastSize}; }
    void clear();

private:
    std::vector<unsigned char> mBytes;
    const void* mDestination = nullptr;
    std::size_t mCount = 0;
    std::size_t mFrameSize = 0;
    std::size_t mLastSize = 0;
};
