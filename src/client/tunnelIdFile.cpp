// The client's tunnel-identifier file: the identifier that the broker
// assigned, kept across runs so that the next request presents it and gets
// the same tunnel address back. Best effort in both directions.
#include "main/cBroker.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <locale>

unsigned cBroker::readTunnelId()
{
    std::ifstream in(mTunIdPath);
    if (!in)
        return 0;
    in.imbue(std::locale::classic());
    // An ordinary formatted extraction: leading blanks are skipped and a
    // sign is taken as it takes it. A text without a number leaves 0; one
    // beyond 32 bits gives the largest identifier, as the extraction does.
    uint32_t id = 0;
    in >> id;
    return id;
}

void cBroker::writeTunnelId(unsigned id)
{
    int fd = open(mTunIdPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    char text[16];
    int len = std::snprintf(text, sizeof text, "%u", id);
    ssize_t written = write(fd, text, static_cast<size_t>(len));
    (void)written; // best effort: a short file reads back as another number or 0
    close(fd);
}
