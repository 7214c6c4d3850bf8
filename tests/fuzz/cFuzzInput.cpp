#include "cFuzzInput.h"

#include <algorithm>

uint8_t cFuzzInput::byte()
{
    if (mPos >= mSize)
        return 0;
    return mData[mPos++];
}

bool cFuzzInput::nextDatagram(sFuzzDatagram& out)
{
    if (mSize - mPos < 3)
        return false;
    out.selector = mData[mPos];
    uint16_t raw = static_cast<uint16_t>((mData[mPos + 1] << 8) | mData[mPos + 2]);
    mPos += 3;
    out.failedRead = raw == kFailedRead;
    out.bytes.clear();
    if (out.failedRead)
        return true;
    std::size_t len = std::min<std::size_t>(raw % (kMaxDatagram + 1), mSize - mPos);
    out.bytes.assign(mData + mPos, mData + mPos + len);
    mPos += len;
    return true;
}
