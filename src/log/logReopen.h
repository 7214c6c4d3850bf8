// SIGHUP reopens the log files, so that a rotated file is let go and a new
// one is written at the configured path. The signal is taken synchronously
// through a descriptor the run loop watches, never by a handler.
#pragma once

// Blocks SIGHUP in the calling thread and returns a non-blocking descriptor
// that becomes readable when one is pending; -1 after an error line. Call it
// before any other thread starts, so that every thread inherits the mask.
int openHangupDescriptor();

// Takes the pending SIGHUPs from fd and reopens every log appender, then
// says so in an INFO record of cBroker.
void serveHangup(int fd);
