#include "main/cBroker.h"

#include "config/cConfig.h"
#include "config/configKeys.h"
#include "log/logText.h"
#include "packet/tunOffloadIo.h"
#include "net/udpOffload.h"
#include "status/cOperatorView.h"
#include "packet/frame.h"

#include <arpa/inet.h>

#include <cstdlib>
#include <cstring>
#include <string>

cBroker* gBroker = nullptr;

namespace {

const int kQueueLimit = 1024;
// As many bytes as kQueueLimit single frames: whole reads with offload (up
// to 64 KB each) keep the queues' memory where it always was.
const long long kQueueBytes = static_cast<long long>(kQueueLimit) * kFrameBufferSize;
const char kPrefixKey[] = "quib.broker.ip6prefix";
const char kTunOffloadKey[] = "quib.tun.offload";

// Where a client keeps its identifier and key: "quib.client.statedir", else
// the directory the service manager made for this instance (the last one
// it lists), else the one shared directory.
std::string clientStateDirectory()
{
    const char* configured = configText("quib.client.statedir");
    if (configured != nullptr && *configured != '\0')
        return configured;
    const char* managed = std::getenv("STATE_DIRECTORY");
    if (managed != nullptr && *managed != '\0') {
        std::string list = managed;
        std::size_t colon = list.rfind(':');
        return colon == std::string::npos ? list : list.substr(colon + 1);
    }
    return "/var/lib/quibd";
}

} // namespace

cBroker::cBroker()
    : cWlog("cBroker"),
      mPort(0),
      mBrokerAddress(nullptr),
      mTunFd(-1),
      mTunOffloadSetting(cConfig::getString(kTunOffloadKey, nullptr)),
      mTunOffload(false),
      mPrefix(),
      mPrefixLen(0),
      mUdpSocket(-1),
      mUdpQueue(kQueueLimit, kQueueBytes),
      mTunQueue(kQueueLimit, kQueueBytes),
      mMaxTunnels(configInt("quib.broker.maxtunnels")),
      mSetupRate(configInt("quib.broker.setuprate")),
      mTunMtu(configInt("quib.tun.mtu")),
      mDelivery(configText("quib.broker.delivery")),
      mSourceCheck(configInt("quib.broker.sourcecheck")),
      mKeyFile(configText("quib.broker.keyfile")),
      mRequireKey(configInt("quib.broker.requirekey")),
      mDelegationPool(configText("quib.broker.delegation")),
      mDelegationLen(configInt("quib.broker.delegationlen")),
      mDelegationFile(configText("quib.broker.delegationfile")),
      mUnreachable(configInt("quib.broker.unreachable")),
      mAsksRoutedPrefix(configInt("quib.client.routedprefix")),
      mLanInterface(configText("quib.client.lan")),
      mTunIdPath(clientStateDirectory() + "/tunid"),
      mMode(nullptr)
{
    // Out-of-range values keep their low bits, as the fields are narrow;
    // the operator is told what the value became.
    int port = configInt("quib.broker.port");
    mPort = static_cast<uint16_t>(port);
    if (port < 1 || port > 65535)
        mInfo << "quib.broker.port " << port << " is outside 1 to 65535: its low 16 bits, "
              << static_cast<unsigned>(mPort) << ", are used"
              << (mPort == 0 ? " (a port the kernel picks)" : "") << std::endl;
    // cConfig keeps the text for the life of the process, so the pointer is kept.
    mBrokerAddress = configText("quib.broker.address");

    const char* prefixText = configText(kPrefixKey);
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
    int length = configInt("quib.broker.ip6prefixlen");
    mPrefixLen = static_cast<uint8_t>(length);
    if (length != mPrefixLen)
        mInfo << "quib.broker.ip6prefixlen " << length << " does not fit in 8 bits: its low 8 bits, "
              << static_cast<unsigned>(mPrefixLen) << ", are used" << std::endl;
    if (mPrefixLen > 96)
        mInfo << "quib.broker.ip6prefixlen " << static_cast<unsigned>(mPrefixLen)
              << " is longer than 96: the 32-bit tunnel identifier overlaps the prefix, so tunnel"
                 " addresses may lie outside it"
              << std::endl;
}

// Runs only in tests: the daemon's cBroker lives until the process ends.
cBroker::~cBroker() = default;

bool cBroker::broadcastDelivery() const
{
    return std::strcmp(mDelivery, "broadcast") == 0;
}

void cBroker::useDescriptors(int tunFd, int udpSocket)
{
    mTunFd = tunFd;
    mUdpSocket = udpSocket;
}

bool cBroker::tunMtuUsable()
{
    if (!configValueUsable(configKey("quib.tun.mtu"), mTunMtu, mError))
        return false;
    if (mTunOffloadSetting == nullptr || std::strcmp(mTunOffloadSetting, "auto") == 0
        || std::strcmp(mTunOffloadSetting, "off") == 0)
        return true;
    mError << kTunOffloadKey << " must be auto or off, not '" << printableText(mTunOffloadSetting)
           << "'. Bailing out" << std::endl;
    return false;
}

std::size_t cBroker::tunReadSize() const
{
    return mTunOffload ? kOffloadReadSize : static_cast<std::size_t>(kFrameBufferSize);
}

// With the TUN device's offload, the socket takes runs of datagrams too.
void cBroker::askForUdpRuns()
{
    if (!mTunOffload)
        return;
    mUdpGro = enableUdpGro(mUdpSocket);
    if (!mUdpGro) {
        mInfo << "UDP receive offload refused, receiving datagrams one by one" << std::endl;
        return;
    }
    mGroBatch.reset(new cGroBatch());
}
