// The client's tunnel-identifier file: the identifier that the broker
// assigned, kept across runs so that the next request presents it and gets
// the same tunnel address back; beside it the key and the routed prefix. A
// write that fails is reported, and the run goes on without it.
#include "main/cBroker.h"

#include "log/replaceFile.h"
#include "tunnel/tunnelKey.h"

#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <locale>
#include <string>

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

std::string cBroker::statePathBeside(const char* name) const
{
    std::string::size_type slash = mTunIdPath.rfind('/');
    return (slash == std::string::npos ? std::string() : mTunIdPath.substr(0, slash + 1)) + name;
}

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
    std::string path = statePathBeside("tunkey");
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
    std::string path = statePathBeside("tunkey");
    int failure = replaceFile(path, key, 0600);
    if (failure != 0)
        mError << "Cannot write the tunnel key file '" << path << "': " << std::strerror(failure)
               << std::endl;
}

void cBroker::writeRoutedPrefix(const std::string& prefix)
{
    std::string path = statePathBeside("routedprefix");
    if (prefix.empty()) {
        if (unlink(path.c_str()) != 0 && errno != ENOENT)
            mError << "Cannot remove the routed prefix file '" << path
                   << "': " << std::strerror(errno) << std::endl;
        return;
    }
    int failure = replaceFile(path, prefix + "\n", 0644);
    if (failure != 0)
        mError << "Cannot write the routed prefix file '" << path << "': " << std::strerror(failure)
               << std::endl;
}
