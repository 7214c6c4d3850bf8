#include "log/cLogOStream.h"

#include <log4cpp/Category.hh>
#include <log4cpp/Priority.hh>

#include <cstring>

std::mutex& logAppendLock()
{
    static std::mutex lock;
    return lock;
}

void cLogBuf::finishPending()
{
    std::lock_guard<std::recursive_mutex> hold(mOwner.lineLock());
    if (!mPending)
        return;
    for (auto& entry : *mPending)
        if (!entry.second.empty())
            emit(entry.second);
    mPending->clear();
}

cLogBuf::int_type cLogBuf::overflow(int_type c)
{
    if (traits_type::eq_int_type(c, traits_type::eof()))
        return traits_type::not_eof(c);
    char ch = traits_type::to_char_type(c);
    append(&ch, 1);
    return c;
}

std::streamsize cLogBuf::xsputn(const char* s, std::streamsize n)
{
    if (n > 0)
        append(s, static_cast<std::size_t>(n));
    return n;
}

void cLogBuf::append(const char* s, std::size_t n)
{
    std::lock_guard<std::recursive_mutex> hold(mOwner.lineLock());
    if (!mPending)
        mPending.reset(new std::unordered_map<std::thread::id, std::string>);
    std::string& line = (*mPending)[std::this_thread::get_id()];
    std::size_t i = 0;
    while (i < n) {
        if (s[i] == '\n') {
            emit(line);
            ++i;
            continue;
        }
        // The run of text up to the next newline, the end of the input or
        // the longest line, in one piece.
        const char* newline = static_cast<const char*>(std::memchr(s + i, '\n', n - i));
        std::size_t end = newline != nullptr ? static_cast<std::size_t>(newline - s) : n;
        std::size_t room = kMaxLine - line.size();
        std::size_t take = end - i < room ? end - i : room;
        if (line.empty())
            mOpenLines.fetch_add(1, std::memory_order_relaxed);
        line.append(s + i, take);
        i += take;
        if (line.size() >= kMaxLine)
            emit(line);
    }
}

void cLogBuf::emit(std::string& line)
{
    if (!line.empty())
        mOpenLines.fetch_sub(1, std::memory_order_relaxed);
    {
        std::lock_guard<std::mutex> hold(logAppendLock());
        mOwner.logOutput(&line[0]);
    }
    line.clear();
}

cLogOStream::cLogOStream(const char* category, tLevel level)
    : std::ostream(nullptr), mCategory(category), mLevel(level), mBuf(*this)
{
    rdbuf(&mBuf);
}

bool cLogOStream::wanted() const
{
    if (mBuf.linesOpen())
        return true;
    log4cpp::Priority::Value priority = mLevel == LEVEL_INFO    ? log4cpp::Priority::INFO
                                        : mLevel == LEVEL_DEBUG ? log4cpp::Priority::DEBUG
                                                                : log4cpp::Priority::ERROR;
    return log4cpp::Category::getInstance(std::string(mCategory)).isPriorityEnabled(priority);
}

cLogOStream::~cLogOStream() = default;

cLogOStream& cLogOStream::put(char c)
{
    std::lock_guard<std::recursive_mutex> hold(mLock);
    std::ostream::put(c);
    return *this;
}

cLogOStream& cLogOStream::flush()
{
    std::lock_guard<std::recursive_mutex> hold(mLock);
    std::ostream::flush();
    return *this;
}

void cLogOStream::finishPending()
{
    mBuf.finishPending();
}

// The category is looked up for every line (never cached), and the line is
// passed as a string, never as a printf format.
void cLog::logOutput(char* line)
{
    log4cpp::Category::getInstance(std::string(category())).info(std::string(line));
}

void cDebug::logOutput(char* line)
{
    log4cpp::Category::getInstance(std::string(category())).debug(std::string(line));
}

void cError::logOutput(char* line)
{
    log4cpp::Category::getInstance(std::string(category())).error(std::string(line));
}
