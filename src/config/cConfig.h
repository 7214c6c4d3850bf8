// Process-wide configuration read from one "key = value" file.
#pragma once

#include <map>
#include <string>

// Syntax: one "key = value" per line; blanks around "=" and at both ends of
// a line are trimmed; empty lines and lines whose first non-blank character
// is "#" are ignored; a later line with the same key replaces the earlier.
class cConfig {
public:
    // Replaces the loaded keys with the file's. False when the file cannot be
    // read or a line has no "=" (one line on standard error says which);
    // the keys loaded before stay as they were then.
    static bool load(const char* path);

    // The key's value as a decimal int (optional sign). The default when the
    // key is absent, or, with one line on standard error, when the value is
    // not a whole number or does not fit an int.
    static int getInt(const char* key, int defaultValue);

    // The key's text, or defaultValue (which may be null). The text stays
    // valid for the life of the process, even across later loads.
    static const char* getString(const char* key, const char* defaultValue);

    // Quietly reads the keys of path that begin with prefix into keys.
    // False when the file cannot be read or does not parse.
    static bool readKeysWithPrefix(const char* path, const std::string& prefix,
                                   std::map<std::string, std::string>& keys);

    // Parses text as a configuration file; on a malformed line returns false
    // and sets errorLine and error. Exposed for the loaders above and tests.
    static bool parse(const std::string& text, std::map<std::string, std::string>& keys,
                      int& errorLine, std::string& error);
};
