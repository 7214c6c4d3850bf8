#include "broker/brokerSecret.h"

#include "log/logText.h"

#include <fcntl.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

bool fail(std::ostream& err, const std::string& path, const std::string& why)
{
    err << "Broker key file '" << printableText(path.c_str()) << "' " << why << ". Bailing out"
        << std::endl;
    return false;
}

// A fresh machine has no state directory until a package makes it: make the
// key file's own directory, private to the daemon's user, as the file is.
// Only the last component; a deeper gap keeps the error of the create.
void makeKeyDirectory(const std::string& path)
{
    std::string::size_type slash = path.rfind('/');
    if (slash == std::string::npos || slash == 0)
        return;
    mkdir(path.substr(0, slash).c_str(), 0700);
}

bool createSecret(const std::string& path, unsigned char secret[kBrokerSecretLen],
                  std::ostream& err)
{
    makeKeyDirectory(path);
    std::string temporary = path + ".XXXXXX";
    int fd = mkostemp(&temporary[0], O_CLOEXEC);
    if (fd < 0)
        return fail(err, path, std::string("cannot be created: ") + std::strerror(errno));
    randombytes_buf(secret, kBrokerSecretLen);
    bool written = fchmod(fd, 0600) == 0
        && write(fd, secret, kBrokerSecretLen) == kBrokerSecretLen && fsync(fd) == 0;
    int saved = errno;
    close(fd);
    if (!written || rename(temporary.c_str(), path.c_str()) != 0) {
        saved = written ? errno : saved;
        unlink(temporary.c_str());
        sodium_memzero(secret, kBrokerSecretLen);
        return fail(err, path, std::string("cannot be created: ") + std::strerror(saved));
    }
    return true;
}

bool readSecret(int fd, const std::string& path, unsigned char secret[kBrokerSecretLen],
                std::ostream& err)
{
    struct stat st;
    if (fstat(fd, &st) != 0)
        return fail(err, path, std::string("cannot be read: ") + std::strerror(errno));
    if (!S_ISREG(st.st_mode))
        return fail(err, path, "is not a regular file");
    if ((st.st_mode & (S_IRGRP | S_IROTH)) != 0)
        return fail(err, path, "can be read by group or others (chmod 600 it)");
    if (st.st_size != kBrokerSecretLen)
        return fail(err, path,
                    "must hold " + std::to_string(kBrokerSecretLen) + " bytes, not "
                        + std::to_string(static_cast<long long>(st.st_size)));
    ssize_t got = read(fd, secret, kBrokerSecretLen);
    if (got < 0)
        return fail(err, path, std::string("cannot be read: ") + std::strerror(errno));
    // The size was right a moment ago: the file changed under us.
    if (got != kBrokerSecretLen)
        return fail(err, path, "holds " + std::to_string(got) + " bytes, expected "
                                   + std::to_string(kBrokerSecretLen));
    return true;
}

} // namespace

bool loadBrokerSecret(const std::string& path, unsigned char secret[kBrokerSecretLen],
                      std::ostream& err)
{
    if (sodium_init() < 0)
        return fail(err, path, "cannot be used: libsodium did not start");
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0 && errno == ENOENT)
        return createSecret(path, secret, err);
    if (fd < 0)
        return fail(err, path, std::string("cannot be read: ") + std::strerror(errno));
    bool ok = readSecret(fd, path, secret, err);
    close(fd);
    return ok;
}
