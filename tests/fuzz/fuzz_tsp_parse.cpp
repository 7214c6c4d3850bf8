// Fuzz target: the setup-message parser over any received bytes.
//
// The bytes lie in a heap block of exactly their size, so a read or write
// past the received length is caught. After parsing it checks that the
// parser only split tags (each tag's first "=" became a NUL), that the type
// follows the first string, that a tag absent from the message leaves its
// field zero, that the parsed values survive being built into a request
// and an offer and parsed again, that a routed prefix the client would keep
// survives its own text form, and that no log record written on the way
// carries a control byte from the datagram.
#include "fuzzSupport.h"

#include "tsp/cTSPMsg.h"
#include "tsp/prefixText.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

namespace {

// The longest messages the system builds.
const int kLongestRequest = 49;
const int kBuilderCapacity = 1024;

struct sTypeName {
    const char* word;
    int code;
};

const sTypeName kTypes[] = {
    {"request", TSP_REQUEST},
    {"offer", TSP_OFFER},
    {"accept", TSP_ACCEPT},
};

int typeOfText(const uint8_t* text, std::size_t len)
{
    for (const sTypeName& t : kTypes) {
        if (std::strlen(t.word) == len && std::memcmp(t.word, text, len) == 0)
            return t.code;
    }
    return TSP_UNKNOWN;
}

// A terminated first string decides the type; an unterminated one (the
// whole message without any NUL) may be taken as ending at the last byte or
// be dropped.
void checkType(const cTSPMsg& msg, const uint8_t* original, std::size_t size)
{
    int type = msg.getType();
    if (type != TSP_REQUEST && type != TSP_OFFER && type != TSP_ACCEPT && type != TSP_UNKNOWN)
        fuzzFail("type code " + std::to_string(type));
    const void* nul = std::memchr(original, 0, size);
    if (nul != nullptr) {
        std::size_t len = static_cast<const uint8_t*>(nul) - original;
        fuzzCheck(type == typeOfText(original, len), "type does not follow the first string");
        return;
    }
    fuzzCheck(type == TSP_UNKNOWN || type == typeOfText(original, size),
              "type of an unterminated first string");
}

// Checks one string [start, end) of the message after parsing. Tag strings
// (index > 0) have their first "=" turned into a NUL; an unterminated last
// string may be left whole. Nothing else may change.
void checkString(const uint8_t* original, const char* parsed, std::size_t start,
                 std::size_t end, bool terminated, int index)
{
    const void* eq = index > 0 ? std::memchr(original + start, '=', end - start) : nullptr;
    std::size_t eqAt = eq != nullptr ? static_cast<const uint8_t*>(eq) - original : end;
    for (std::size_t i = start; i < end; ++i) {
        char now = parsed[i];
        char was = static_cast<char>(original[i]);
        if (i == eqAt && now == '\0')
            continue;
        if (i == eqAt && !terminated && now == '=')
            continue;
        if (now != was)
            fuzzFail("parser changed byte " + std::to_string(i) + " from 0x"
                     + hexBytes(&was, 1) + " to 0x" + hexBytes(&now, 1));
    }
    if (terminated)
        fuzzCheck(parsed[end] == '\0', "parser changed a NUL separator");
}

void checkChanges(const uint8_t* original, const char* parsed, std::size_t size)
{
    std::size_t start = 0;
    int index = 0;
    while (start < size) {
        const void* nul = std::memchr(original + start, 0, size - start);
        std::size_t end = nul != nullptr ? static_cast<const uint8_t*>(nul) - original : size;
        checkString(original, parsed, start, end, nul != nullptr, index);
        start = end + 1;
        ++index;
    }
}

// A tag can only be set by a string after the first NUL that begins with its
// name and "="; when that text occurs nowhere there, its field stays zero.
void checkAbsentTags(const cTSPMsg& msg, const uint8_t* original, std::size_t size)
{
    const void* nul = std::memchr(original, 0, size);
    const uint8_t* tags = nul != nullptr ? static_cast<const uint8_t*>(nul) + 1 : original + size;
    std::size_t tagsLen = original + size - tags;
    auto absent = [&](const char* name) {
        return memmem(tags, tagsLen, name, std::strlen(name)) == nullptr;
    };
    if (absent("tunnelid="))
        fuzzCheck(msg.getTunnelId() == 0, "tunnelid set without a tunnelid tag");
    if (absent("keepalive="))
        fuzzCheck(msg.getKeepalive() == 0, "keepalive set without a keepalive tag");
    if (absent("ip6prefixlen="))
        fuzzCheck(msg.getPrefixLen() == 0, "ip6prefixlen set without an ip6prefixlen tag");
    if (absent("ip6prefix="))
        fuzzCheck(sameIp6(msg.getPrefix(), &in6addr_any), "ip6prefix set without an ip6prefix tag");
    if (absent("ip6addr="))
        fuzzCheck(sameIp6(msg.getAddr(), &in6addr_any), "ip6addr set without an ip6addr tag");
}

// The values a message carries, as the parser stored them.
struct sValues {
    unsigned tunnelId;
    unsigned keepalive;
    unsigned prefixLen;
    in6_addr prefix;
    in6_addr addr;
};

sValues valuesOf(const cTSPMsg& msg)
{
    return sValues{msg.getTunnelId(), msg.getKeepalive(), msg.getPrefixLen(), *msg.getPrefix(),
                   *msg.getAddr()};
}

// Parses a copy of a built message (the parser changes its buffer) and
// compares what it yields with what was built into it.
void reparse(cTSPMsg& built, int expectedType, const sValues& sent)
{
    int len = built.getLen();
    std::unique_ptr<char[]> copy = exactCopy(built.getData(), static_cast<std::size_t>(len));
    cTSPMsg again(copy.get(), len);
    sValues got = valuesOf(again);
    fuzzCheck(again.getType() == expectedType, "rebuilt message has another type");
    fuzzCheck(got.tunnelId == sent.tunnelId, "tunnelid lost in a round trip");
    fuzzCheck(got.keepalive == sent.keepalive, "keepalive lost in a round trip");
    fuzzCheck(got.prefixLen == sent.prefixLen, "ip6prefixlen lost in a round trip");
    fuzzCheck(sameIp6(&got.prefix, &sent.prefix), "ip6prefix lost in a round trip");
    fuzzCheck(sameIp6(&got.addr, &sent.addr), "ip6addr lost in a round trip");
}

// Builds the parsed values into an offer and a request as the exchange
// does (the offer's prefix length is the shared 8-bit one) and parses them
// back; neither may exceed the longest message the system builds.
void checkRoundTrip(const cTSPMsg& msg)
{
    sValues offered = valuesOf(msg);
    offered.prefixLen &= 0xff;
    cTSPMsg offer(kBuilderCapacity);
    offer.addTag("offer", nullptr);
    offer.addTag("tunnelid", offered.tunnelId);
    offer.addTag("ip6prefix", &offered.prefix);
    offer.addTag("ip6prefixlen", offered.prefixLen);
    offer.addTag("ip6addr", &offered.addr);
    offer.addTag("keepalive", offered.keepalive);
    if (offer.getLen() > kLongestOffer)
        fuzzFail("offer of " + std::to_string(offer.getLen()) + " bytes");
    reparse(offer, TSP_OFFER, offered);

    sValues requested = {msg.getTunnelId(), msg.getKeepalive(), 0, {}, {}};
    cTSPMsg request(kBuilderCapacity);
    request.addTag("request", nullptr);
    request.addTag("tunnelid", requested.tunnelId);
    if (requested.keepalive != 0)
        request.addTag("keepalive", requested.keepalive);
    if (request.getLen() > kLongestRequest)
        fuzzFail("request of " + std::to_string(request.getLen()) + " bytes");
    reparse(request, TSP_REQUEST, requested);
}

void checkRoutedPrefix(const cTSPMsg& msg)
{
    in6_addr prefix, again;
    unsigned len = 0, lenAgain = 0;
    if (!parsePrefixText(msg.getRoutedPrefix(), prefix, len))
        return;
    std::string text = prefixText(prefix, len);
    if (len > 128 || !parsePrefixText(text.c_str(), again, lenAgain) || lenAgain != len
        || std::memcmp(&again, &prefix, sizeof(prefix)) != 0)
        fuzzFail("routed prefix '" + text + "' does not survive its text form");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    return initializeFuzzing(FUZZ_LOGS_CHECKED);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    // Received datagrams are at most 2048 bytes; anything up to this still
    // fits the parser's int length comfortably.
    if (size > 65536)
        return -1;
    std::unique_ptr<char[]> buffer = exactCopy(data, size);

    unsigned long recordsBefore = logRecordsSeen();
    cTSPMsg msg(buffer.get(), static_cast<int>(size));
    msg.dump();
    fuzzCheck(msg.getLen() == static_cast<int>(size), "parsed length differs from received");
    checkType(msg, data, size);
    checkChanges(data, buffer.get(), size);
    checkAbsentTags(msg, data, size);
    checkRoundTrip(msg);
    checkRoutedPrefix(msg);
    // At least the "Msg has " and "Type is '" lines and the three dump lines.
    fuzzCheck(logRecordsSeen() - recordsBefore >= 5, "parsing and dumping logged nothing");
    return 0;
}
