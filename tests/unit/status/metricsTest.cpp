#include "status/cMetricsHttp.h"
#include "status/metricsFormat.h"
#include "tunnel/cTunnel.h"

#include "testSocket.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <map>
#include <vector>
#include <sstream>

namespace {

// Samples by "name{labels}"; a sample before its family's # HELP and
// # TYPE, or a counter without _total, is a failure.
std::map<std::string, std::string> parseExposition(const std::string& text)
{
    std::map<std::string, std::string> samples, typeOf;
    std::istringstream lines(text);
    std::string line, helped;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::string first, keyword, family, type;
        words >> first;
        if (first == "#") {
            words >> keyword >> family >> type;
            if (keyword == "HELP")
                helped = family;
            else if (family == helped)
                typeOf[family] = type;
            continue;
        }
        std::string name = first.substr(0, first.find('{'));
        EXPECT_TRUE(typeOf.count(name)) << "no HELP and TYPE before " << line;
        bool total = name.size() > 6 && name.compare(name.size() - 6, 6, "_total") == 0;
        EXPECT_TRUE(typeOf[name] != "counter" || total) << name;
        size_t space = line.rfind(' ');
        samples[line.substr(0, space)] = line.substr(space + 1);
    }
    return samples;
}

// A connection to port whose reads give up after waitSeconds; -1 when
// connect fails.
int connectTo(uint16_t port, time_t waitSeconds)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    timeval wait{waitSeconds, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    sockaddr_in to = endpoint("127.0.0.1", port);
    if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// The whole answer to a request written on a fresh connection to port,
// as much of it as came within waitSeconds.
std::string fetch(uint16_t port, const std::string& request, time_t waitSeconds = 5)
{
    int fd = connectTo(port, waitSeconds);
    std::string answer;
    if (fd >= 0
        && send(fd, request.data(), request.size(), MSG_NOSIGNAL) == ssize_t(request.size())) {
        char buffer[4096];
        for (ssize_t got; (got = recv(fd, buffer, sizeof buffer, 0)) > 0;) {
            answer.append(buffer, got);
        }
    }
    close(fd);
    return answer;
}

sStatusSnapshot clientSnapshot()
{
    sStatusSnapshot snapshot;
    snapshot.broker = false;
    snapshot.version = "0.1\"x\\y\n";
    snapshot.uptime = 42;
    snapshot.counters.dropped[DROP_TABLE_FULL] = 7;
    snapshot.counters.setups = 3;
    sTunnelRow row;
    row.state = TUNNEL_ESTABLISHED;
    row.bytesOut = 1500;
    snapshot.tunnels.push_back(row);
    return snapshot;
}

} // namespace

TEST(MetricsText, aClientShowsItsOneTunnelAndEscapesLabels)
{
    auto samples = parseExposition(metricsText(clientSnapshot()));
    EXPECT_EQ(samples["quibd_build_info{version=\"0.1\\\"x\\\\y\\n\",mode=\"client\"}"], "1");
    EXPECT_EQ(samples["quibd_dropped_total{reason=\"table_full\"}"], "7");
    EXPECT_EQ(samples["quibd_dropped_total{reason=\"offer_held\"}"], "0");
    EXPECT_EQ(samples["quibd_tunnels{state=\"established\"}"], "1");
    EXPECT_EQ(samples["quibd_setups_total"], "3");
    EXPECT_EQ(samples["quibd_tunnel_bytes_total{direction=\"out\"}"], "1500");
    EXPECT_EQ(samples["quibd_uptime_seconds"], "42");
    EXPECT_EQ(samples.count("quibd_routed_prefixes{state=\"held\"}"), 0u);
    sStatusSnapshot routed = clientSnapshot();
    routed.tunnels[0].routedPrefix = "2001:db8:100:2a::/64";
    samples = parseExposition(metricsText(routed));
    EXPECT_EQ(samples["quibd_routed_prefix_info{prefix=\"2001:db8:100:2a::/64\"}"], "1");
}

