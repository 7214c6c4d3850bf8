// The client's tunnel-identifier file: the identifier that the broker
// assigned, kept across runs so that the next request presents it and gets
// the same tunnel address back. A write that fails is reported, and the run
// goes on without it.
#include "main/cBroker.h"

#include "tunnel/tunnelKey.h"

#include <fcntl.h>
#include <libgen.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
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

namespace {

// The content goes to a temporary file beside the real one, reaches the
// disk and then replaces it in one rename, so a crash at any point leaves
// either the old content or the new one, never an empty file. 0, or the
// errno of the step that failed.
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

// The key file sits beside the identifier file.
std::string keyPathBeside(const std::string& idPath)
{
    std::string::size_type slash = idPath.rfind('/');
    return (slash == std::string::npos ? std::string() : idPath.substr(0, slash + 1)) + "tunkey";
}

} // namespace

void cBroker::writeTunnelId(unsigned id)
{
    int failure = replaceFile(mTunIdPath, std::to_string(id), 0644);
    if (failure != 0)
        mError << "Cannot write the tunnel identifier file '" << mTunIdPath
               << "': " << std::strerror(failure) << std::endl;
}

// A key file that holds no key of the broker's form is read as none: the
// request then asks for a key and the offer's key replaces the file.
std::string cBroker::readTunnelKey()
{
    std::string path = keyPathBeside(mTunIdPath);
    std::ifstream in(path);
    std::string key;
    if (!in)
        return key;
    in >> key;
    if (!tunnelKeyTextUsable(key)) {
        mInfo << "The tunnel key file '" << path
              << "' holds no usable key, the broker's next key replaces it" << std::endl;
        key.clear();
    }
    return key;
}

void cBroker::writeTunnelKey(const std::string& key)
{
    std::string path = keyPathBeside(mTunIdPath);
    int failure = replaceFile(path, key, 0600);
    if (failure != 0)
        mError << "Cannot write the tunnel key file '" << path << "': " << std::strerror(failure)
               << std::endl;
}
