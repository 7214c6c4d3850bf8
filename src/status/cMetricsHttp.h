// GET /metrics over HTTP for a scraper: one libmicrohttpd thread that
// answers every connection itself, a few connections at most, each closed
// after a quiet spell; at the limit a new one closes the one that has
// waited longest for its request.
#pragma once

#include "status/cConnectionRoster.h"

#include <cstdarg>
#include <cstdint>
#include <functional>
#include <mutex>
#include <ostream>
#include <string>

struct MHD_Daemon;

// The exposition text of the moment; called on the HTTP thread, so the
// source must be safe to call from there.
using tMetricsSource = std::function<std::string()>;

class cMetricsHttp {
public:
    cMetricsHttp() = default;
    ~cMetricsHttp(); // stops the thread and closes the port
    cMetricsHttp(const cMetricsHttp&) = delete;
    cMetricsHttp& operator=(const cMetricsHttp&) = delete;

    // Serves on listen, "a.b.c.d:PORT" or "[IPv6]:PORT" (port 0: any free
    // one). Once per object. On a malformed value or a port that cannot be
    // bound, writes one line "quib.metrics.listen: ..." to err and returns
    // false.
    bool start(const std::string& listen, tMetricsSource source, std::ostream& err);
    // The bound port; 0 before a successful start.
    uint16_t port() const;

private:
    // libmicrohttpd's logger: keeps its first message, the reason a start
    // failed.
    static void keepLibraryMessage(void* server, const char* format, va_list args);

    static constexpr unsigned kConnectionLimit = 8;

    tMetricsSource mSource;
    cConnectionRoster mRoster{kConnectionLimit};
    MHD_Daemon* mDaemon = nullptr;
    std::mutex mMessageLock;
    std::string mLibraryMessage;
};
