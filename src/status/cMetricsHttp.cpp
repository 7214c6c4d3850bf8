#include "status/cMetricsHttp.h"

#include "status/metricsFormat.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

const unsigned kConnectionTimeoutSeconds = 5;

union uListenAddress {
    sockaddr any;
    sockaddr_in v4;
    sockaddr_in6 v6;
};

bool parsePort(const std::string& digits, uint16_t& port)
{
    if (digits.empty() || digits.size() > 5
        || digits.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    unsigned long value = std::stoul(digits);
    if (value > 65535) {
        return false;
    }
    port = static_cast<uint16_t>(value);
    return true;
}

// "a.b.c.d:PORT" or "[IPv6]:PORT", nothing more and nothing less.
bool parseListen(const std::string& listen, uListenAddress& address)
{
    size_t colon = listen.rfind(':');
    uint16_t port = 0;
    if (colon == std::string::npos || !parsePort(listen.substr(colon + 1), port)) {
        return false;
    }
    std::string host = listen.substr(0, colon);
    std::memset(&address, 0, sizeof address);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
        address.v6.sin6_family = AF_INET6;
        address.v6.sin6_port = htons(port);
        return inet_pton(AF_INET6, host.substr(1, host.size() - 2).c_str(),
                         &address.v6.sin6_addr) == 1;
    }
    address.v4.sin_family = AF_INET;
    address.v4.sin_port = htons(port);
    return inet_pton(AF_INET, host.c_str(), &address.v4.sin_addr) == 1;
}

uint16_t listenPort(const uListenAddress& address)
{
    return ntohs(address.any.sa_family == AF_INET6 ? address.v6.sin6_port : address.v4.sin_port);
}

// The HTTP thread takes the signal mask of the thread that starts it.
// libmicrohttpd 0.9.75 blocks every signal in its threads by itself; blocking
// the asynchronous ones around the start keeps a SIGHUP or SIGTERM meant for
// the daemon off that thread whatever the library version, and whatever the
// daemon has blocked by then. Faults stay open: a blocked SIGSEGV still
// kills, only without its handler.
class cAsyncSignalsBlocked {
public:
    cAsyncSignalsBlocked()
    {
        sigset_t blocked;
        sigfillset(&blocked);
        for (int fault : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGABRT}) {
            sigdelset(&blocked, fault);
        }
        pthread_sigmask(SIG_BLOCK, &blocked, &mBefore);
    }
    ~cAsyncSignalsBlocked() { pthread_sigmask(SIG_SETMASK, &mBefore, nullptr); }
    cAsyncSignalsBlocked(const cAsyncSignalsBlocked&) = delete;
    cAsyncSignalsBlocked& operator=(const cAsyncSignalsBlocked&) = delete;

private:
    sigset_t mBefore;
};

MHD_Result reply(MHD_Connection* connection, unsigned status, const std::string& body,
                 const char* contentType)
{
    MHD_Response* response = MHD_create_response_from_buffer(
        body.size(), const_cast<char*>(body.data()), MHD_RESPMEM_MUST_COPY);
    if (!response) {
        return MHD_NO; // out of memory: libmicrohttpd closes the connection
    }
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, contentType);
    if (status == MHD_HTTP_METHOD_NOT_ALLOWED) {
        MHD_add_response_header(response, MHD_HTTP_HEADER_ALLOW, "GET, HEAD");
    }
    MHD_Result queued = MHD_queue_response(connection, status, response);
    MHD_destroy_response(response);
    return queued;
}

// The library has no call that closes a connection when the server
// decides; a socket shut here reads as the peer's close, and the library
// then closes the connection itself.
void closeConnection(MHD_Connection* connection)
{
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
    if (info) {
        shutdown(info->connect_fd, SHUT_RDWR);
    }
}

// Keeps the roster of open connections, and the roster in each one's
// context for answer() to find.
void noteConnection(void* roster, MHD_Connection* connection, void** socketContext,
                    MHD_ConnectionNotificationCode code)
{
    cConnectionRoster& open = *static_cast<cConnectionRoster*>(roster);
    if (code == MHD_CONNECTION_NOTIFY_CLOSED) {
        open.closed(connection);
        return;
    }
    *socketContext = roster;
    if (MHD_Connection* toClose = open.admit(connection)) {
        closeConnection(toClose);
    }
}

void noteAnswered(void* roster, MHD_Connection* connection, void**, MHD_RequestTerminationCode)
{
    static_cast<cConnectionRoster*>(roster)->answered(connection);
}

