// What an operator sees of and says to a running daemon, served from the
// loop that already runs: the status socket (`quibd --status`), metrics over
// HTTP (in a thread of its own), the service manager's readiness, status line
// and watchdog, and SIGHUP, which reopens the log files.
#pragma once

#include "log/cWlog.h"
#include "status/cStatusServer.h"
#include "status/cSystemdNotifier.h"
#include "status/statusSnapshot.h"

#include <sys/select.h>

#include <functional>
#include <memory>
#include <mutex>
#include <string>

class cMetricsHttp;

class cOperatorView : public cWlog {
public:
    // Every now here is nanoseconds of CLOCK_MONOTONIC.
    // Fills the mode's part of a snapshot at now.
    using tFill = std::function<void(sStatusSnapshot&, long long)>;
    // The service manager's status line, asked for at most once a second.
    using tSummary = std::function<std::string()>;

    cOperatorView();
    ~cOperatorView();

    cOperatorView(const cOperatorView&) = delete;
    cOperatorView& operator=(const cOperatorView&) = delete;

    // Before any other thread starts (they inherit SIGHUP blocked). fill may
    // run on the metrics thread when threadSafeFill; otherwise that thread
    // gets what the loop last published. False after one error line when the
    // start must stop: another daemon answers on the status socket, or the
    // metrics address is unusable.
    bool open(const char* configPath, tFill fill, bool threadSafeFill, tSummary summary);

    // The loop's select: the descriptors to watch, and how long it may sleep
    // for the view's sake at most, in milliseconds (-1: as long as it likes).
    void addTo(fd_set& readable, fd_set& writable, int& maxFd) const;
    long long sleepLimitMs(long long now) const;
    // After select: serves what is ready, then what is due (status line,
    // watchdog, the metrics thread's copy).
    void serve(const fd_set& readable, const fd_set& writable, long long now);

    // The mode is up: its service has started.
    void ready();

private:
    sStatusSnapshot snapshot(long long now) const;
    std::string answer(const std::string& request, long long now) const;
    std::string metricsForHttp();
    void tick(long long now);

    cStatusServer mServer;
    bool mServerOpen = false;
    std::unique_ptr<cMetricsHttp> mHttp;
    cSystemdNotifier mNotifier;
    int mHangupFd = -1;
    tFill mFill;
    bool mThreadSafeFill = false;
    tSummary mSummary;
    long long mLastTick = -1;
    // The metrics thread's copy when the fill must stay on the loop.
    std::mutex mPublishedLock;
    std::string mPublishedMetrics;
};
