#include "status/controlPath.h"

#include "config/configKeys.h"

namespace {

const char kSocketDirectory[] = "/run/quibd/";
const char kConfigSuffix[] = ".conf";

// "/etc/quib/broker.conf" -> "broker"; "/x/y/foo" -> "foo".
std::string configName(const std::string& path)
{
    std::string name = path.substr(path.rfind('/') + 1);
    const std::string suffix = kConfigSuffix;
    if (name.size() > suffix.size()
        && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
        name.erase(name.size() - suffix.size());
    // A path ending in "/" names no file; the daemon's own name stands in.
    return name.empty() ? "quibd" : name;
}

} // namespace

std::string controlSocketPath(const char* configPath)
{
    const char* configured = configText("quib.control.socket");
    if (configured != nullptr) {
        // A relative path is the configuration file's neighbour, wherever
        // the daemon was started from.
        std::string path = configured;
        std::string config = configPath ? configPath : kDefaultConfigPath;
        std::string::size_type slash = config.rfind('/');
        if (!path.empty() && path[0] != '/' && slash != std::string::npos)
            path = config.substr(0, slash + 1) + path;
        return path;
    }
    return kSocketDirectory + configName(configPath ? configPath : kDefaultConfigPath) + ".sock";
}
