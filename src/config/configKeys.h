// The daemon's configuration keys: name, default, accepted range and the
// line --help shows. Settings, --help, the man page and the example file
// all follow this one table.
#pragma once

#include <climits>
#include <ostream>

struct tConfigKey {
    const char* name;
    // Default as --help shows it; null for a text key without one.
    const char* defaultText;
    // Integer keys: the default and the values a run accepts. Text keys: 0.
    bool isInteger;
    int defaultValue;
    int min;
    int max;
    // How an error line names the accepted values ("1 or more"); null when
    // every value is accepted.
    const char* rangeText;
    // The meaning column of --help; "\n" starts a continuation line.
    const char* help;
};

// Every quib. key, in the order --help lists them.
const tConfigKey* configKeys();
int configKeyCount();

// The entry of a key of the table; a name outside it is a programming error
// and aborts.
const tConfigKey& configKey(const char* name);

// cConfig::getInt of an integer key with the table's default.
int configInt(const char* name);
// cConfig::getString of a text key with the table's default (may be null).
const char* configText(const char* name);
// Either of the two on a key of the other kind aborts, as configKey does on
// a name outside the table.

// True when value lies in the key's range; otherwise writes
// "<key> must be <range>, not <value>. Bailing out" as one line to err.
bool configValueUsable(const tConfigKey& key, int value, std::ostream& err);
