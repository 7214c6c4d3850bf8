// Tells the service manager how the daemon is doing: ready, a one-line
// status, and the watchdog's keep-alive. Outside a notify-type unit
// (no NOTIFY_SOCKET) every call costs a branch and sends nothing.
// Times are nanoseconds of CLOCK_MONOTONIC passed in by the run loop, which
// owns the object (it is not shared between threads).
#pragma once

#include "log/monotonicClock.h"

#include <string>

class cSystemdNotifier {
public:
    // Reads the environment once: the socket and the unit's WatchdogSec.
    cSystemdNotifier();

    // "READY=1", the first time only.
    void ready();
    // "STATUS=text" when text differs from what was last sent, at most once
    // a second; a change that comes sooner is kept for flush().
    void setStatus(const std::string& text, long long now);
    // Sends a kept status once its second is up.
    void flush(long long now);

    // Run by a service manager that listens.
    bool enabled() const { return mEnabled; }
    // How often the run loop must wake to keep the watchdog fed; 0 for never.
    long long wakeInterval() const { return mWatchdogInterval / 2; }
    // "WATCHDOG=1" when the watchdog is on and half its interval has passed
    // since the last one.
    void watchdog(long long now);

private:
    static constexpr long long kStatusSpacing = kNanosPerSecond;

    void send(const std::string& message);

    bool mEnabled;
    long long mWatchdogInterval = 0; // the unit's setting; 0 when it sets none
    bool mReadySent = false;
    std::string mWantedStatus;
    std::string mSentStatus;
    bool mStatusSentOnce = false;
    long long mStatusSentAt = 0;
    bool mWatchdogSentOnce = false;
    long long mWatchdogSentAt = 0;
};
