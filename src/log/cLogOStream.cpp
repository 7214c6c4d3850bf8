#include "log/cLogOStream.h"

#include <log4cpp/Category.hh>

void cLogBuf::finishPending()
{
    std::lock_guard<std::recursive_mutex> hold(mOwner.lineLock());
    for (auto& entry : mPending)
        if (!entry.second.empty())
            emit(entry.second);
    mPending.clear();
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
    std::string& line = mPending[std::this_thread::get_id()];
    for (std::size_t i = 0; i < n; ++i) {
        if (s[i] == '\n') {
            emit(line);
            continue;
        }
        line.push_back(s[i]);
        if (line.size() >= kMaxLine)
            emit(line);
    }
}

void cLogBuf::emit(std::string& line)
{
    mOwner.logOutput(&line[0]);
    line.clear();
}

cLogOStream::cLogOStream(const char* category)
    : std::ostream(nullptr), mCategory(category), mBuf(*this)
{
    rdbuf(&mBuf);
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
