// The open HTTP connections in the order they began to wait for a whole
// request, so that one connection past the limit closes the one that has
// waited longest. Called from the HTTP thread only.
#pragma once

#include <cstddef>
#include <vector>

struct MHD_Connection;

class cConnectionRoster {
public:
    explicit cConnectionRoster(std::size_t limit) : mLimit(limit) {}

    // Adds connection. Past the limit, takes out and returns the one to
    // close: the one waiting longest, or connection itself when every other
    // one is being answered; nullptr within the limit.
    MHD_Connection* admit(MHD_Connection* connection);
    // A whole request came: not to be closed while it is answered.
    void requestArrived(MHD_Connection* connection);
    // Answered and kept open: it waits again, from now.
    void answered(MHD_Connection* connection);
    void closed(MHD_Connection* connection);

private:
    struct sEntry {
        MHD_Connection* connection;
        bool answering;
    };

    std::vector<sEntry>::iterator find(MHD_Connection* connection);

    std::size_t mLimit;
    std::vector<sEntry> mEntries; // the longest waiting first
};
