// Replacing a small state file so that a crash at any point leaves either
// the old content or the new one, never an empty file: a temporary file
// beside it, fsync, rename over it, fsync of the directory.
#pragma once

#include <sys/types.h>

#include <string>

// 0, or the errno of the step that failed (nothing is left behind then).
int replaceFile(const std::string& path, const std::string& content, mode_t mode);
