#include "tsp/cTSPMsg.h"

#include "log/logText.h"

#include <arpa/inet.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

const int kTextSize = 128;

enum eTagField { TAG_TUNNELID, TAG_KEEPALIVE, TAG_PREFIX, TAG_PREFIXLEN, TAG_ADDR, TAG_TUNNELKEY, TAG_ROUTEDPREFIX };

struct sTagInfo {
    const char* name;
    const char* line; // the value text follows it directly
    eTagField field;
};

const sTagInfo kTags[] = {
    {"tunnelid", "Got Tunnel Id", TAG_TUNNELID},
    {"keepalive", "Got Tunnel Keepalive", TAG_KEEPALIVE},
    {"ip6prefix", "Got Prefix ", TAG_PREFIX},
    {"ip6prefixlen", "Got Prefix Len", TAG_PREFIXLEN},
    {"ip6addr", "Got Tunnel Addr", TAG_ADDR},
    {"tunnelkey", "Got Tunnel Key ", TAG_TUNNELKEY},
    {"routedprefix", "Got Routed Prefix ", TAG_ROUTEDPREFIX},
};

const sTagInfo* findTag(const char* name)
{
    for (const sTagInfo& tag : kTags) {
        if (std::strcmp(tag.name, name) == 0)
            return &tag;
    }
    return nullptr;
}

int typeOf(const char* text)
{
    if (text == nullptr)
        return TSP_UNKNOWN;
    if (std::strcmp(text, "request") == 0)
        return TSP_REQUEST;
    if (std::strcmp(text, "offer") == 0)
        return TSP_OFFER;
    if (std::strcmp(text, "accept") == 0)
        return TSP_ACCEPT;
    return TSP_UNKNOWN;
}

// strtoull keeps the full 64-bit rules (sign, saturation) on every platform;
// the field keeps the low 32 bits.
unsigned toNumber(const char* text)
{
    return static_cast<unsigned>(std::strtoull(text, nullptr, 10));
}

// A text that is no IPv6 address leaves the field as it was.
void toAddress(const char* text, in6_addr& field)
{
    in6_addr parsed;
    if (inet_pton(AF_INET6, text, &parsed) == 1)
        field = parsed;
}

} // namespace

cTSPMsg::cTSPMsg(int capacity)
    : cWlog("cTSPMsg"),
      mOwnsData(true),
      // A negative capacity is taken as none rather than failing the allocation.
      mCapacity(capacity > 0 ? capacity : 0)
{
    mData = new char[mCapacity];
}

cTSPMsg::cTSPMsg(char* data, int len) : cWlog("cTSPMsg"), mData(data), mLen(len)
{
    parse();
}

cTSPMsg::cTSPMsg(const char* data, int len, sQuietCopy)
    : cWlog("cTSPMsg"), mOwnsData(true), mQuiet(true)
{
    // Full from the start: nothing is ever appended to the copy.
    mLen = mCapacity = (data != nullptr && len > 0) ? len : 0;
    mData = new char[mCapacity];
    if (mLen > 0)
        std::memcpy(mData, data, static_cast<std::size_t>(mLen));
    parse();
}

cTSPMsg::~cTSPMsg()
{
    if (mOwnsData && mData != nullptr)
        delete[] mData;
}

void cTSPMsg::addTag(const char* name, const char* value)
{
    // A parsed message borrows the caller's bytes and is never appended to;
    // a missing name adds nothing.
    if (!mOwnsData || name == nullptr)
        return;
    std::size_t nameLen = std::strlen(name);
    std::size_t valueLen = value != nullptr ? std::strlen(value) : 0;
    std::size_t need = nameLen + 1 + (value != nullptr ? valueLen + 1 : 0);
    // A string that does not fit is refused whole: the message stays as it
    // was, never cut in the middle of a string and never written past its end.
    if (need > static_cast<std::size_t>(mCapacity - mLen))
        return;

    std::memcpy(mData + mLen, name, nameLen);
    mLen += static_cast<int>(nameLen);
    if (value != nullptr) {
        mData[mLen++] = '=';
        std::memcpy(mData + mLen, value, valueLen);
        mLen += static_cast<int>(valueLen);
    }
    mData[mLen++] = '\0';
}

void cTSPMsg::addTag(const char* name, unsigned value)
{
    char text[kTextSize];
    std::snprintf(text, sizeof(text), "%u", value);
    addTag(name, text);
}

void cTSPMsg::addTag(const char* name, const in6_addr* addr)
{
    // An address that cannot be written adds nothing rather than a tag
    // without its value.
    std::string text = addr == nullptr ? std::string() : ip6Text(*addr);
    if (!text.empty())
        addTag(name, text.c_str());
}

