// The status socket's answers to "status" (a text for people) and
// "status json" (one JSON document for programs), built from a snapshot.
#pragma once

#include "status/statusSnapshot.h"

#include <string>

// Both end with a newline.
std::string statusText(const sStatusSnapshot& snapshot);
std::string statusJson(const sStatusSnapshot& snapshot);

// "new", "offered" or "established"; "unknown" for any other value.
const char* tunnelStateName(int state);
