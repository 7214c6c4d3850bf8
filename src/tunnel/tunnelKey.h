// Tunnel keys: only the broker and the owner of an identifier know its key,
// so only the owner can take the identifier's address from another endpoint.
#pragma once

#include <string>

constexpr int kBrokerSecretLen = 32;
// A key is a keyed hash of 16 bytes, written as 32 lowercase hex digits.
constexpr int kTunnelKeyTextLen = 32;

// Makes the broker's secret the one keys are derived from (before the
// workers start). Until then no key is valid.
void setTunnelKeySecret(const unsigned char secret[kBrokerSecretLen]);
bool tunnelKeysEnabled();

// The key of identifier id: depends only on id and the secret, so it
// survives NAT changes and broker restarts. Empty while keys are disabled.
std::string tunnelKeyFor(unsigned id);

// "quib.broker.requirekey": an identifier is taken only with its key.
void setTunnelKeysRequired(bool required);
bool tunnelKeysRequired();

// True when text is the key of id (compared in constant time).
bool tunnelKeyValid(unsigned id, const char* text);

// True when text has a key's form, whoever's key it is.
bool tunnelKeyTextUsable(const std::string& text);
