#include "packet/frameRun.h"

#include "packet/datagramSender.h"

#include <cstring>

cFrameRun::cFrameRun()
{
    mBytes.reserve(kMaxUdpPayload);
}

bool cFrameRun::add(const void* destination, const char* frame, std::size_t len)
{
    if (len == 0 || len > kMaxUdpPayload)
        return false;
    if (mCount > 0) {
        // Only the last datagram of a segmented send may be shorter.
        bool continues = destination == mDestination && mLastSize == mFrameSize && len <= mFrameSize
            && mCount < kMaxSegments && mBytes.size() + len <= kMaxUdpPayload;
        if (!continues)
            return false;
    } else {
        mDestination = destination;
        mFrameSize = len;
    }
    mBytes.insert(mBytes.end(), frame, frame + len);
    mLastSize = len;
    ++mCount;
    return true;
}

void cFrameRun::clear()
{
    mBytes.clear();
    mDestination = nullptr;
    mCount = 0;
    mFrameSize = 0;
    mLastSize = 0;
}
