#include "status/cStatusServer.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ostream>

namespace {

constexpr int kListenBacklog = 16;
// Connections taken per serve(), so that a crowd of connects cannot hold
// the loop away from its datagrams.
constexpr int kAcceptsPerServe = 16;
// One read per connection and serve(), larger than a request and its
// newline, so that one read tells a request from one that is too long and
// a peer that sends megabytes costs the loop no more than this.
constexpr std::size_t kReadChunk = 512;

const char kTooLong[] = "error: request too long\n";
const char kUnknown[] = "error: unknown request\n";
const char kDenied[] = "error: permission denied\n";

bool addressOf(const std::string& path, sockaddr_un& address)
{
    std::memset(&address, 0, sizeof(address));
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof(address.sun_path))
        return false;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return true;
}

std::string parentOf(const std::string& path)
{
    std::string::size_type slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

bool wouldBlock(int error)
{
    return error == EAGAIN || error == EWOULDBLOCK || error == EINTR;
}

bool peerUid(int fd, uid_t& uid)
{
    ucred credentials{};
    socklen_t length = sizeof(credentials);
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0)
        return false;
    uid = credentials.uid;
    return true;
}

bool knownRequest(const std::string& request)
{
    return request == "status" || request == "status json" || request == "metrics";
}

} // namespace

cStatusServer::cSocketFd& cStatusServer::cSocketFd::operator=(cSocketFd&& other) noexcept
{
    if (this != &other) {
        if (mFd >= 0)
            ::close(mFd);
        mFd = other.mFd;
        other.mFd = -1;
    }
    return *this;
}

cStatusServer::cSocketFd::~cSocketFd()
{
    if (mFd >= 0)
        ::close(mFd);
}

cStatusServer::cStatusServer() : cWlog("cBroker") {}

cStatusServer::~cStatusServer()
{
    mConnections.clear();
    if (mListenFd >= 0)
        ::close(mListenFd);
    struct stat now;
    if (!mPath.empty() && lstat(mPath.c_str(), &now) == 0 && now.st_dev == mDevice
        && now.st_ino == mInode)
        unlink(mPath.c_str());
}

cStatusServer::eOpenResult cStatusServer::open(const std::string& path)
{
    if (isOpen()) {
        mError << "The status socket is open already on " << mPath << std::endl;
        return STATUS_OPEN_FAILED;
    }
    sockaddr_un address;
    if (!addressOf(path, address)) {
        mError << "The status socket path '" << path << "' is empty or too long" << std::endl;
        return STATUS_OPEN_FAILED;
    }
    // One level only: the usual parent is /run/quibd, whose parent exists.
    std::string parent = parentOf(path);
    if (mkdir(parent.c_str(), 0755) != 0 && errno != EEXIST) {
        int error = errno;
        mError << "Cannot make the directory " << parent << ": " << strerror(error) << std::endl;
        return STATUS_OPEN_FAILED;
    }
    struct stat existing;
    if (lstat(path.c_str(), &existing) == 0) {
        if (!S_ISSOCK(existing.st_mode)) {
            mError << "Cannot serve status on " << path << ": a file that is not a socket is there"
                   << std::endl;
            return STATUS_OPEN_FAILED;
        }
        eOpenResult cleared = clearOldSocket(path);
        if (cleared != STATUS_OPEN_OK)
            return cleared;
    }
    return listenAt(path) ? STATUS_OPEN_OK : STATUS_OPEN_FAILED;
}

// A killed daemon leaves its socket file behind, and nothing accepts on it
// any more; a file on which a connect succeeds belongs to a live daemon.
cStatusServer::eOpenResult cStatusServer::clearOldSocket(const std::string& path)
{
    sockaddr_un address;
    addressOf(path, address);
    cSocketFd probe(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    int result = probe.get() < 0
        ? -1 : connect(probe.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address));
    int error = result == 0 ? 0 : errno;
    // EAGAIN: the socket is alive, its queue of connections full.
    if (result == 0 || error == EAGAIN) {
        mError << "Another quibd answers on " << path
               << "; two daemons would share a name. Bailing out" << std::endl;
        return STATUS_OPEN_IN_USE;
    }
    if (error != ECONNREFUSED) {
        mError << "Cannot tell whether a daemon answers on " << path << ": " << strerror(error)
               << std::endl;
        return STATUS_OPEN_FAILED;
    }
    if (unlink(path.c_str()) != 0 && errno != ENOENT) {
        error = errno;
        mError << "Cannot remove the old status socket " << path << ": " << strerror(error)
               << std::endl;
        return STATUS_OPEN_FAILED;
    }
    return STATUS_OPEN_OK;
}

