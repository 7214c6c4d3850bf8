#include "config/cConfig.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <iostream>
#include <mutex>
#include <sstream>

#include <sys/stat.h>

namespace {

// Values handed out by getString must outlive any reload, so every loaded
// text is kept in an append-only store that is never released.
struct tConfigStore {
    std::mutex lock;
    std::deque<std::string> texts;
    std::map<std::string, const std::string*> keys;
};

tConfigStore& store()
{
    static tConfigStore* instance = new tConfigStore;
    return *instance;
}

std::string trim(const std::string& s)
{
    const char* blanks = " \t\r\n\f\v";
    std::string::size_type first = s.find_first_not_of(blanks);
    if (first == std::string::npos)
        return std::string();
    std::string::size_type last = s.find_last_not_of(blanks);
    return s.substr(first, last - first + 1);
}

bool readFile(const char* path, std::string& text)
{
    struct stat info;
    if (path == nullptr || stat(path, &info) != 0 || S_ISDIR(info.st_mode))
        return false;
    std::ifstream in(path, std::ios::in | std::ios::binary);
    if (!in)
        return false;
    std::ostringstream content;
    content << in.rdbuf();
    if (in.bad())
        return false;
    text = content.str();
    return true;
}

} // namespace

// Reads and parses path; a malformed line is reported on standard error
// only when report is set.
static bool readAndParse(const char* path, std::map<std::string, std::string>& parsed, bool report)
{
    std::string text;
    if (!readFile(path, text))
        return false;
    int errorLine = 0;
    std::string error;
    if (!cConfig::parse(text, parsed, errorLine, error)) {
        if (report)
            std::cerr << path << ":" << errorLine << ": " << error << std::endl;
        return false;
    }
    return true;
}

bool cConfig::parse(const std::string& text, std::map<std::string, std::string>& keys,
                    int& errorLine, std::string& error)
{
    std::istringstream in(text);
    std::string raw;
    int lineNo = 0;
    while (std::getline(in, raw)) {
        ++lineNo;
        std::string line = trim(raw);
        if (line.empty() || line[0] == '#')
            continue;
        std::string::size_type eq = line.find('=');
        if (eq == std::string::npos) {
            errorLine = lineNo;
            error = "no '=' in \"" + line + "\"";
            return false;
        }
        std::string key = trim(line.substr(0, eq));
        if (key.empty()) {
            errorLine = lineNo;
            error = "no key before '='";
            return false;
        }
        keys[key] = trim(line.substr(eq + 1));
    }
    return true;
}

bool cConfig::load(const char* path)
{
    std::map<std::string, std::string> parsed;
    if (!readAndParse(path, parsed, true))
        return false;
    tConfigStore& s = store();
    std::lock_guard<std::mutex> hold(s.lock);
    s.keys.clear();
    for (const auto& kv : parsed) {
        s.texts.push_back(kv.second);
        s.keys[kv.first] = &s.texts.back();
    }
    return true;
}

int cConfig::getInt(const char* key, int defaultValue)
{
    const char* text = getString(key, nullptr);
    if (text == nullptr)
        return defaultValue;
    errno = 0;
    char* end = nullptr;
    long value = std::strtol(text, &end, 10);
    bool digits = end != text && std::strchr("+-0123456789", text[0]) != nullptr;
    if (!digits || *end != '\0') {
        std::cerr << "quibd: configuration key '" << key << "' has value '" << text
                  << "', which is not a whole number; using " << defaultValue << std::endl;
        return defaultValue;
    }
    if (errno == ERANGE || value < INT_MIN || value > INT_MAX) {
        std::cerr << "quibd: configuration key '" << key << "' has value '" << text
                  << "', which does not fit an int; using " << defaultValue << std::endl;
        return defaultValue;
    }
    return static_cast<int>(value);
}

const char* cConfig::getString(const char* key, const char* defaultValue)
{
    if (key == nullptr)
        return defaultValue;
    tConfigStore& s = store();
    std::lock_guard<std::mutex> hold(s.lock);
    auto it = s.keys.find(key);
    return it == s.keys.end() ? defaultValue : it->second->c_str();
}

bool cConfig::readKeysWithPrefix(const char* path, const std::string& prefix,
                                 std::map<std::string, std::string>& keys)
{
    std::map<std::string, std::string> parsed;
    if (!readAndParse(path, parsed, false))
        return false;
    for (const auto& kv : parsed)
        if (kv.first.compare(0, prefix.size(), prefix) == 0)
            keys[kv.first] = kv.second;
    return true;
}
