// Line-oriented log streams: every completed line becomes one log4cpp record.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <ostream>
#include <streambuf>
#include <string>
#include <thread>
#include <unordered_map>

class cLogOStream;

// Held while a line is handed to log4cpp and while logReopen reopens the
// appenders: a log4cpp file appender swaps its descriptor without a lock of
// its own, so a record written meanwhile could go to a closed descriptor.
std::mutex& logAppendLock();

// Collects the text of the line each thread is writing and hands every
// completed line to its owner's logOutput. Lines are kept per thread, so two
// threads writing to one stream never end up in one record.
class cLogBuf : public std::streambuf {
public:
    explicit cLogBuf(cLogOStream& owner) : mOwner(owner) {}

    // Emits every unfinished line as a record of its own.
    void finishPending();
    // True while some thread has begun a line and not ended it.
    bool linesOpen() const { return mOpenLines.load(std::memory_order_relaxed) > 0; }

    // Longest line handed to logOutput in one piece; longer text is split.
    static const std::size_t kMaxLine = 65536;

protected:
    int_type overflow(int_type c) override;
    std::streamsize xsputn(const char* s, std::streamsize n) override;

private:
    void append(const char* s, std::size_t n);
    void emit(std::string& line);

    cLogOStream& mOwner;
    // Made on the first line: most objects (every tunnel of a large table)
    // never write one, and an empty map would still cost each of their
    // three streams its room.
    std::unique_ptr<std::unordered_map<std::thread::id, std::string>> mPending;
    // Entries of mPending that hold text; changed under the owner's lock.
    std::atomic<int> mOpenLines{0};
};

class cLogLine;

// A std::ostream whose completed lines go to logOutput, in completion order,
// exactly once each. Statements written through operator<< on the stream
// itself hold the stream's lock from their first insertion to their end, so
// concurrent writers never touch the stream's state at the same time.
class cLogOStream : public std::ostream {
public:
    // The log4cpp priority at which the stream's lines are written.
    enum tLevel { LEVEL_INFO, LEVEL_DEBUG, LEVEL_ERROR };

    cLogOStream(const char* category, tLevel level);
    virtual ~cLogOStream();

    virtual void logOutput(char* line) = 0;

    // False when a line begun now would be dropped: the category (looked up
    // by name, as for every record) does not take the stream's priority and
    // no line is half written. Writers may skip building text for it.
    bool wanted() const;

    const char* category() const { return mCategory; }
    std::recursive_mutex& lineLock() { return mLock; }

    // Serialised versions of the ostream members the daemon uses directly.
    cLogOStream& put(char c);
    cLogOStream& flush();

protected:
    // Derived destructors call this: logOutput is gone once ~cLogOStream runs.
    void finishPending();

private:
    const char* mCategory;
    tLevel mLevel;
    std::recursive_mutex mLock;
    cLogBuf mBuf;
};

// One statement on a cLogOStream: holds the stream's lock while it lives.
// After every value the stream goes back to decimal, so a base chosen for
// one value (std::hex << v) never carries over to the next. A statement that
// starts a line the category would drop formats nothing and takes no lock.
class cLogLine {
public:
    explicit cLogLine(cLogOStream& s) : mStream(s.wanted() ? &s : nullptr)
    {
        if (mStream)
            s.lineLock().lock();
    }
    cLogLine(cLogLine&& other) noexcept : mStream(other.mStream) { other.mStream = nullptr; }
    cLogLine(const cLogLine&) = delete;
    cLogLine& operator=(const cLogLine&) = delete;
    ~cLogLine()
    {
        if (mStream)
            mStream->lineLock().unlock();
    }

    template <class T>
    cLogLine& operator<<(const T& value)
    {
        if (mStream == nullptr)
            return *this;
        static_cast<std::ostream&>(*mStream) << value;
        mStream->setf(std::ios_base::dec, std::ios_base::basefield);
        return *this;
    }
    cLogLine& operator<<(std::ostream& (*manip)(std::ostream&))
    {
        if (mStream)
            manip(*mStream);
        return *this;
    }
    cLogLine& operator<<(std::ios_base& (*manip)(std::ios_base&))
    {
        if (mStream)
            manip(*mStream);
        return *this;
    }

private:
    cLogOStream* mStream;
};

template <class T>
cLogLine operator<<(cLogOStream& s, const T& value)
{
    cLogLine line(s);
    line << value;
    return line;
}

inline cLogLine operator<<(cLogOStream& s, std::ostream& (*manip)(std::ostream&))
{
    cLogLine line(s);
    line << manip;
    return line;
}

inline cLogLine operator<<(cLogOStream& s, std::ios_base& (*manip)(std::ios_base&))
{
    cLogLine line(s);
    line << manip;
    return line;
}

// INFO records.
class cLog : public cLogOStream {
public:
    explicit cLog(const char* category) : cLogOStream(category, LEVEL_INFO) {}
    ~cLog() override { finishPending(); }
    void logOutput(char* line) override;
};

// DEBUG records.
class cDebug : public cLogOStream {
public:
    explicit cDebug(const char* category) : cLogOStream(category, LEVEL_DEBUG) {}
    ~cDebug() override { finishPending(); }
    void logOutput(char* line) override;
};

// ERROR records.
class cError : public cLogOStream {
public:
    explicit cError(const char* category) : cLogOStream(category, LEVEL_ERROR) {}
    ~cError() override { finishPending(); }
    void logOutput(char* line) override;
};
