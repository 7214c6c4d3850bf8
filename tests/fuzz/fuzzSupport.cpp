#include "fuzzSupport.h"

#include <log4cpp/AppenderSkeleton.hh>
#include <log4cpp/Category.hh>
#include <log4cpp/LoggingEvent.hh>
#include <log4cpp/OstreamAppender.hh>
#include <log4cpp/Priority.hh>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>

namespace {

int gReportFd = 2;
unsigned long gRecords = 0;

class cCheckingAppender : public log4cpp::AppenderSkeleton {
public:
    cCheckingAppender() : log4cpp::AppenderSkeleton("fuzz-check") {}
    void close() override {}
    bool requiresLayout() const override { return false; }
    void setLayout(log4cpp::Layout* layout) override { delete layout; }

protected:
    void _append(const log4cpp::LoggingEvent& event) override
    {
        ++gRecords;
        for (unsigned char c : event.message) {
            if (c < 0x20 || c == 0x7f)
                fuzzFail("log record of " + event.categoryName + " holds the byte 0x"
                         + hexBytes(&c, 1) + ": " + hexBytes(event.message.data(),
                                                            event.message.size()));
        }
    }
};

} // namespace

void quietLogs()
{
    log4cpp::Category& root = log4cpp::Category::getRoot();
    root.removeAllAppenders();
    root.setPriority(log4cpp::Priority::ERROR);
    root.addAppender(new log4cpp::OstreamAppender("stderr", &std::cerr));
}

void checkLogRecords()
{
    log4cpp::Category& root = log4cpp::Category::getRoot();
    root.removeAllAppenders();
    root.setPriority(log4cpp::Priority::DEBUG);
    root.addAppender(new cCheckingAppender());
}

unsigned long logRecordsSeen()
{
    return gRecords;
}

void keepReportChannel()
{
    int fd = dup(2);
    if (fd >= 0)
        gReportFd = fd;
}

int initializeFuzzing(eFuzzLogs logs)
{
    keepReportChannel();
    if (logs == FUZZ_LOGS_CHECKED)
        checkLogRecords();
    else
        quietLogs();
    return 0;
}

void fuzzFail(const std::string& what)
{
    std::string line = "==quibd fuzz== invariant broken: " + what + "\n";
    ssize_t written = write(gReportFd, line.data(), line.size());
    (void)written; // the abort below is the report that counts
    std::abort();
}

std::unique_ptr<char[]> exactCopy(const void* data, std::size_t len)
{
    std::unique_ptr<char[]> copy(new char[len]);
    if (len > 0)
        std::memcpy(copy.get(), data, len);
    return copy;
}

std::string hexBytes(const void* bytes, std::size_t len)
{
    static const char digits[] = "0123456789abcdef";
    const unsigned char* p = static_cast<const unsigned char*>(bytes);
    std::string out;
    for (std::size_t i = 0; i < len; ++i) {
        out += digits[p[i] >> 4];
        out += digits[p[i] & 0xf];
    }
    return out;
}
