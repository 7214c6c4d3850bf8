// The broker's pool of routed prefixes at start: the pool must not overlap
// the tunnel prefix, the file of delegations is read and proven writable,
// and from then on every change of the table is written to it.
#include "main/cBroker.h"

#include "counters/daemonCounters.h"
#include "log/logText.h"
#include "log/monotonicClock.h"
#include "log/replaceFile.h"
#include "tunnel/tunnelTable.h"
#include "tsp/prefixText.h"
#include "tunnel/cDelegationTable.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>

namespace {

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
    // Two prefixes overlap when the shorter one holds the longer.
    if (samePrefix(gDelegations.pool().s6_addr, mPrefix.s6_addr,
                   std::min<unsigned>(gDelegations.poolLen(), mPrefixLen))) {
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
    mDelegationPath = path;
    mDelegationWallOffset = offset;
    return true;
}

// Writing the whole file costs time in the number of delegations, so a
// burst of setups is written at most once a second, and never under the
// table's lock. The first delegation after a quiet second is written at
// once. True while the file is behind the table.
bool cBroker::saveDelegations(long long now)
{
    // Set before the workers start and never again: no lock needed.
    if (!gDelegations.enabled())
        return false;
    std::string content;
    {
        std::lock_guard<std::mutex> hold(gTunnelsLock);
        if (!gDelegations.unsaved())
            return false;
        if (now - mDelegationsSavedAt < kNanosPerSecond)
            return true;
        content = gDelegations.serialize(mDelegationWallOffset);
        gDelegations.markSaved();
        publishCounts(gDelegations);
    }
    mDelegationsSavedAt = now;
    int failure = replaceFile(mDelegationPath, content, 0644);
    if (failure == 0)
        return false;
    mError << "Cannot write the delegation file '" << printableText(mDelegationPath.c_str())
           << "': " << std::strerror(failure) << std::endl;
    // Tried again a second later.
    std::lock_guard<std::mutex> hold(gTunnelsLock);
    gDelegations.markUnsaved();
    return true;
}

bool cBroker::routeDelegations()
{
    if (!gDelegations.enabled())
        return true;
    return setPrefixRoute(gDelegations.pool(), static_cast<int>(gDelegations.poolLen()));
}
