#include "status/statusFormat.h"

#include "log/logText.h"
#include "tunnel/cTunnel.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <vector>

namespace {

using tJson = nlohmann::ordered_json;

// "1h 02m 05s"; days appear once there are any, hours and minutes only when
// a larger unit or they themselves are non-zero.
std::string durationText(long long seconds)
{
    if (seconds < 0)
        seconds = 0;
    long long days = seconds / 86400;
    long long hours = seconds / 3600 % 24;
    long long minutes = seconds / 60 % 60;
    long long rest = seconds % 60;
    char text[64];
    if (days > 0)
        std::snprintf(text, sizeof(text), "%lldd %02lldh %02lldm %02llds", days, hours, minutes, rest);
    else if (hours > 0)
        std::snprintf(text, sizeof(text), "%lldh %02lldm %02llds", hours, minutes, rest);
    else if (minutes > 0)
        std::snprintf(text, sizeof(text), "%lldm %02llds", minutes, rest);
    else
        std::snprintf(text, sizeof(text), "%llds", rest);
    return text;
}

std::string idText(uint32_t id)
{
    return "0x" + hexText(id);
}

// Endpoints and addresses are the daemon's own text; shown safely anyway.
std::string orDash(const std::string& text)
{
    return text.empty() ? "-" : printableText(text.data(), text.size());
}

// "label:" padded so that every value starts in one column.
void addLine(std::string& out, const std::string& label, const std::string& value)
{
    const std::size_t kValueColumn = 11;
    std::string head = label + ":";
    head.resize(std::max(kValueColumn, head.size() + 1), ' ');
    out += head + value + "\n";
}

void addCounterLines(std::string& out, const sCounterValues& counters, bool broker)
{
    addLine(out, "received", std::to_string(counters.datagramsIn) + " datagrams, "
                                 + std::to_string(counters.framesIn) + " frames");
    std::string dropped;
    for (int reason = 0; reason < DROP_REASON_COUNT; ++reason) {
        if (!dropReasonCounted(static_cast<eDropReason>(reason), broker))
            continue;
        if (!dropped.empty())
            dropped += ", ";
        dropped += std::to_string(counters.dropped[reason]) + " "
            + dropReasonName(static_cast<eDropReason>(reason));
    }
    addLine(out, "dropped", dropped);
}

std::vector<std::string> tableRow(const sTunnelRow& row)
{
    return {idText(row.id),
            orDash(row.endpoint),
            orDash(row.address),
            tunnelStateName(row.state),
            row.completed ? "done" : "-",
            row.keyProtected ? "yes" : "no",
            orDash(row.routedPrefix),
            std::to_string(row.keepalive) + "s",
            std::to_string(row.heardAgo) + "s",
            std::to_string(row.packetsIn),
            std::to_string(row.bytesIn),
            std::to_string(row.packetsOut),
            std::to_string(row.bytesOut)};
}

// Left-aligned columns two blanks apart, each as wide as its widest cell.
void addTable(std::string& out, const std::vector<std::vector<std::string>>& rows)
{
    std::vector<std::size_t> widths(rows.front().size(), 0);
    for (const auto& row : rows)
        for (std::size_t column = 0; column < row.size(); ++column)
            widths[column] = std::max(widths[column], row[column].size());
    for (const auto& row : rows) {
        std::string line;
        for (std::size_t column = 0; column < row.size(); ++column) {
            line += row[column];
            if (column + 1 < row.size())
                line.append(widths[column] - row[column].size() + 2, ' ');
        }
        out += line + "\n";
    }
}

void addBrokerText(std::string& out, const sStatusSnapshot& snapshot)
{
    addLine(out, "prefix", orDash(snapshot.prefix));
    addLine(out, "tunnels", std::to_string(snapshot.tunnelsByState[TUNNEL_ESTABLISHED]) + " established, "
                                + std::to_string(snapshot.tunnelsByState[TUNNEL_OFFERED]) + " offered, "
                                + std::to_string(snapshot.tunnelsByState[TUNNEL_NEW]) + " new");
    addCounterLines(out, snapshot.counters, true);
    addLine(out, "removed", std::to_string(snapshot.counters.evictions) + " evicted, "
                                + std::to_string(snapshot.counters.staleRemovals) + " stale");
    if (snapshot.tunnels.empty())
        return;
    std::vector<std::vector<std::string>> rows = {
        {"ID", "ENDPOINT", "ADDRESS", "STATE", "SETUP", "KEY", "ROUTED-PREFIX", "KEEPALIVE",
         "HEARD", "PKTS-IN", "BYTES-IN", "PKTS-OUT", "BYTES-OUT"}};
    for (const sTunnelRow& tunnel : snapshot.tunnels)
        rows.push_back(tableRow(tunnel));
    out += "\n";
    addTable(out, rows);
}

void addClientText(std::string& out, const sStatusSnapshot& snapshot)
{
    addLine(out, "broker", orDash(snapshot.brokerEndpoint));
    if (snapshot.tunnels.empty()) {
        addLine(out, "tunnel", "none yet");
    } else {
        const sTunnelRow& own = snapshot.tunnels.front();
        addLine(out, "tunnel", idText(own.id));
        addLine(out, "address", orDash(own.address));
        addLine(out, "routed", orDash(own.routedPrefix));
        addLine(out, "state", tunnelStateName(own.state));
        addLine(out, "keepalive", std::to_string(own.keepalive) + "s");
        addLine(out, "heard", own.heardAgo < 0 ? "never" : std::to_string(own.heardAgo) + "s ago");
        addLine(out, "in", std::to_string(own.packetsIn) + " packets, " + std::to_string(own.bytesIn) + " bytes");
        addLine(out, "out", std::to_string(own.packetsOut) + " packets, " + std::to_string(own.bytesOut) + " bytes");
    }
    addLine(out, "setups", std::to_string(snapshot.counters.setups));
    addCounterLines(out, snapshot.counters, false);
}

tJson rowJson(const sTunnelRow& row)
{
    tJson json;
    json["id"] = idText(row.id);
    json["endpoint"] = row.endpoint;
    json["address"] = row.address;
    json["routed_prefix"] = row.routedPrefix;
    json["state"] = tunnelStateName(row.state);
    json["completed"] = row.completed;
    json["key_protected"] = row.keyProtected;
    json["keepalive_seconds"] = row.keepalive;
    json["created_seconds_ago"] = row.createdAgo;
    json["heard_seconds_ago"] = row.heardAgo;
    json["packets_in"] = row.packetsIn;
    json["bytes_in"] = row.bytesIn;
    json["packets_out"] = row.packetsOut;
    json["bytes_out"] = row.bytesOut;
    return json;
}

tJson countersJson(const sCounterValues& counters, bool broker)
{
    tJson dropped = tJson::object();
    for (int reason = 0; reason < DROP_REASON_COUNT; ++reason)
        if (dropReasonCounted(static_cast<eDropReason>(reason), broker))
            dropped[dropReasonName(static_cast<eDropReason>(reason))] = counters.dropped[reason];
    tJson json;
    json["datagrams_in"] = counters.datagramsIn;
    json["frames_in"] = counters.framesIn;
    json["dropped"] = dropped;
    json["evictions"] = counters.evictions;
    json["stale_removals"] = counters.staleRemovals;
    json["setups"] = counters.setups;
    return json;
}

} // namespace

