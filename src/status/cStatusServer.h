// The read-only status socket: a Unix stream socket served from a run loop
// that already selects, one short request and one answer per connection.
// Nothing it does blocks; every connection has a deadline.
#pragma once

#include "log/cWlog.h"
#include "log/monotonicClock.h"

#include <sys/select.h>
#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <string>
#include <utility>
#include <vector>

// The answer to "status", "status json" or "metrics", called from serve().
using tStatusAnswer = std::function<std::string(const std::string& request)>;

class cStatusServer : public cWlog {
public:
    enum eOpenResult { STATUS_OPEN_OK, STATUS_OPEN_FAILED, STATUS_OPEN_IN_USE };

    static constexpr std::size_t kMaxConnections = 8;
    static constexpr std::size_t kMaxRequest = 256;    // bytes before the newline
    static constexpr long long kRequestTimeout = 2 * kNanosPerSecond;
    static constexpr long long kAnswerTimeout = 5 * kNanosPerSecond;

    cStatusServer();
    // Closes every connection and removes the socket file it made.
    ~cStatusServer();
    cStatusServer(const cStatusServer&) = delete;
    cStatusServer& operator=(const cStatusServer&) = delete;

    // Listens at path (mode 0660; the parent directory is made when missing).
    // A socket file left by a dead daemon is replaced; one a live daemon
    // answers on gives STATUS_OPEN_IN_USE. Every failure logs one line.
    // One path per object: a second call fails.
    eOpenResult open(const std::string& path);
    bool isOpen() const { return mListenFd >= 0; }

    // Adds the descriptors to wait for to the sets of the loop's select().
    void addTo(fd_set& readable, fd_set& writable, int& maxFd) const;
    // Acts on what select() found ready and on the deadlines passed at now
    // (nanoseconds of CLOCK_MONOTONIC, like every time given to it).
    // answer runs here, on the loop's thread.
    void serve(const fd_set& readable, const fd_set& writable, long long now,
               const tStatusAnswer& answer);
    // -1 when no connection waits, else the time until the earliest
    // deadline (0 when one has passed): the longest the loop may select.
    long long untilNextDeadline(long long now) const;

private:
    // Owns one accepted connection's descriptor; moves, never copies.
    class cSocketFd {
    public:
        explicit cSocketFd(int fd) : mFd(fd) {}
        cSocketFd(cSocketFd&& other) noexcept : mFd(other.mFd) { other.mFd = -1; }
        cSocketFd& operator=(cSocketFd&& other) noexcept;
        ~cSocketFd();
        int get() const { return mFd; }
        int release()
        {
            int fd = mFd;
            mFd = -1;
            return fd;
        }

    private:
        int mFd;
    };

    struct sConnection {
        sConnection(cSocketFd socket, long long due) : fd(std::move(socket)), deadline(due) {}
        cSocketFd fd;
        std::string request; // read so far, before the answer
        std::string answer;  // once answering: the whole answer
        std::size_t written = 0;
        bool answering = false;
        bool done = false;   // to be closed
        long long deadline = 0;
    };

    eOpenResult clearOldSocket(const std::string& path);
    bool listenAt(const std::string& path);
    bool listenFailed(const std::string& path, const char* step, int error);
    void respond(sConnection& connection, std::string request, long long now,
                 const tStatusAnswer& answer);
    void acceptBurst(long long now);
    // Closes the connection that has waited longest for its request;
    // false when every connection is being answered.
    bool closeLongestWaiting();
    void readRequest(sConnection& connection, long long now, const tStatusAnswer& answer);
    void startAnswer(sConnection& connection, const std::string& text, long long now);
    void writeAnswer(sConnection& connection);

    int mListenFd = -1;
    std::string mPath;  // the socket file this object made
    dev_t mDevice = 0;  // and its identity, so that a file another daemon
    ino_t mInode = 0;   // put there since is left alone
    std::vector<sConnection> mConnections;
};
