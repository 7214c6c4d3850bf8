#include "main/usage.h"

#include <cstring>

#ifndef QUIBD_VERSION
#error "QUIBD_VERSION must be defined by the build"
#endif

namespace {

const char kUsage[] =
    "Usage: quibd [config-path [mode]]\n"
    "       quibd --help | --version\n"
    "\n"
    "Carries IPv6 packets between hosts inside UDP datagrams over IPv4.\n"
    "\n"
    "  config-path  configuration file (default /etc/quib/quibd.conf)\n"
    "  mode         \"client\" selects client mode, any other text broker mode;\n"
    "               without it the mode comes from quib.mode\n"
    "\n"
    "Configuration keys, one \"key = value\" per line (a line that starts with \"#\"\n"
    "is a comment):\n"
    "  key                       default  meaning\n"
    "  quib.mode                 client   client, or any other text for broker mode\n"
    "  quib.broker.port          3653     broker UDP port (bound by the broker)\n"
    "  quib.broker.address       (none)   client: broker host name or IPv4 address\n"
    "  quib.broker.ip6prefix     (none)   broker: IPv6 prefix handed out (required)\n"
    "  quib.broker.ip6prefixlen  64       broker: length of that prefix\n"
    "  quib.broker.maxtunnels    4096     broker: most tunnels held at once\n"
    "  quib.broker.setuprate     20       broker: offers per second to one source\n"
    "                                     address, after a burst of 5 (0: no limit)\n"
    "  quib.client.keepalive     30       seconds; client: gives up after that long\n"
    "                                     without a word from the broker; broker:\n"
    "                                     the lowest keepalive it grants\n"
    "  quib.route.default        0        non-zero: IPv6 default route through the\n"
    "                                     TUN device\n"
    "  quib.tun.mtu              1400     MTU of the TUN device, 1280 to 1500\n"
    "  log4cpp.*                 (none)   log4cpp property settings; without them\n"
    "                                     records of INFO and above go to standard\n"
    "                                     error\n"
    "\n"
    "State file:\n"
    "  /var/lib/quibd/tunid      client: tunnel identifier kept across runs (the\n"
    "                            directory must exist and be writable)\n"
    "\n"
    "Exit status: 255 when start-up fails, 0 when a client gives up on a silent\n"
    "broker; a broker runs until it is stopped.\n"
    "See quibd(8) and quibd.conf(5).\n";

} // namespace

std::string usageText()
{
    return kUsage;
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
