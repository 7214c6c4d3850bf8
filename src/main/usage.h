// Texts of "quibd --help" and "quibd --version", the only first arguments
// that are not a configuration path.
#pragma once

#include <ostream>
#include <string>

// The command line, every configuration key with its default, the state file
// and the exit statuses.
std::string usageText();

// "quibd " followed by the version and a newline.
std::string versionText();

// When arg is exactly "--help" or "--version", writes its text to out and
// returns true; any other argument (null included) writes nothing.
bool writeInfoOption(const char* arg, std::ostream& out);
