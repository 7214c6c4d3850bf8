#include "log/logReopen.h"

#include "log/cLogOStream.h"
#include "log/cWlog.h"

#include <log4cpp/Appender.hh>
#include <log4cpp/Category.hh>

#include <sys/signalfd.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace {

// Every appender some category writes to. log4cpp's own reopenAll stops at
// the first appender that fails, which would leave the others on the old
// files; here each one is tried and a failure is named.
std::set<log4cpp::Appender*> attachedAppenders()
{
    std::set<log4cpp::Appender*> appenders;
    std::unique_ptr<std::vector<log4cpp::Category*>> categories(
        log4cpp::Category::getCurrentCategories());
    for (log4cpp::Category* category : *categories)
        for (log4cpp::Appender* appender : category->getAllAppenders())
            appenders.insert(appender);
    return appenders;
}

// Names of the appenders that could not reopen their file.
std::vector<std::string> reopenAppenders()
{
    std::vector<std::string> failed;
    std::lock_guard<std::mutex> hold(logAppendLock());
    for (log4cpp::Appender* appender : attachedAppenders())
        if (!appender->reopen())
            failed.push_back(appender->getName());
    return failed;
}

} // namespace

int openHangupDescriptor()
{
    sigset_t hangup;
    sigemptyset(&hangup);
    sigaddset(&hangup, SIGHUP);
    // Blocked even when the descriptor cannot be made: a reload then does
    // nothing, where the default action would end the daemon.
    if (pthread_sigmask(SIG_BLOCK, &hangup, nullptr) != 0) {
        perror("Block SIGHUP");
        return -1;
    }
    int fd = signalfd(-1, &hangup, SFD_NONBLOCK | SFD_CLOEXEC);
    if (fd < 0)
        perror("signalfd SIGHUP");
    return fd;
}

void serveHangup(int fd)
{
    signalfd_siginfo info;
    bool hungUp = false;
    while (read(fd, &info, sizeof info) == static_cast<ssize_t>(sizeof info))
        hungUp = true;
    if (!hungUp)
        return;

    std::vector<std::string> failed = reopenAppenders();
    cWlog log("cBroker");
    for (const std::string& name : failed)
        log.mError << "Could not reopen the log appender '" << name << "'" << std::endl;
    log.mInfo << "Reopened log files on SIGHUP" << std::endl;
}
