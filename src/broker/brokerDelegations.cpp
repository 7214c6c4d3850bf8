// The broker's pool of routed prefixes at start: the pool must not overlap
// the tunnel prefix, the file of delegations is read and proven writable,
// and from then on every change of the table is written to it.
#include "main/cBroker.h"

#include "counters/daemonCounters.h"
#include "log/logText.h"
#include "log/monotonicClock.h"
#include "log/replaceFile.h"
#include "tunnel/cDelegationTable.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>

namespace {

// Two prefixes overlap when the shorter one holds the longer.
bool prefixesOverlap(const in6_addr& a, unsigned aLen, const in6_addr& b, unsigned bLen)
{
    unsigned bits = std::min(std::min(aLen, bLen), 128u);
    for (unsigned bit = 0; bit < bits; ++bit) {
        unsigned char mask = static_cast<unsigned char>(0x80 >> (bit % 8));
        if ((a.s6_addr[bit / 8] & mask) != (b.s6_addr[bit / 8] & mask))
            return false;
    }
    return true;
}

// Seconds the wall clock runs ahead of the monotonic one: the file keeps
// wall-clock times, which survive a restart of the host.
long long wallOffsetSeconds()
{
    return static_cast<long long>(std::time(nullptr)) - wholeSeconds(monotonicNanoseconds());
}

void publishCounts(const cDelegationTable& table)
{
    daemonCounters().delegationsHeld.store(table.held(), std::memory_order_relaxed);
    daemonCounters().delegationsTotal.store(table.capacity(), std::memory_order_relaxed);
}

// The file's directory, made private to the daemon like the key file's
// when it is missing (the last component only).
void makeStateDirectory(const std::string& path)
{
    std::string::size_type slash = path.rfind('/');
    if (slash != std::string::npos && slash != 0)
        mkdir(path.substr(0, slash).c_str(), 0700);
}

} // namespace

bool cBroker::delegationsUsable()
{
    if (mDelegationPool == nullptr || *mDelegationPool == '\0')
        return true;
    std::string error;
    if (!gDelegations.configure(mDelegationPool, static_cast<unsigned>(mDelegationLen), error)) {
        mError << "quib.broker.delegation: " << error << ". Bailing out" << std::endl;
        return false;
    }
    if (prefixesOverlap(gDelegations.pool(), gDelegations.poolLen(), mPrefix, mPrefixLen)) {
        mError << "quib.broker.delegation '" << printableText(mDelegationPool)
               << "' overlaps the tunnel prefix " << ip6Text(mPrefix) << "/"
               << static_cast<unsigned>(mPrefixLen) << ". Bailing out" << std::endl;
        return false;
    }
    std::string path = mDelegationFile != nullptr ? mDelegationFile : "";
    std::ifstream in(path);
    if (!in && errno != ENOENT) {
        mError << "Delegation file '" << printableText(path.c_str())
               << "' cannot be read: " << std::strerror(errno) << ". Bailing out" << std::endl;
        return false;
    }
    std::ostringstream content;
    content << in.rdbuf();
    long long offset = wallOffsetSeconds();
    std::size_t skipped = gDelegations.parse(content.str(), offset);
    if (skipped != 0)
        mInfo << "Delegation file '" << printableText(path.c_str()) << "': " << skipped
              << " lines name no delegation of this pool and were dropped" << std::endl;
    // Written once now, so that a file that cannot be written stops the
    // start instead of losing every delegation later.
    makeStateDirectory(path);
    int failure = replaceFile(path, gDelegations.serialize(offset), 0644);
    if (failure != 0) {
        mError << "Delegation file '" << printableText(path.c_str())
               << "' cannot be written: " << std::strerror(failure) << ". Bailing out" << std::endl;
        return false;
    }
    mInfo << "Routed prefixes from " << ip6Text(gDelegations.pool()) << "/" << gDelegations.poolLen() << ", each /"
          << gDelegations.delegationLen() << ": " << gDelegations.held() << " of "
          << gDelegations.capacity() << " held" << std::endl;
    publishCounts(gDelegations);
    cWlog* log = this;
    gDelegations.setSaver([path, offset, log](const cDelegationTable& table) {
        publishCounts(table);
        int failed = replaceFile(path, table.serialize(offset), 0644);
        if (failed != 0)
            log->mError << "Cannot write the delegation file '" << path
                        << "': " << std::strerror(failed) << std::endl;
    });
    return true;
}

bool cBroker::routeDelegations()
{
    if (!gDelegations.enabled())
        return true;
    return setPrefixRoute(gDelegations.pool(), static_cast<int>(gDelegations.poolLen()));
}
