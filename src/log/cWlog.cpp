#include "log/cWlog.h"

#include "config/cConfig.h"

#include <log4cpp/Category.hh>
#include <log4cpp/Configurator.hh>
#include <log4cpp/OstreamAppender.hh>
#include <log4cpp/PatternLayout.hh>
#include <log4cpp/PropertyConfigurator.hh>

#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <map>
#include <string>
#include <vector>

namespace {

const char kLog4cppPrefix[] = "log4cpp.";
const char kDefaultPattern[] = "%d{%Y-%m-%d %H:%M:%S.%l} %-5p %c: %m%n";

// Drops every appender and threshold that an earlier set-up left behind, so
// that init can be called again and a rejected configuration leaves nothing.
void resetLog4cpp()
{
    std::vector<log4cpp::Category*>* all = log4cpp::Category::getCurrentCategories();
    log4cpp::Category& root = log4cpp::Category::getRoot();
    for (log4cpp::Category* category : *all) {
        category->removeAllAppenders();
        category->setAdditivity(true);
        if (category != &root)
            category->setPriority(log4cpp::Priority::NOTSET);
    }
    delete all;
    root.setPriority(log4cpp::Priority::INFO);
}

void installDefault()
{
    resetLog4cpp();
    auto* appender = new log4cpp::OstreamAppender("stderr", &std::cerr);
    auto* layout = new log4cpp::PatternLayout();
    layout->setConversionPattern(kDefaultPattern);
    appender->setLayout(layout);
    log4cpp::Category& root = log4cpp::Category::getRoot();
    root.setPriority(log4cpp::Priority::INFO);
    root.addAppender(appender);
}

// log4cpp's configurator only reads files, so the "log4cpp." keys (after our
// own parsing: trimmed, last one wins) are handed to it through an anonymous
// in-memory file. Returns false with a message in why on any failure.
bool configureFromKeys(const std::map<std::string, std::string>& keys, std::string& why)
{
    std::string text;
    for (const auto& kv : keys)
        text += kv.first + "=" + kv.second + "\n";

    int fd = memfd_create("quibd-log4cpp", MFD_CLOEXEC);
    if (fd < 0) {
        why = "cannot create an in-memory file for log4cpp";
        return false;
    }
    bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    std::string path = "/proc/self/fd/" + std::to_string(fd);
    bool ok = false;
    if (!written) {
        why = "cannot write the in-memory file for log4cpp";
    } else {
        try {
            resetLog4cpp();
            log4cpp::PropertyConfigurator::configure(path);
            ok = true;
        } catch (const std::exception& e) {
            why = e.what();
        }
    }
    close(fd);
    return ok;
}

} // namespace

cWlog::cWlog(const char* name)
    : mName(name), mInfo(name), mDebug(name), mError(name)
{
}

cWlog::~cWlog() = default;

void cWlog::init(const char* configPath)
{
    std::map<std::string, std::string> keys;
    if (configPath == nullptr
        || !cConfig::readKeysWithPrefix(configPath, kLog4cppPrefix, keys)
        || keys.empty()) {
        installDefault();
        return;
    }
    std::string why;
    if (!configureFromKeys(keys, why)) {
        std::cerr << "quibd: log4cpp settings in '" << configPath
                  << "' rejected (" << why << "); logging to standard error" << std::endl;
        installDefault();
    }
}

log4cpp::Category& cWlog::getLog(const char* name)
{
    return log4cpp::Category::getInstance(std::string(name));
}
