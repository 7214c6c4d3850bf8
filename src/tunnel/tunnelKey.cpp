#include "tunnel/tunnelKey.h"

#include <sodium.h>

#include <cstring>

namespace {

// Written once at start, before the worker threads exist, and only read
// afterwards. Kept here rather than in a header: nothing else may see it.
unsigned char sSecret[kBrokerSecretLen];
bool sEnabled = false;
bool sRequired = false;

} // namespace

void setTunnelKeySecret(const unsigned char secret[kBrokerSecretLen])
{
    // Safe to call again; prepares libsodium before its first use.
    if (sodium_init() < 0)
        return;
    std::memcpy(sSecret, secret, sizeof(sSecret));
    sEnabled = true;
}

void setTunnelKeysRequired(bool required)
{
    sRequired = required;
}

bool tunnelKeysRequired()
{
    return sRequired;
}

bool tunnelKeysEnabled()
{
    return sEnabled;
}

std::string tunnelKeyFor(unsigned id)
{
    if (!sEnabled)
        return std::string();
    const unsigned char idBytes[4] = {static_cast<unsigned char>(id >> 24),
                                      static_cast<unsigned char>(id >> 16),
                                      static_cast<unsigned char>(id >> 8),
                                      static_cast<unsigned char>(id)};
    unsigned char hash[kTunnelKeyTextLen / 2];
    crypto_generichash(hash, sizeof(hash), idBytes, sizeof(idBytes), sSecret, sizeof(sSecret));
    char text[kTunnelKeyTextLen + 1];
    sodium_bin2hex(text, sizeof(text), hash, sizeof(hash));
    return std::string(text);
}

bool tunnelKeyValid(unsigned id, const char* text)
{
    if (!sEnabled || text == nullptr || std::strlen(text) != kTunnelKeyTextLen)
        return false;
    std::string expected = tunnelKeyFor(id);
    return sodium_memcmp(expected.data(), text, kTunnelKeyTextLen) == 0;
}

bool tunnelKeyTextUsable(const std::string& text)
{
    return text.size() == static_cast<std::size_t>(kTunnelKeyTextLen)
        && text.find_first_not_of("0123456789abcdef") == std::string::npos;
}
