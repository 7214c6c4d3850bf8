// Reading frames from the TUN device in a drain after select.
#pragma once

#include <sys/types.h>

#include "packet/frame.h"

#include <cstddef>

// One frame into buffer (capacity bytes: kFrameBufferSize, or a whole
// super-segment's room on a device with offload). The first read after
// select may block; later ones of the same wake-up must not, yet the
// descriptor stays blocking, so they ask for a read that fails at once when
// no frame is waiting. Returns the count, negative when nothing was read.
ssize_t readTunFrame(int tunFd, char* buffer, bool first, std::size_t capacity = kFrameBufferSize);
