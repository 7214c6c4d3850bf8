// Where the daemon serves its status socket and where `quibd --status` looks.
#pragma once

#include <string>

// The configuration file the daemon and the status command read when the
// command line names none.
constexpr const char* kDefaultConfigPath = "/etc/quib/quibd.conf";

// The status socket of the daemon run with configPath; call after
// cConfig::load. "quib.control.socket" when set ("" when set empty: no
// socket), else /run/quibd/NAME.sock for a configuration file NAME.conf
// (or NAME), so that daemons of different files never share a socket.
std::string controlSocketPath(const char* configPath);
