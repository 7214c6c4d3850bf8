#include "main/usage.h"

#include "config/configKeys.h"

#include <cstddef>
#include <cstring>

#ifndef QUIBD_VERSION
#error "QUIBD_VERSION must be defined by the build"
#endif

namespace {

const char kUsageHead[] =
    "Usage: quibd [config-path [mode]]\n"
    "       quibd --status [--json] [config-path]\n"
    "       quibd --metrics [config-path]\n"
    "       quibd --help | --version\n"
    "\n"
    "Carries IPv6 packets between hosts inside UDP datagrams over IPv4.\n"
    "\n"
    "  config-path  configuration file (default /etc/quib/quibd.conf)\n"
    "  mode         \"client\" selects client mode, any other text broker mode;\n"
    "               without it the mode comes from quib.mode\n"
    "  --status     ask the daemon that runs with config-path how it is doing;\n"
    "               --json: as one JSON document\n"
    "  --metrics    the same daemon's metrics in the Prometheus text format\n"
    "\n"
    "Configuration keys, one \"key = value\" per line (a line that starts with \"#\"\n"
    "is a comment):\n"
    "  key                       default  meaning\n";

// The rows of the configuration keys (configKeys.h) come between these two.
const char kUsageTail[] =
    "  log4cpp.*                 (none)   log4cpp property settings; without them\n"
    "                                     records of INFO and above go to standard\n"
    "                                     error\n"
    "\n"
    "State files:\n"
    "  /var/lib/quibd/tunid      client: tunnel identifier kept across runs (the\n"
    "                            directory must exist and be writable)\n"
    "  /var/lib/quibd/tunkey     client: the identifier's tunnel key (mode 0600)\n"
    "  /var/lib/quibd/routedprefix\n"
    "                            client: the routed prefix it was given\n"
    "  /var/lib/quibd/broker.key broker: secret of the tunnel keys (mode 0600)\n"
    "  /var/lib/quibd/delegations\n"
    "                            broker: the routed prefixes held\n"
    "\n"
    "Exit status: 255 when start-up fails, 0 when a client gives up on a silent\n"
    "broker; a broker runs until it is stopped.\n"
    "See quibd(8) and quibd.conf(5).\n";

// Widths of the key and default columns, two blanks of indent included in
// the first.
const std::size_t kKeyColumn = 28;
const std::size_t kDefaultColumn = 9;

// At least one blank follows the text, even where it overflows its column.
std::string padded(const std::string& text, std::size_t width)
{
    return text + std::string(text.size() < width ? width - text.size() : 1, ' ');
}

// One key's row; every "\n" of its help starts a line under the meaning column.
std::string keyRow(const tConfigKey& key)
{
    std::string row = padded("  " + std::string(key.name), kKeyColumn)
        + padded(key.defaultText != nullptr ? key.defaultText : "(none)", kDefaultColumn);
    for (const char* c = key.help; *c != '\0'; ++c) {
        row += *c;
        if (*c == '\n')
            row += std::string(kKeyColumn + kDefaultColumn, ' ');
    }
    return row + "\n";
}

} // namespace

std::string usageText()
{
    std::string text = kUsageHead;
    for (int i = 0; i < configKeyCount(); ++i)
        text += keyRow(configKeys()[i]);
    return text + kUsageTail;
}

std::string versionText()
{
    return std::string("quibd ") + QUIBD_VERSION + "\n";
}

bool writeInfoOption(const char* arg, std::ostream& out)
{
    if (arg == nullptr)
        return false;
    if (std::strcmp(arg, "--help") == 0) {
        out << usageText() << std::flush;
        return true;
    }
    if (std::strcmp(arg, "--version") == 0) {
        out << versionText() << std::flush;
        return true;
    }
    return false;
}
