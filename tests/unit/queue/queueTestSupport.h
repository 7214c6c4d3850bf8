// What both halves of the queue's tests share: log records and senders.
#pragma once

#include "logCapture.h"
#include "queue/cPktQueue.h"

#include <arpa/inet.h>

#include <cstring>
#include <string>
#include <vector>

using Records = std::vector<std::string>;

const char kOverflow[] = "ERROR cPktQueu Queue overflow. Dropping packet";
// Followed by "N packets dropped in the last T s".
const char kDropSummary[] = "INFO cPktQueu Queue overflow: ";

inline sockaddr_in makeSource(const std::string& address, unsigned short port)
{
    sockaddr_in source;
    std::memset(&source, 0, sizeof source);
    source.sin_family = AF_INET;
    source.sin_port = htons(port);
    inet_pton(AF_INET, address.c_str(), &source.sin_addr);
    return source;
}

inline bool sameSource(const sockaddr_in& a, const sockaddr_in& b)
{
    return std::memcmp(&a, &b, sizeof a) == 0;
}
