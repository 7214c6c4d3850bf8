// The daemon's figures in the Prometheus text exposition format 0.0.4.
// Only daemon-wide series: their number never grows with the tunnels.
#pragma once

#include "status/statusSnapshot.h"

#include <string>

// The content type a scrape of metricsText() is served with.
inline constexpr char gMetricsContentType[] = "text/plain; version=0.0.4; charset=utf-8";

// Every family with its # HELP and # TYPE lines; counters end in _total.
// A client adds its setups and its tunnel's packets and bytes.
std::string metricsText(const sStatusSnapshot& snapshot);
