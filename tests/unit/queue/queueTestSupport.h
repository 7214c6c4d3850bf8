// What both halves of the queue's tests share: log records and senders
// (endpoint() makes them).
#pragma once

#include "logCapture.h"
#include "queue/cPktQueue.h"
#include "testSocket.h"

#include <cstring>
#include <string>
#include <vector>

const char kOverflow[] = "ERROR cPktQueu Queue overflow. Dropping packet";
// Followed by "N packets dropped in the last T s".
const char kDropSummary[] = "INFO cPktQueu Queue overflow: ";

inline bool sameSource(const sockaddr_in& a, const sockaddr_in& b)
{
    return std::memcmp(&a, &b, sizeof a) == 0;
}
