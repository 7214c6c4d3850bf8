#include "status/cOperatorView.h"

#include "log/logReopen.h"
#include "log/monotonicClock.h"
#include "status/cMetricsHttp.h"
#include "status/controlPath.h"
#include "status/metricsFormat.h"
#include "status/statusFormat.h"

#include "config/configKeys.h"

#include <unistd.h>

#include <algorithm>

namespace {

// The status line and the metrics thread's copy are refreshed this often.
const long long kTick = kNanosPerSecond;

} // namespace

cOperatorView::cOperatorView() : cWlog("cBroker") {}

cOperatorView::~cOperatorView()
{
    mHttp.reset();
    if (mHangupFd >= 0)
        close(mHangupFd);
}

bool cOperatorView::open(const char* configPath, tFill fill, bool threadSafeFill, tSummary summary)
{
    daemonCounters().startedAt = monotonicNanoseconds();
    mFill = std::move(fill);
    mThreadSafeFill = threadSafeFill;
    mSummary = std::move(summary);
    mHangupFd = openHangupDescriptor();
    // Without a configuration file (tests) there is no name for a socket.
    std::string path = configPath != nullptr ? controlSocketPath(configPath) : std::string();
    if (!path.empty()) {
        // Without its socket nobody could watch the daemon, nor would a
        // second daemon of this name be stopped: the start ends here.
        cStatusServer::eOpenResult opened = mServer.open(path);
        if (opened == cStatusServer::STATUS_OPEN_IN_USE)
            return false;
        if (opened != cStatusServer::STATUS_OPEN_OK) {
            mError << "Cannot open the status socket (quib.control.socket names another path,"
                      " empty turns it off). Bailing out"
                   << std::endl;
            return false;
        }
        mServerOpen = true;
    }
    const char* listen = configText("quib.metrics.listen");
    if (listen != nullptr && *listen != '\0') {
        mHttp.reset(new cMetricsHttp());
        if (!mHttp->start(listen, [this] { return metricsForHttp(); }, mError))
            return false;
    }
    return true;
}

void cOperatorView::addTo(fd_set& readable, fd_set& writable, int& maxFd) const
{
    if (mServerOpen)
        mServer.addTo(readable, writable, maxFd);
    if (mHangupFd >= 0) {
        FD_SET(mHangupFd, &readable);
        maxFd = std::max(maxFd, mHangupFd);
    }
}

long long cOperatorView::sleepLimitMs(long long now) const
{
    long long limit = mServerOpen ? mServer.untilNextDeadline(now) : -1;
    long long wake = mNotifier.wakeInterval();
    // Someone may read the status line or the metrics' copy: keep them fresh.
    if (mNotifier.enabled() || (mHttp && !mThreadSafeFill))
        wake = wake > 0 ? std::min(wake, kTick) : kTick;
    if (wake > 0)
        limit = limit < 0 ? wake : std::min(limit, wake);
    return limit < 0 ? -1 : millisRoundedUp(limit);
}

void cOperatorView::serve(const fd_set& readable, const fd_set& writable, long long now)
{
    if (mHangupFd >= 0 && FD_ISSET(mHangupFd, &readable))
        serveHangup(mHangupFd);
    if (mServerOpen)
        mServer.serve(readable, writable, now,
                      [this, now](const std::string& request) { return answer(request, now); });
    tick(now);
}

void cOperatorView::ready()
{
    mNotifier.ready();
    tick(monotonicNanoseconds());
}

void cOperatorView::tick(long long now)
{
    mNotifier.watchdog(now);
    if (mLastTick >= 0 && now - mLastTick < kTick) {
        mNotifier.flush(now);
        return;
    }
    mLastTick = now;
    if (mNotifier.enabled() && mSummary)
        mNotifier.setStatus(mSummary(), now);
    if (mHttp && !mThreadSafeFill) {
        std::string text = metricsText(snapshot(now));
        std::lock_guard<std::mutex> hold(mPublishedLock);
        mPublishedMetrics.swap(text);
    }
}

sStatusSnapshot cOperatorView::snapshot(long long now) const
{
    sStatusSnapshot s;
    s.counters = readCounters(daemonCounters());
    s.uptime = wholeSeconds(now) - wholeSeconds(daemonCounters().startedAt.load(std::memory_order_relaxed));
    s.version = QUIBD_VERSION;
    if (mFill)
        mFill(s, now);
    return s;
}

std::string cOperatorView::answer(const std::string& request, long long now) const
{
    if (request == "status")
        return statusText(snapshot(now));
    if (request == "status json")
        return statusJson(snapshot(now));
    return metricsText(snapshot(now));
}

std::string cOperatorView::metricsForHttp()
{
    if (mThreadSafeFill)
        return metricsText(snapshot(monotonicNanoseconds()));
    std::lock_guard<std::mutex> hold(mPublishedLock);
    return mPublishedMetrics;
}
