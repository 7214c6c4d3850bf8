#include "status/cConnectionRoster.h"

#include <algorithm>

MHD_Connection* cConnectionRoster::admit(MHD_Connection* connection)
{
    mEntries.push_back({connection, false});
    if (mEntries.size() <= mLimit) {
        return nullptr;
    }
    // Found at the latest in the newcomer, which is last and waits.
    auto longest = std::find_if(mEntries.begin(), mEntries.end(),
                                [](const sEntry& entry) { return !entry.answering; });
    MHD_Connection* toClose = longest->connection;
    mEntries.erase(longest);
    return toClose;
}

void cConnectionRoster::requestArrived(MHD_Connection* connection)
{
    auto entry = find(connection);
    if (entry != mEntries.end()) {
        entry->answering = true;
    }
}

// A connection already closed, or taken out to be closed, stays out.
void cConnectionRoster::answered(MHD_Connection* connection)
{
    auto entry = find(connection);
    if (entry != mEntries.end()) {
        mEntries.erase(entry);
        mEntries.push_back({connection, false});
    }
}

void cConnectionRoster::closed(MHD_Connection* connection)
{
    auto entry = find(connection);
    if (entry != mEntries.end()) {
        mEntries.erase(entry);
    }
}

std::vector<cConnectionRoster::sEntry>::iterator
cConnectionRoster::find(MHD_Connection* connection)
{
    return std::find_if(mEntries.begin(), mEntries.end(), [connection](const sEntry& entry) {
        return entry.connection == connection;
    });
}