TEST(MetricsText, aBrokerCountsItsTableWithoutPerTunnelSeries)
{
    sStatusSnapshot snapshot = clientSnapshot();
    snapshot.broker = true;
    snapshot.tunnelsByState[TUNNEL_OFFERED] = 4;
    snapshot.counters.delegationsHeld = 3;
    snapshot.counters.delegationsTotal = 256;
    snapshot.counters.unreachableSent = 10;
    snapshot.counters.unreachableSuppressed = 90;
    auto samples = parseExposition(metricsText(snapshot));
    EXPECT_EQ(samples["quibd_routed_prefixes{state=\"held\"}"], "3");
    EXPECT_EQ(samples["quibd_routed_prefixes{state=\"free\"}"], "253");
    EXPECT_EQ(samples["quibd_unreachable_errors_total{result=\"sent\"}"], "10");
    EXPECT_EQ(samples["quibd_unreachable_errors_total{result=\"suppressed\"}"], "90");
    EXPECT_EQ(samples["quibd_tunnels{state=\"offered\"}"], "4");
    EXPECT_EQ(samples["quibd_tunnels{state=\"established\"}"], "0");
    EXPECT_EQ(samples.count("quibd_setups_total"), 0u);
    EXPECT_EQ(samples.count("quibd_tunnel_bytes_total{direction=\"out\"}"), 0u);
}

TEST(MetricsHttp, aScrapeGetsTheSourceTextAndOtherRequestsAreTurnedAway)
{
    cMetricsHttp server;
    std::ostringstream err;
    ASSERT_TRUE(server.start("127.0.0.1:0", [] { return std::string("quibd_up 1\n"); }, err));
    ASSERT_NE(server.port(), 0);

    std::string answer = fetch(server.port(), "GET /metrics HTTP/1.0\r\n\r\n");
    EXPECT_EQ(answer.rfind("HTTP/1.1 200", 0), 0u) << answer;
    EXPECT_NE(answer.find("Content-Type: text/plain; version=0.0.4; charset=utf-8\r\n"),
              std::string::npos) << answer;
    EXPECT_EQ(answer.substr(answer.find("\r\n\r\n") + 4), "quibd_up 1\n");
    EXPECT_EQ(fetch(server.port(), "GET / HTTP/1.0\r\n\r\n").rfind("HTTP/1.1 404", 0), 0u);
    EXPECT_EQ(fetch(server.port(), "POST /metrics HTTP/1.0\r\n\r\n").rfind("HTTP/1.1 405", 0), 0u);

    cMetricsHttp second;
    EXPECT_FALSE(second.start("127.0.0.1:" + std::to_string(server.port()), [] { return ""; }, err));
    EXPECT_EQ(err.str().rfind("quib.metrics.listen: cannot serve on 127.0.0.1:", 0), 0u) << err.str();
}

TEST(MetricsHttp, aMalformedListenValueIsRefusedWithOneLine)
{
    for (const char* value : {"127.0.0.1", "localhost:9653", "127.0.0.1:65536", "::1:80",
                              "[::1]:+80", "127.0.0.1:"}) {
        cMetricsHttp server;
        std::ostringstream err;
        EXPECT_FALSE(server.start(value, [] { return ""; }, err)) << value;
        EXPECT_EQ(err.str(), "quib.metrics.listen: \"" + std::string(value)
                  + "\" is not ADDRESS:PORT (a.b.c.d:PORT or [IPv6]:PORT, PORT 0 to 65535)\n");
    }
}

TEST(MetricsHttp, atTheLimitAScrapeClosesTheConnectionIdleLongestAndIsAnswered)
{
    cMetricsHttp server;
    std::ostringstream err;
    ASSERT_TRUE(server.start("127.0.0.1:0", [] { return std::string("quibd_up 1\n"); }, err));
    std::vector<int> idle;
    for (int i = 0; i < 8; ++i) {
        idle.push_back(connectTo(server.port(), 2));
    }
    std::string answer = fetch(server.port(), "GET /metrics HTTP/1.0\r\n\r\n", 2);
    EXPECT_EQ(answer.rfind("HTTP/1.1 200", 0), 0u) << answer;
    char byte;
    EXPECT_EQ(recv(idle[0], &byte, 1, 0), 0);
    for (int fd : idle) {
        EXPECT_TRUE(fd == idle[0] || recv(fd, &byte, 1, MSG_DONTWAIT) == -1);
        close(fd);
    }
}
