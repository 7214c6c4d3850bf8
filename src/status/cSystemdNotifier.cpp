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
        mWatchdogMs = static_cast<long long>(usec / 1000);
}

void cSystemdNotifier::ready()
{
    if (mReadySent)
        return;
    mReadySent = true;
    send("READY=1");
}

void cSystemdNotifier::setStatus(const std::string& text, long long nowMs)
{
    // Each line of a notification is an assignment of its own, so a newline
    // in the text must not reach the manager.
    mWantedStatus = text;
    std::replace(mWantedStatus.begin(), mWantedStatus.end(), '\n', ' ');
    flush(nowMs);
}

void cSystemdNotifier::flush(long long nowMs)
{
    if (!mEnabled || mWantedStatus == mSentStatus)
        return;
    if (mStatusSentOnce && nowMs - mStatusSentAtMs < kStatusSpacingMs)
        return;
    send("STATUS=" + mWantedStatus);
    mSentStatus = mWantedStatus;
    mStatusSentOnce = true;
    mStatusSentAtMs = nowMs;
}

void cSystemdNotifier::watchdog(long long nowMs)
{
    if (mWatchdogMs == 0)
        return;
    if (mWatchdogSentOnce && nowMs - mWatchdogSentAtMs < wakeIntervalMs())
        return;
    send("WATCHDOG=1");
    mWatchdogSentOnce = true;
    mWatchdogSentAtMs = nowMs;
}

// A lost notification is not worth a record: the manager's own time-outs
// (start, watchdog) report what matters.
void cSystemdNotifier::send(const std::string& message)
{
    if (mEnabled)
        sd_notify(0, message.c_str());
}
