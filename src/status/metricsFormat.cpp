#include "status/metricsFormat.h"

#include "status/statusFormat.h"
#include "tunnel/cTunnel.h"

#include <locale>
#include <sstream>

namespace {

// Families and samples written in order; a family's samples follow its
// # HELP and # TYPE lines, as the format requires.
class cExposition {
public:
    cExposition()
    {
        // Numbers without the digit grouping a global locale could add.
        mOut.imbue(std::locale::classic());
    }

    void family(const char* name, const char* type, const char* help)
    {
        mOut << "# HELP " << name << ' ' << help << '\n';
        mOut << "# TYPE " << name << ' ' << type << '\n';
    }

    // labels: "" or the pairs made by label(), joined with commas.
    void sample(const char* name, const std::string& labels, unsigned long long value)
    {
        mOut << name;
        if (!labels.empty()) {
            mOut << '{' << labels << '}';
        }
        mOut << ' ' << value << '\n';
    }

    std::string text() const { return mOut.str(); }

private:
    std::ostringstream mOut;
};

// name="value" with the value's backslashes, quotes and newlines escaped.
std::string label(const char* name, const std::string& value)
{
    std::string pair = std::string(name) + "=\"";
    for (char c : value) {
        if (c == '\\') {
            pair += "\\\\";
        } else if (c == '"') {
            pair += "\\\"";
        } else if (c == '\n') {
            pair += "\\n";
        } else {
            pair += c;
        }
    }
    return pair + '"';
}

// A broker counts its table; a client has its one tunnel, or none yet.
unsigned tunnelsInState(const sStatusSnapshot& snapshot, int state)
{
    if (snapshot.broker) {
        return snapshot.tunnelsByState[state];
    }
    return !snapshot.tunnels.empty() && snapshot.tunnels[0].state == state ? 1 : 0;
}

void writeDaemon(cExposition& out, const sStatusSnapshot& snapshot)
{
    out.family("quibd_build_info", "gauge", "The daemon's version and mode (always 1).");
    out.sample("quibd_build_info",
               label("version", snapshot.version) + ","
                   + label("mode", snapshot.broker ? "broker" : "client"),
               1);
    out.family("quibd_uptime_seconds", "gauge", "Seconds since the daemon started.");
    out.sample("quibd_uptime_seconds", "", snapshot.uptime > 0 ? snapshot.uptime : 0);
}

void writeTraffic(cExposition& out, const sCounterValues& counters)
{
    out.family("quibd_datagrams_received_total", "counter", "UDP datagrams received.");
    out.sample("quibd_datagrams_received_total", "", counters.datagramsIn);
    out.family("quibd_frames_received_total", "counter", "Frames read from the TUN device.");
    out.sample("quibd_frames_received_total", "", counters.framesIn);
    // Every reason, even at zero, so a rate over it exists from the start.
    out.family("quibd_dropped_total", "counter", "Datagrams and frames dropped, by reason.");
    for (int reason = 0; reason < DROP_REASON_COUNT; ++reason) {
        out.sample("quibd_dropped_total",
                   label("reason", dropReasonName(static_cast<eDropReason>(reason))),
                   counters.dropped[reason]);
    }
}

void writeTunnels(cExposition& out, const sStatusSnapshot& snapshot)
{
    out.family("quibd_evictions_total", "counter", "Tunnels evicted to make room.");
    out.sample("quibd_evictions_total", "", snapshot.counters.evictions);
    out.family("quibd_stale_removals_total", "counter", "Tunnels removed as stale.");
    out.sample("quibd_stale_removals_total", "", snapshot.counters.staleRemovals);
    out.family("quibd_tunnels", "gauge", "Tunnels by state.");
    for (int state : {TUNNEL_NEW, TUNNEL_OFFERED, TUNNEL_ESTABLISHED}) {
        out.sample("quibd_tunnels", label("state", tunnelStateName(state)),
                   tunnelsInState(snapshot, state));
    }
}

// Broker only: the pool's delegations and the ICMPv6 errors for addresses
// nobody holds (all zero without a pool or with the errors turned off).
void writeRoutedPrefixes(cExposition& out, const sCounterValues& counters)
{
    uint64_t held = counters.delegationsHeld;
    uint64_t total = counters.delegationsTotal;
    out.family("quibd_routed_prefixes", "gauge", "Routed prefixes of the pool, held or free.");
    out.sample("quibd_routed_prefixes", label("state", "held"), held);
    out.sample("quibd_routed_prefixes", label("state", "free"), total > held ? total - held : 0);
    out.family("quibd_unreachable_errors_total", "counter",
               "ICMPv6 address unreachable errors: sent, or suppressed by the rate limit.");
    out.sample("quibd_unreachable_errors_total", label("result", "sent"), counters.unreachableSent);
    out.sample("quibd_unreachable_errors_total", label("result", "suppressed"),
               counters.unreachableSuppressed);
}

// Client only: the routed prefix its tunnel was given, when it was.
void writeClientRoutedPrefix(cExposition& out, const sStatusSnapshot& snapshot)
{
    if (snapshot.tunnels.empty() || snapshot.tunnels[0].routedPrefix.empty()) {
        return;
    }
    out.family("quibd_routed_prefix_info", "gauge", "The routed prefix the broker gave (always 1).");
    out.sample("quibd_routed_prefix_info", label("prefix", snapshot.tunnels[0].routedPrefix), 1);
}

// Client only: a broker's sum over the tunnels it holds now would fall
// whenever one goes, which a counter must never do.
void writeClientTunnel(cExposition& out, const sStatusSnapshot& snapshot)
{
    unsigned long long packetsIn = 0, packetsOut = 0, bytesIn = 0, bytesOut = 0;
    for (const sTunnelRow& row : snapshot.tunnels) {
        packetsIn += row.packetsIn;
        packetsOut += row.packetsOut;
        bytesIn += row.bytesIn;
        bytesOut += row.bytesOut;
    }
    out.family("quibd_setups_total", "counter", "Setup exchanges begun.");
    out.sample("quibd_setups_total", "", snapshot.counters.setups);
    out.family("quibd_tunnel_packets_total", "counter",
               "Packets through the tunnel: in from the broker, out to it.");
    out.sample("quibd_tunnel_packets_total", label("direction", "in"), packetsIn);
    out.sample("quibd_tunnel_packets_total", label("direction", "out"), packetsOut);
    out.family("quibd_tunnel_bytes_total", "counter",
               "Bytes through the tunnel: in from the broker, out to it.");
    out.sample("quibd_tunnel_bytes_total", label("direction", "in"), bytesIn);
    out.sample("quibd_tunnel_bytes_total", label("direction", "out"), bytesOut);
}

} // namespace

std::string metricsText(const sStatusSnapshot& snapshot)
{
    cExposition out;
    writeDaemon(out, snapshot);
    writeTraffic(out, snapshot.counters);
    writeTunnels(out, snapshot);
    if (snapshot.broker) {
        writeRoutedPrefixes(out, snapshot.counters);
    } else {
        writeClientTunnel(out, snapshot);
        writeClientRoutedPrefix(out, snapshot);
    }
    return out.text();
}
