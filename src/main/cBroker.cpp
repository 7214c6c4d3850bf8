#include "main/cBroker.h"

#include "config/cConfig.h"
#include "log/logText.h"

#include <arpa/inet.h>

#include <cstring>

cBroker* gBroker = nullptr;

namespace {

const int kQueueLimit = 1024;
const char kPrefixKey[] = "quib.broker.ip6prefix";
// Offers one source address may get at once before the steady rate applies.
const int kSetupBurst = 5;
const long long kFloodReportSeconds = 10;

} // namespace

cBroker::cBroker()
    : cWlog("cBroker"),
      mPort(0),
      mBrokerAddress(nullptr),
      mTunFd(-1),
      mPrefix(),
      mPrefixLen(0),
      mUdpSocket(-1),
      mUdpQueue(kQueueLimit),
      mTunQueue(kQueueLimit),
      mMaxTunnels(cConfig::getInt("quib.broker.maxtunnels", 4096)),
      mSetupRate(cConfig::getInt("quib.broker.setuprate", 20)),
      mSetupLimiter(mSetupRate, kSetupBurst, setupLimiterSeed()),
      mHeldOffers(kFloodReportSeconds),
      mTunMtu(cConfig::getInt("quib.tun.mtu", kDefaultTunMtu))
{
    // Out-of-range values keep their low bits, as the fields are narrow.
    mPort = static_cast<uint16_t>(cConfig::getInt("quib.broker.port", 3653));
    // cConfig keeps the text for the life of the process, so the pointer is kept.
    mBrokerAddress = cConfig::getString("quib.broker.address", nullptr);

    const char* prefixText = cConfig::getString(kPrefixKey, nullptr);
    if (prefixText == nullptr)
        return;
    in6_addr parsed;
    if (inet_pton(AF_INET6, prefixText, &parsed) != 1) {
        // An unusable prefix counts as no prefix at all, so broker mode
        // refuses to start instead of handing out addresses from garbage.
        mError << "Ignoring " << kPrefixKey << " '" << printableText(prefixText)
               << "': not an IPv6 address" << std::endl;
        return;
    }
    mPrefix = parsed;
    mPrefixLen = static_cast<uint8_t>(cConfig::getInt("quib.broker.ip6prefixlen", 64));
}

cBroker::~cBroker() = default;

// 1280 is the least IPv6 allows on a link; above 1500 the datagram carrying
// a full frame no longer fits an ordinary 1500-byte path without fragments.
bool cBroker::tunMtuUsable()
{
    if (mTunMtu >= kMinTunMtu && mTunMtu <= kMaxTunMtu)
        return true;
    mError << "quib.tun.mtu must be between " << kMinTunMtu << " and " << kMaxTunMtu << ", not "
           << mTunMtu << ". Bailing out" << std::endl;
    return false;
}
