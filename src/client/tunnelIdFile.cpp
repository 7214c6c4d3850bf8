// The client's tunnel-identifier file: the identifier that the broker
// assigned, kept across runs so that the next request presents it and gets
// the same tunnel address back. Best effort in both directions.
#include "main/cBroker.h"

#include <fcntl.h>
#include <libgen.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <locale>
#include <string>

namespace {

// Makes a rename in the file's directory durable; best effort.
void syncDirectoryOf(const std::string& path)
{
    std::string copy = path;
    int fd = open(dirname(&copy[0]), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    fsync(fd);
    close(fd);
}

} // namespace

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

// The digits go to a temporary file beside the real one, reach the disk and
// then replace it in one rename, so a crash at any point leaves either the
// old identifier or the new one, never an empty file.
void cBroker::writeTunnelId(unsigned id)
{
    std::string temporary = mTunIdPath + ".XXXXXX";
    int fd = mkostemp(&temporary[0], O_CLOEXEC);
    if (fd < 0)
        return;
    char text[16];
    int len = std::snprintf(text, sizeof text, "%u", id);
    bool written = fchmod(fd, 0644) == 0 && write(fd, text, static_cast<size_t>(len)) == len
        && fsync(fd) == 0;
    close(fd);
    if (!written || rename(temporary.c_str(), mTunIdPath.c_str()) != 0) {
        unlink(temporary.c_str());
        return;
    }
    syncDirectoryOf(mTunIdPath);
}
