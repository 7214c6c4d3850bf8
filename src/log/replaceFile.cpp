#include "log/replaceFile.h"

#include <fcntl.h>
#include <libgen.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

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

int replaceFile(const std::string& path, const std::string& content, mode_t mode)
{
    std::string temporary = path + ".XXXXXX";
    int fd = mkostemp(&temporary[0], O_CLOEXEC);
    if (fd < 0)
        return errno;
    // A short write sets no errno of its own.
    errno = EIO;
    bool written = fchmod(fd, mode) == 0
        && write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size())
        && fsync(fd) == 0;
    int failure = written ? 0 : errno;
    close(fd);
    if (written && rename(temporary.c_str(), path.c_str()) != 0)
        failure = errno;
    if (failure != 0) {
        unlink(temporary.c_str());
        return failure;
    }
    syncDirectoryOf(path);
    return 0;
}
