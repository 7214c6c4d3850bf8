// Captures log4cpp records as "PRIORITY category message" for assertions.
#pragma once

#include <log4cpp/Appender.hh>
#include <log4cpp/Category.hh>
#include <log4cpp/LayoutAppender.hh>
#include <log4cpp/LoggingEvent.hh>
#include <log4cpp/Priority.hh>

#include <algorithm>
#include <initializer_list>
#include <mutex>
#include <string>
#include <vector>

using Records = std::vector<std::string>;

class cLogCaptureAppender : public log4cpp::LayoutAppender {
public:
    cLogCaptureAppender() : log4cpp::LayoutAppender("capture") {}
    void close() override {}
    std::vector<std::string> take()
    {
        std::lock_guard<std::mutex> hold(mLock);
        std::vector<std::string> out;
        out.swap(mRecords);
        return out;
    }

protected:
    void _append(const log4cpp::LoggingEvent& event) override
    {
        std::string text = log4cpp::Priority::getPriorityName(event.priority) + " "
            + event.categoryName + " " + event.message;
        std::lock_guard<std::mutex> hold(mLock);
        mRecords.push_back(text);
    }

private:
    std::mutex mLock;
    std::vector<std::string> mRecords;
};

// While alive, every record of every category (DEBUG and up) is captured
// and nothing else is written. records() returns what arrived since the
// last call.
class cLogCapture {
public:
    cLogCapture() : mAppender(new cLogCaptureAppender)
    {
        log4cpp::Category& root = log4cpp::Category::getRoot();
        root.removeAllAppenders();
        root.setPriority(log4cpp::Priority::DEBUG);
        root.addAppender(mAppender);
    }
    ~cLogCapture()
    {
        log4cpp::Category::getRoot().removeAllAppenders();
    }
    Records records() { return mAppender->take(); }
    // Only those of one category; the others are taken all the same.
    Records records(const std::string& category) { return ofCategory(records(), category); }
    static Records ofCategory(const Records& records, const std::string& category)
    {
        Records out;
        for (const std::string& r : records) {
            std::size_t space = r.find(' ');
            if (r.compare(space + 1, category.size() + 1, category + " ") == 0)
                out.push_back(r);
        }
        return out;
    }

private:
    cLogCaptureAppender* mAppender; // owned by the root category
};

inline bool has(const Records& records, const std::string& record)
{
    return std::find(records.begin(), records.end(), record) != records.end();
}

inline int countStartingWith(const Records& records, const std::string& prefix)
{
    return static_cast<int>(std::count_if(records.begin(), records.end(), [&](const std::string& r) {
        return r.rfind(prefix, 0) == 0;
    }));
}

inline bool anyStartsWith(const Records& records, const std::string& prefix)
{
    return countStartingWith(records, prefix) > 0;
}

// True when the expected records appear in this order (others may lie between).
inline bool inOrder(const Records& records, std::initializer_list<std::string> expected)
{
    auto it = records.begin();
    for (const std::string& e : expected) {
        it = std::find(it, records.end(), e);
        if (it == records.end())
            return false;
        ++it;
    }
    return true;
}
