// Puts the process-wide tunnel table and shared values back as the process
// starts with them: every tunnel destroyed, prefix all zero of length 64,
// keepalive 0.
#pragma once

void resetTunnelTable();
