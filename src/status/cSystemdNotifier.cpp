#include "status/cSystemdNotifier.h"

#include <systemd/sd-daemon.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>

cSystemdNotifier::cSystemdNotifier() : mEnabled(std::getenv("NOTIFY_SOCKET") != nullptr)
{
    // sd_watchdog_enabled also checks WATCHDOG_PID, so a child that kept
    // its parent's environment does not feed the parent's watchdog.
    uint64_t usec = 0;
    if (mEnabled && sd_watchdog_enabled(0, &usec) > 0)
        mWatchdogInterval = static_cast<long long>(usec) * 1000;
}

void cSystemdNotifier::ready()
{
    if (mReadySent)
        return;
    mReadySent = true;
    send("READY=1");
}

void cSystemdNotifier::setStatus(const std::string& text, long long now)
{
    // Each line of a notification is an assignment of its own, so a newline
    // in the text must not reach the manager.
    mWantedStatus = text;
    std::replace(mWantedStatus.begin(), mWantedStatus.end(), '\n', ' ');
    flush(now);
}

void cSystemdNotifier::flush(long long now)
{
    if (!mEnabled || mWantedStatus == mSentStatus)
        return;
    if (mStatusSentOnce && now - mStatusSentAt < kStatusSpacing)
        return;
    send("STATUS=" + mWantedStatus);
    mSentStatus = mWantedStatus;
    mStatusSentOnce = true;
    mStatusSentAt = now;
}

void cSystemdNotifier::watchdog(long long now)
{
    if (mWatchdogInterval == 0)
        return;
    if (mWatchdogSentOnce && now - mWatchdogSentAt < wakeInterval())
        return;
    send("WATCHDOG=1");
    mWatchdogSentOnce = true;
    mWatchdogSentAt = now;
}

// A lost notification is not worth a record: the manager's own time-outs
// (start, watchdog) report what matters.
void cSystemdNotifier::send(const std::string& message)
{
    if (mEnabled)
        sd_notify(0, message.c_str());
}
