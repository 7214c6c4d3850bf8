// Line-oriented log streams: every completed line becomes one log4cpp record.
#pragma once

#include <mutex>
#include <ostream>
#include <streambuf>
#include <string>
#include <thread>
#include <unordered_map>

class cLogOStream;

// Collects the text of the line each thread is writing and hands every
// completed line to its owner's logOutput. Lines are kept per thread, so two
// threads writing to one stream never end up in one record.
class cLogBuf : public std::streambuf {
public:
    explicit cLogBuf(cLogOStream& owner) : mOwner(owner) {}

    // Emits every unfinished line as a record of its own.
    void finishPending();

    // Longest line handed to logOutput in one piece; longer text is split.
    static const std::size_t kMaxLine = 65536;

protected:
    int_type overflow(int_type c) override;
    std::streamsize xsputn(const char* s, std::streamsize n) override;

private:
    void append(const char* s, std::size_t n);
    void emit(std::string& line);

    cLogOStream& mOwner;
    std::unordered_map<std::thread::id, std::string> mPending;
};

class cLogLine;

// A std::ostream whose completed lines go to logOutput, in completion order,
// exactly once each. Statements written through operator<< on the stream
// itself hold the stream's lock from their first insertion to their end, so
// concurrent writers never touch the stream's state at the same time.
class cLogOStream : public std::ostream {
public:
    explicit cLogOStream(const char* category);
    virtual ~cLogOStream();

    virtual void logOutput(char* line) = 0;

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
    std::recursive_mutex mLock;
    cLogBuf mBuf;
};

// One statement on a cLogOStream: holds the stream's lock while it lives.
// After every value the stream goes back to decimal, so a base chosen for
// one value (std::hex << v) never carries over to the next.
class cLogLine {
public:
    explicit cLogLine(cLogOStream& s) : mStream(&s) { s.lineLock().lock(); }
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
        static_cast<std::ostream&>(*mStream) << value;
        mStream->setf(std::ios_base::dec, std::ios_base::basefield);
        return *this;
    }
    cLogLine& operator<<(std::ostream& (*manip)(std::ostream&))
    {
        manip(*mStream);
        return *this;
    }
    cLogLine& operator<<(std::ios_base& (*manip)(std::ios_base&))
    {
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
    explicit cLog(const char* category) : cLogOStream(category) {}
    ~cLog() override { finishPending(); }
    void logOutput(char* line) override;
};

// DEBUG records.
class cDebug : public cLogOStream {
public:
    explicit cDebug(const char* category) : cLogOStream(category) {}
    ~cDebug() override { finishPending(); }
    void logOutput(char* line) override;
};

// ERROR records.
class cError : public cLogOStream {
public:
    explicit cError(const char* category) : cLogOStream(category) {}
    ~cError() override { finishPending(); }
    void logOutput(char* line) override;
};