const char* tunnelStateName(int state)
{
    switch (state) {
    case TUNNEL_NEW:
        return "new";
    case TUNNEL_OFFERED:
        return "offered";
    case TUNNEL_ESTABLISHED:
        return "established";
    default:
        return "unknown";
    }
}

std::string statusText(const sStatusSnapshot& snapshot)
{
    std::string out;
    addLine(out, "mode", snapshot.broker ? "broker" : "client");
    addLine(out, "version", snapshot.version);
    addLine(out, "uptime", durationText(snapshot.uptime));
    if (snapshot.broker)
        addBrokerText(out, snapshot);
    else
        addClientText(out, snapshot);
    return out;
}

std::string statusJson(const sStatusSnapshot& snapshot)
{
    tJson json;
    json["mode"] = snapshot.broker ? "broker" : "client";
    json["version"] = snapshot.version;
    json["uptime_seconds"] = snapshot.uptime;
    json["counters"] = countersJson(snapshot.counters, snapshot.broker);
    if (snapshot.broker) {
        json["prefix"] = snapshot.prefix;
        json["tunnels_by_state"] = {{"new", snapshot.tunnelsByState[TUNNEL_NEW]},
                                    {"offered", snapshot.tunnelsByState[TUNNEL_OFFERED]},
                                    {"established", snapshot.tunnelsByState[TUNNEL_ESTABLISHED]}};
        tJson rows = tJson::array();
        for (const sTunnelRow& tunnel : snapshot.tunnels)
            rows.push_back(rowJson(tunnel));
        json["tunnels"] = rows;
    } else {
        json["broker"] = snapshot.brokerEndpoint;
        json["tunnel"] = snapshot.tunnels.empty() ? tJson(nullptr) : rowJson(snapshot.tunnels.front());
    }
    // Text that is not UTF-8 is shown with replacement characters rather
    // than making the whole answer fail.
    return json.dump(2, ' ', false, tJson::error_handler_t::replace) + "\n";
}
