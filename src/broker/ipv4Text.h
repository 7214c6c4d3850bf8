// Text of an IPv4 endpoint for the broker's log lines.
#pragma once

#include <netinet/in.h>

#include <string>

// The endpoint's address in dotted form (inet_ntop into a 16-byte buffer).
std::string ipv4Text(const sockaddr_in& endpoint);