void noteRequest(MHD_Connection* connection)
{
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
    if (info && info->socket_context) {
        static_cast<cConnectionRoster*>(info->socket_context)->requestArrived(connection);
    }
}

// Answers at the first call, with the headers: nothing here reads a body.
MHD_Result answer(void* source, MHD_Connection* connection, const char* url,
                  const char* method, const char*, const char*, size_t*, void**)
{
    noteRequest(connection);
    const char* plain = "text/plain; charset=utf-8";
    if (std::strcmp(url, "/metrics") != 0) {
        return reply(connection, MHD_HTTP_NOT_FOUND, "Not found; try /metrics\n", plain);
    }
    if (std::strcmp(method, MHD_HTTP_METHOD_GET) != 0
        && std::strcmp(method, MHD_HTTP_METHOD_HEAD) != 0) {
        return reply(connection, MHD_HTTP_METHOD_NOT_ALLOWED, "Only GET and HEAD\n", plain);
    }
    // An exception must not unwind through the library's C frames.
    try {
        std::string text = (*static_cast<tMetricsSource*>(source))();
        return reply(connection, MHD_HTTP_OK, text, gMetricsContentType);
    } catch (const std::exception&) {
        return reply(connection, MHD_HTTP_INTERNAL_SERVER_ERROR, "No metrics now\n", plain);
    }
}

} // namespace

cMetricsHttp::~cMetricsHttp()
{
    if (mDaemon) {
        MHD_stop_daemon(mDaemon);
    }
}

// Later messages, about single connections, are dropped on purpose: any
// peer that reaches the port could otherwise write into the daemon's log.
void cMetricsHttp::keepLibraryMessage(void* server, const char* format, va_list args)
{
    cMetricsHttp& self = *static_cast<cMetricsHttp*>(server);
    std::lock_guard<std::mutex> hold(self.mMessageLock);
    if (self.mLibraryMessage.empty()) {
        char text[256];
        vsnprintf(text, sizeof text, format, args);
        self.mLibraryMessage = text;
        while (!self.mLibraryMessage.empty() && self.mLibraryMessage.back() == '\n') {
            self.mLibraryMessage.pop_back();
        }
    }
}

bool cMetricsHttp::start(const std::string& listen, tMetricsSource source, std::ostream& err)
{
    if (mDaemon) {
        err << "quib.metrics.listen: already serving on port " << port() << std::endl;
        return false;
    }
    uListenAddress address;
    if (!parseListen(listen, address)) {
        err << "quib.metrics.listen: \"" << listen
            << "\" is not ADDRESS:PORT (a.b.c.d:PORT or [IPv6]:PORT, PORT 0 to 65535)"
            << std::endl;
        return false;
    }
    mSource = std::move(source);
    unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_ERROR_LOG;
    if (address.any.sa_family == AF_INET6) {
        flags |= MHD_USE_IPv6;
    }
    {
        cAsyncSignalsBlocked forTheHttpThread;
        // MHD_OPTION_SOCK_ADDR decides where to bind; the port argument
        // only names the port in a failure's message. The logger comes
        // first so that it catches every message of the start.
        mDaemon = MHD_start_daemon(
            flags, listenPort(address), nullptr, nullptr, &answer, &mSource,
            MHD_OPTION_EXTERNAL_LOGGER, &keepLibraryMessage, this,
            MHD_OPTION_SOCK_ADDR, &address.any,
            // One past the roster's limit, so that a newcomer is accepted
            // and the roster closes one to make room.
            MHD_OPTION_CONNECTION_LIMIT, kConnectionLimit + 1,
            MHD_OPTION_NOTIFY_CONNECTION, &noteConnection, &mRoster,
            MHD_OPTION_NOTIFY_COMPLETED, &noteAnswered, &mRoster,
            MHD_OPTION_CONNECTION_TIMEOUT, kConnectionTimeoutSeconds,
            MHD_OPTION_END);
    }
    if (!mDaemon) {
        std::lock_guard<std::mutex> hold(mMessageLock);
        err << "quib.metrics.listen: cannot serve on " << listen << ": "
            << (mLibraryMessage.empty() ? "the port cannot be bound" : mLibraryMessage)
            << std::endl;
        return false;
    }
    return true;
}

uint16_t cMetricsHttp::port() const
{
    if (!mDaemon) {
        return 0;
    }
    const MHD_DaemonInfo* info = MHD_get_daemon_info(mDaemon, MHD_DAEMON_INFO_BIND_PORT);
    return info ? info->port : 0;
}