namespace {

const char kKeyTag[] = "tunnelkey=";
// A key in the log is all anyone needs to take its identifier's address.
const char kKeyMask[] = "<32 hex digits>";

// One tag as the log shows it: printable, with any key masked.
std::string shownTag(const char* tag, std::size_t size)
{
    const std::size_t keyTag = sizeof(kKeyTag) - 1;
    if (size >= keyTag && std::memcmp(tag, kKeyTag, keyTag) == 0)
        return std::string(kKeyTag) + kKeyMask;
    return printableText(tag, size);
}

std::string shownTag(const char* tag)
{
    return shownTag(tag, std::strlen(tag));
}

} // namespace

void cTSPMsg::dump()
{
    std::string shown;
    const std::size_t len = (mData != nullptr && mLen > 0) ? static_cast<std::size_t>(mLen) : 0;
    // Parsing puts a NUL where each "=" was: a bare "tunnelkey" is then
    // followed by the key as a piece of its own.
    bool keyNext = false;
    for (std::size_t start = 0; start < len;) {
        const char* piece = mData + start;
        std::size_t size = strnlen(piece, len - start);
        shown += keyNext ? std::string(kKeyMask) : shownTag(piece, size);
        keyNext = size == sizeof(kKeyTag) - 2 && std::memcmp(piece, kKeyTag, size) == 0;
        if (start + size < len)
            shown += '.';
        start += size + 1;
    }
    mDebug << ">>>TSP:" << std::endl;
    mDebug << shown << std::endl;
    mDebug << "<<<<" << std::endl;
}

void cTSPMsg::parse()
{
    // Only bytes 0 to mLen - 1 are ever looked at; no length (or no buffer)
    // means no bytes.
    std::size_t len = (mData != nullptr && mLen > 0) ? static_cast<std::size_t>(mLen) : 0;
    std::size_t nuls = 0;
    for (std::size_t i = 0; i < len; ++i) {
        if (mData[i] == '\0')
            ++nuls;
    }

    // entries[k] is the string that follows the k-th NUL (entry 0 the first).
    // Only the last entry can lack a NUL within the received bytes; such an
    // unterminated string is dropped (null), so nothing ever reads past len.
    std::vector<char*> entries(nuls + 1, nullptr);
    std::size_t k = 0;
    if (len > 0)
        entries[0] = mData;
    for (std::size_t i = 0; i < len; ++i) {
        if (mData[i] == '\0' && ++k < nuls && i + 1 < len)
            entries[k] = mData + i + 1;
    }
    if (nuls == 0)
        entries[0] = nullptr;

    if (!mQuiet) {
        mDebug << "Msg has " << nuls + 1 << " bits: " << std::endl;
        mDebug << "Type is '" << printableText(entries[0]) << "'" << std::endl;
    }
    mType = typeOf(entries[0]);

    for (std::size_t l = 1; l <= nuls; ++l) {
        if (entries[l] == nullptr)
            continue;
        if (!mQuiet)
            mDebug << "argv[" << l << "]: " << shownTag(entries[l]) << std::endl;
        parseTag(entries[l]);
    }
}

void cTSPMsg::parseTag(char* str)
{
    char* eq = std::strchr(str, '=');
    const sTagInfo* tag = nullptr;
    if (eq != nullptr) {
        *eq = '\0';
        tag = findTag(str);
    }
    // A known name with no "=" has no value to convert: it is skipped like a
    // name the parser does not know.
    if (tag == nullptr) {
        if (!mQuiet)
            mDebug << "Dunno tag '" << printableText(str) << std::endl;
        return;
    }

    const char* value = eq + 1;
    if (!mQuiet)
        mDebug << tag->line << (tag->field == TAG_TUNNELKEY ? kKeyMask : printableText(value))
               << std::endl;
    switch (tag->field) {
    case TAG_TUNNELID:
        mTunnelId = toNumber(value);
        break;
    case TAG_KEEPALIVE:
        mKeepalive = toNumber(value);
        break;
    case TAG_PREFIXLEN:
        mPrefixLen = toNumber(value);
        break;
    case TAG_PREFIX:
        toAddress(value, mPrefix);
        break;
    case TAG_ADDR:
        toAddress(value, mAddr);
        break;
    case TAG_TUNNELKEY:
        // Points into the received bytes, like every string of the message.
        mTunnelKey = value;
        break;
    case TAG_ROUTEDPREFIX:
        mRoutedPrefix = value;
        break;
    }
}