bool cStatusServer::listenAt(const std::string& path)
{
    sockaddr_un address;
    addressOf(path, address);
    cSocketFd listener(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (listener.get() < 0)
        return listenFailed(path, "socket", errno);
    // select() cannot watch a descriptor beyond its set.
    if (listener.get() >= FD_SETSIZE)
        return listenFailed(path, "socket", EMFILE);
    if (bind(listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0)
        return listenFailed(path, "bind", errno);
    struct stat made;
    if (chmod(path.c_str(), 0660) != 0 || listen(listener.get(), kListenBacklog) != 0
        || lstat(path.c_str(), &made) != 0) {
        int error = errno;
        unlink(path.c_str());
        return listenFailed(path, "listen", error);
    }
    mListenFd = listener.release();
    mPath = path;
    mDevice = made.st_dev;
    mInode = made.st_ino;
    return true;
}

bool cStatusServer::listenFailed(const std::string& path, const char* step, int error)
{
    mError << "Cannot serve status on " << path << ": " << step << ": " << strerror(error)
           << std::endl;
    return false;
}

void cStatusServer::addTo(fd_set& readable, fd_set& writable, int& maxFd) const
{
    if (mListenFd < 0)
        return;
    FD_SET(mListenFd, &readable);
    maxFd = std::max(maxFd, mListenFd);
    for (const sConnection& connection : mConnections) {
        FD_SET(connection.fd.get(), connection.answering ? &writable : &readable);
        maxFd = std::max(maxFd, connection.fd.get());
    }
}

void cStatusServer::serve(const fd_set& readable, const fd_set& writable, long long now,
                          const tStatusAnswer& answer)
{
    if (mListenFd < 0)
        return;
    for (sConnection& connection : mConnections) {
        int fd = connection.fd.get();
        if (!connection.answering && FD_ISSET(fd, &readable))
            readRequest(connection, now, answer);
        else if (connection.answering && FD_ISSET(fd, &writable))
            writeAnswer(connection);
        if (connection.deadline <= now)
            connection.done = true;
    }
    mConnections.erase(std::remove_if(mConnections.begin(), mConnections.end(),
                                      [](const sConnection& c) { return c.done; }),
                       mConnections.end());
    if (FD_ISSET(mListenFd, &readable))
        acceptBurst(now);
}

long long cStatusServer::untilNextDeadline(long long now) const
{
    if (mConnections.empty())
        return -1;
    long long earliest = mConnections.front().deadline;
    for (const sConnection& connection : mConnections)
        earliest = std::min(earliest, connection.deadline);
    return std::max(0LL, earliest - now);
}

void cStatusServer::acceptBurst(long long now)
{
    for (int taken = 0; taken < kAcceptsPerServe; ++taken) {
        cSocketFd accepted(accept4(mListenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
        int fd = accepted.get();
        // Nothing waiting, or a failure (out of descriptors) the next turn meets again.
        if (fd < 0)
            return;
        // Beyond what select() can watch: closed at once.
        if (fd >= FD_SETSIZE)
            continue;
        uid_t uid = static_cast<uid_t>(-1); // shown when the kernel tells none
        if (!peerUid(fd, uid) || (uid != 0 && uid != geteuid())) {
            mDebug << "Refused a status connection from uid " << uid << std::endl;
            // Best effort: a peer that cannot take one short line at once loses it.
            ssize_t ignored = send(fd, kDenied, sizeof(kDenied) - 1, MSG_NOSIGNAL | MSG_DONTWAIT);
            (void)ignored;
            continue;
        }
        // Past the limit with every connection being answered: closed at once.
        if (mConnections.size() >= kMaxConnections && !closeLongestWaiting())
            continue;
        mConnections.emplace_back(std::move(accepted), now + kRequestTimeout);
    }
}

// Idle peers must not lock out a request, so a newcomer takes the place of
// the connection that has waited longest for its request. Every such wait
// has the same timeout, so the earliest deadline marks the longest wait.
bool cStatusServer::closeLongestWaiting()
{
    auto longest = mConnections.end();
    for (auto it = mConnections.begin(); it != mConnections.end(); ++it) {
        bool earlier = longest == mConnections.end() || it->deadline < longest->deadline;
        if (!it->answering && earlier)
            longest = it;
    }
    if (longest == mConnections.end())
        return false;
    mConnections.erase(longest);
    return true;
}

void cStatusServer::readRequest(sConnection& connection, long long now,
                                const tStatusAnswer& answer)
{
    char buffer[kReadChunk];
    ssize_t got = recv(connection.fd.get(), buffer, sizeof(buffer), MSG_DONTWAIT);
    if (got < 0) {
        connection.done = !wouldBlock(errno);
        return;
    }
    if (got == 0) {
        // The peer ended its side: what came is the whole request.
        if (connection.request.empty())
            connection.done = true;
        else
            respond(connection, connection.request, now, answer);
        return;
    }
    connection.request.append(buffer, static_cast<std::size_t>(got));
    std::string::size_type newline = connection.request.find('\n');
    std::size_t length = newline == std::string::npos ? connection.request.size() : newline;
    if (length > kMaxRequest)
        startAnswer(connection, kTooLong, now);
    else if (newline != std::string::npos)
        respond(connection, connection.request.substr(0, newline), now, answer);
}

// Anything after the first line is ignored: one request per connection.
void cStatusServer::respond(sConnection& connection, std::string request, long long now,
                            const tStatusAnswer& answer)
{
    if (!request.empty() && request.back() == '\r')
        request.pop_back();
    startAnswer(connection, knownRequest(request) ? answer(request) : kUnknown, now);
}

void cStatusServer::startAnswer(sConnection& connection, const std::string& text, long long now)
{
    connection.request.clear();
    connection.answer = text;
    connection.written = 0;
    connection.answering = true;
    connection.deadline = now + kAnswerTimeout;
    writeAnswer(connection);
}

// Writes until the socket's buffer is full; the rest waits for writable.
void cStatusServer::writeAnswer(sConnection& connection)
{
    while (connection.written < connection.answer.size()) {
        ssize_t sent = send(connection.fd.get(), connection.answer.data() + connection.written,
                            connection.answer.size() - connection.written,
                            MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0) {
            connection.done = !wouldBlock(errno);
            return;
        }
        connection.written += static_cast<std::size_t>(sent);
    }
    connection.done = true;
}
