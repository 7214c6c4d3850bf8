// The broker's part of the status view: the table's figures copied under
// the table's lock, and formatted after it is released.
#pragma once

#include <string>

struct sStatusSnapshot;

// Tunnels by state and one row per tunnel in the table's order (newest
// first). now: nanoseconds of CLOCK_MONOTONIC.
void fillBrokerStatus(sStatusSnapshot& status, long long now);

// One line for the service manager: "312 tunnels established", counted
// under the table's lock.
std::string brokerSummaryNow();
