// Where the status socket lives, and what "status" and "status json" show.
#include "tempFile.h"

#include "config/cConfig.h"
#include "status/controlPath.h"
#include "status/statusFormat.h"
#include "tunnel/cTunnel.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace {

std::string pathFor(const cTempDir& dir, const std::string& name, const std::string& text)
{
    std::string config = dir.write(name, text);
    EXPECT_TRUE(cConfig::load(config.c_str()));
    return controlSocketPath(config.c_str());
}

sTunnelRow tunnelRow(uint32_t id, const std::string& endpoint)
{
    sTunnelRow row;
    row.id = id;
    row.endpoint = endpoint;
    row.address = "2001:db8:1::896d:572b";
    row.state = TUNNEL_ESTABLISHED;
    row.completed = true;
    row.keepalive = 30;
    row.packetsIn = 10;
    row.bytesIn = 1040;
    return row;
}

sStatusSnapshot brokerSnapshot()
{
    sStatusSnapshot snapshot;
    snapshot.version = "0.1.0";
    snapshot.uptime = 3725;
    snapshot.prefix = "2001:db8:1::/64";
    snapshot.tunnelsByState[TUNNEL_ESTABLISHED] = 2;
    snapshot.counters.dropped[DROP_NO_TUNNEL] = 3;
    snapshot.tunnels = {tunnelRow(0x896d572b, "198.51.100.7:40001"),
                        tunnelRow(0x1, "\"odd\\\x01")};
    snapshot.tunnels[0].routedPrefix = "2001:db8:100:2a::/64";
    return snapshot;
}

} // namespace

TEST(ControlPath, NamedAfterTheConfigurationFileUnlessTheKeySaysOtherwise)
{
    cTempDir dir;
    EXPECT_EQ("/run/quibd/broker.sock", pathFor(dir, "broker.conf", "quib.mode = broker\n"));
    EXPECT_EQ("/run/quibd/foo.sock", pathFor(dir, "foo", ""));
    EXPECT_EQ("/tmp/q.sock", pathFor(dir, "a.conf", "quib.control.socket = /tmp/q.sock\n"));
    EXPECT_EQ("", pathFor(dir, "a.conf", "quib.control.socket =\n"));
    EXPECT_EQ(dir.path() + "/q.sock", pathFor(dir, "a.conf", "quib.control.socket = q.sock\n"));
}

TEST(StatusText, ShowsUptimeCountersAndAlignedTunnelColumns)
{
    std::string text = statusText(brokerSnapshot());
    EXPECT_NE(std::string::npos, text.find("uptime:    1h 02m 05s\n"));
    EXPECT_NE(std::string::npos, text.find("tunnels:   2 established, 0 offered, 0 new\n"));
    EXPECT_NE(std::string::npos, text.find(", 3 no_tunnel, "));
    EXPECT_NE(std::string::npos, text.find(", 0 offer_held, 0 link_local\n"));
    std::string::size_type table = text.find("ID ");
    ASSERT_NE(std::string::npos, table);
    std::istringstream lines(text.substr(table));
    std::string header, first, second;
    std::getline(lines, header);
    std::getline(lines, first);
    std::getline(lines, second);
    EXPECT_EQ(0u, first.find("0x896d572b  198.51.100.7:40001  2001:db8:1::896d:572b  established"));
    EXPECT_EQ(header.find("ROUTED-PREFIX"), first.find("2001:db8:100:2a::/64"));
    for (const char* column : {"ENDPOINT", "ADDRESS", "STATE", "ROUTED-PREFIX", "BYTES-OUT"}) {
        std::size_t at = header.find(column);
        for (const std::string& row : {first, second})
            EXPECT_TRUE(row.size() > at && row[at - 1] == ' ' && row[at] != ' ') << column << " in " << row;
    }
    EXPECT_EQ(std::string::npos, second.find('\x01'));
}

TEST(StatusJson, IsOneDocumentWithEscapedTextForBothModes)
{
    nlohmann::json broker = nlohmann::json::parse(statusJson(brokerSnapshot()));
    EXPECT_EQ("broker", broker["mode"]);
    EXPECT_EQ(3725, broker["uptime_seconds"]);
    EXPECT_EQ(3, broker["counters"]["dropped"]["no_tunnel"]);
    EXPECT_EQ(2, broker["tunnels_by_state"]["established"]);
    ASSERT_EQ(2u, broker["tunnels"].size());
    EXPECT_EQ("0x896d572b", broker["tunnels"][0]["id"]);
    EXPECT_EQ("established", broker["tunnels"][0]["state"]);
    EXPECT_EQ(true, broker["tunnels"][0]["completed"]);
    EXPECT_EQ("2001:db8:100:2a::/64", broker["tunnels"][0]["routed_prefix"]);
    EXPECT_EQ("", broker["tunnels"][1]["routed_prefix"]);
    EXPECT_EQ("\"odd\\\x01", broker["tunnels"][1]["endpoint"]);

    sStatusSnapshot client;
    client.broker = false;
    client.brokerEndpoint = "192.0.2.1:3653";
    nlohmann::json waiting = nlohmann::json::parse(statusJson(client));
    EXPECT_EQ("192.0.2.1:3653", waiting["broker"]);
    // A client shows only the reasons it counts.
    EXPECT_EQ((nlohmann::json{{"no_tunnel", 0}, {"bad_frame", 0}}), waiting["counters"]["dropped"]);
    EXPECT_NE(std::string::npos, statusText(client).find("dropped:   0 no_tunnel, 0 bad_frame\n"));
    EXPECT_TRUE(waiting["tunnel"].is_null());
    client.tunnels.push_back(tunnelRow(0x896d572b, "192.0.2.1:3653"));
    EXPECT_EQ(1040, nlohmann::json::parse(statusJson(client))["tunnel"]["bytes_in"]);
    client.tunnels[0].routedPrefix = "2001:db8:100:2a::/64";
    EXPECT_NE(std::string::npos, statusText(client).find("routed:    2001:db8:100:2a::/64\n"));
    EXPECT_EQ("2001:db8:100:2a::/64",
              nlohmann::json::parse(statusJson(client))["tunnel"]["routed_prefix"]);
}
