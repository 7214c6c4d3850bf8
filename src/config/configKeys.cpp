#include "config/configKeys.h"

#include "config/cConfig.h"

#include <cstdlib>
#include <cstring>

namespace {

// A text key: no integer default or range.
constexpr tConfigKey textKey(const char* name, const char* defaultText, const char* help)
{
    return {name, defaultText, false, 0, 0, 0, nullptr, help};
}

// An integer key that takes every int (values that overflow a narrow field
// keep their low bits where it is stored).
constexpr tConfigKey intKey(const char* name, const char* defaultText, int defaultValue,
                            const char* help)
{
    return {name, defaultText, true, defaultValue, INT_MIN, INT_MAX, nullptr, help};
}

// An integer key whose values outside min..max stop the start.
constexpr tConfigKey rangedKey(const char* name, const char* defaultText, int defaultValue,
                               int min, int max, const char* rangeText, const char* help)
{
    return {name, defaultText, true, defaultValue, min, max, rangeText, help};
}

const tConfigKey kKeys[] = {
    textKey("quib.mode", "client", "client, or any other text for broker mode"),
    intKey("quib.broker.port", "3653", 3653, "broker UDP port (bound by the broker)"),
    textKey("quib.broker.address", nullptr, "client: broker host name or IPv4 address"),
    textKey("quib.broker.ip6prefix", nullptr, "broker: IPv6 prefix handed out (required)"),
    intKey("quib.broker.ip6prefixlen", "64", 64, "broker: length of that prefix"),
    rangedKey("quib.broker.maxtunnels", "4096", 4096, 1, INT_MAX, "1 or more",
              "broker: most tunnels held at once"),
    rangedKey("quib.broker.setuprate", "20", 20, 0, INT_MAX, "0 (no limit) or more",
              "broker: offers per second to one source\n"
              "address, after a burst of 5 (0: no limit)"),
    textKey("quib.broker.delivery", "unicast",
            "broker: unicast (each frame to the client\n"
            "that holds its destination; multicast to\n"
            "all) or broadcast (every frame to all)"),
    intKey("quib.broker.sourcecheck", "1", 1,
           "broker: non-zero: a client's packets must\n"
           "come from its own tunnel address"),
    textKey("quib.broker.keyfile", "/var/lib/quibd/broker.key",
            "broker: secret of keys\n"
            "(32 bytes, mode 0600, made at first start)"),
    intKey("quib.broker.requirekey", "0", 0,
           "broker: non-zero: an identifier is taken\n"
           "only with its tunnel key"),
    textKey("quib.broker.delegation", nullptr,
            "broker: PREFIX/LEN pool of routed prefixes\n"
            "for key-protected clients (empty: none)"),
    rangedKey("quib.broker.delegationlen", "64", 64, 0, 64, "between the pool's length and 64",
              "broker: length of each routed prefix"),
    textKey("quib.broker.delegationfile", "/var/lib/quibd/delegations",
            "broker: the routed\n"
            "prefixes held"),
    intKey("quib.broker.unreachable", "1", 1,
           "broker: non-zero: ICMPv6 address\n"
           "unreachable for addresses no client\n"
           "holds (at most 10 a second)"),
    intKey("quib.client.keepalive", "30", 30,
           "seconds; client: gives up after that long\n"
           "without a word from the broker; broker:\n"
           "the lowest keepalive it grants"),
    textKey("quib.client.statedir", nullptr,
            "client: directory of its tunid and tunkey\n"
            "(unset: $STATE_DIRECTORY, else\n"
            "/var/lib/quibd)"),
    intKey("quib.client.routedprefix", "0", 0,
           "client: non-zero: ask for a routed prefix"),
    textKey("quib.client.lan", nullptr,
            "client: interface given the routed\n"
            "prefix's ::1 address (empty: none)"),
    textKey("quib.control.socket", nullptr,
            "status socket (unset: /run/quibd/NAME.sock\n"
            "for NAME.conf; empty: none)"),
    textKey("quib.metrics.listen", nullptr,
            "ADDRESS:PORT serving /metrics over HTTP\n"
            "(unset or empty: none)"),
    intKey("quib.route.default", "0", 0,
           "non-zero: IPv6 default route through the\n"
           "TUN device"),
    // 1280 is the least IPv6 allows on a link; above 1500 the datagram
    // carrying a full frame no longer fits an ordinary 1500-byte path
    // without fragments.
    rangedKey("quib.tun.mtu", "1400", 1400, 1280, 1500, "between 1280 and 1500",
              "MTU of the TUN device, 1280 to 1500"),
    textKey("quib.tun.offload", "auto",
            "auto: segmentation offload with the TUN\n"
            "device when the kernel has it; off: none"),
};

const int kKeyCount = sizeof(kKeys) / sizeof(kKeys[0]);

// The entry of name, which must be of the kind the caller reads.
const tConfigKey& keyOfKind(const char* name, bool isInteger)
{
    const tConfigKey& key = configKey(name);
    if (key.isInteger != isInteger)
        std::abort();
    return key;
}

} // namespace

const tConfigKey* configKeys()
{
    return kKeys;
}

int configKeyCount()
{
    return kKeyCount;
}

const tConfigKey& configKey(const char* name)
{
    for (const tConfigKey& key : kKeys)
        if (name != nullptr && std::strcmp(key.name, name) == 0)
            return key;
    std::abort();
}

int configInt(const char* name)
{
    const tConfigKey& key = keyOfKind(name, true);
    return cConfig::getInt(key.name, key.defaultValue);
}

const char* configText(const char* name)
{
    const tConfigKey& key = keyOfKind(name, false);
    return cConfig::getString(key.name, key.defaultText);
}

bool configValueUsable(const tConfigKey& key, int value, std::ostream& err)
{
    if (value >= key.min && value <= key.max)
        return true;
    err << key.name << " must be " << key.rangeText << ", not " << value << ". Bailing out"
        << std::endl;
    return false;
}
