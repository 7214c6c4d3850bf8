// The broker's secret for tunnel keys, kept in a file of its own.
#pragma once

#include "tunnel/tunnelKey.h"

#include <ostream>
#include <string>

// Reads the secret from path, creating the file (and its directory, mode
// 0700, when that is missing) on first start: random
// bytes from the kernel, written to a temporary file of mode 0600 that is
// then renamed into place. False, after one error line on err, when the
// file cannot be created, cannot be read, has the wrong size or can be read
// by group or others. The secret itself is never written to err.
bool loadBrokerSecret(const std::string& path, unsigned char secret[kBrokerSecretLen],
                      std::ostream& err);
