// The client's tunnel-identifier file: the identifier that the broker
// assigned, kept across runs so that the next request presents it and gets
// the same tunnel address back. Best effort in both directions.
#include "main/cBroker.h"

#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <locale>

std::string gTunIdPath = "/var/lib/quibd/tunid";

unsigned cBroker::readTunnelId()
{
    std::ifstream in(gTunIdPath);
    if (!in)
        return 0;
    in.imbue(std::locale::classic());
    in >> std::ws;
    // Only a digit may start the number: the extraction would otherwise take
    // "-5" as 4294967291, and a value beyond 32 bits fails. Both read as 0, so
    // a damaged file never presents an identifier the broker did not give us
    // (the broker drops every other tunnel that presents the same one).
    if (!std::isdigit(in.peek()))
        return 0;
    uint32_t id = 0;
    if (!(in >> id))
        return 0;
    return id;
}

void cBroker::writeTunnelId(unsigned id)
{
    int fd = open(gTunIdPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    char text[16];
    int len = std::snprintf(text, sizeof text, "%u", id);
    ssize_t written = write(fd, text, len);
    (void)written; // best effort: a short file reads back as another number or 0
    close(fd);
}
