// One tunnel setup message: NUL-terminated strings, a type then tags.
#pragma once

#include "log/cWlog.h"

#include <netinet/in.h>

#include <cstddef>

enum {
    TSP_REQUEST = 0,
    TSP_OFFER = 1,
    TSP_ACCEPT = 2,
    TSP_UNKNOWN = 4,
};

class cTSPMsg : public cWlog {
public:
    // Builder: an empty message over a buffer of capacity bytes it owns.
    explicit cTSPMsg(int capacity);
    // Parser: wraps (and parses in place, changing) len received bytes.
    cTSPMsg(char* data, int len);
    // Reader: parses a copy of len bytes without writing a record, leaving
    // the caller's bytes as they are (for a look before the exchange runs).
    struct sQuietCopy {};
    cTSPMsg(const char* data, int len, sQuietCopy);
    virtual ~cTSPMsg();

    cTSPMsg(const cTSPMsg&) = delete;
    cTSPMsg& operator=(const cTSPMsg&) = delete;

    void addTag(const char* name, const char* value);
    void addTag(const char* name, unsigned value);
    void addTag(const char* name, const in6_addr* addr);
    // addTag(type, nullptr): a bare string, as the type string is written.
    void addTag(const char* name, std::nullptr_t) { addTag(name, static_cast<const char*>(nullptr)); }

    void dump();

    char* getData() { return mData; }
    int getLen() const { return mLen; }
    int getType() const { return mType; }
    unsigned getTunnelId() const { return mTunnelId; }
    unsigned getKeepalive() const { return mKeepalive; }
    unsigned getPrefixLen() const { return mPrefixLen; }
    const in6_addr* getPrefix() const { return &mPrefix; }
    const in6_addr* getAddr() const { return &mAddr; }
    // The "tunnelkey" tag's text (possibly empty), or null when the message
    // has no such tag; valid while the message lives.
    const char* getTunnelKey() const { return mTunnelKey; }
    // The "routedprefix" tag's text the same way: empty in a request that
    // asks for a routed prefix, "PREFIX/LEN" in an offer that gives one.
    const char* getRoutedPrefix() const { return mRoutedPrefix; }

private:
    void parse();
    void parseTag(char* str);

    char* mData = nullptr;
    int mLen = 0;
    bool mOwnsData = false;
    int mCapacity = 0; // builder only: appends never write at or past it
    int mType = 0;
    unsigned mTunnelId = 0;
    unsigned mPrefixLen = 0;
    in6_addr mPrefix = {};
    in6_addr mAddr = {};
    unsigned mKeepalive = 0;
    const char* mTunnelKey = nullptr;
    const char* mRoutedPrefix = nullptr;
    bool mQuiet = false;
};
