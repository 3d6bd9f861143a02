#pragma once

#include <atomic>

// Set by the SIGINT handler, and by the caller of the capture thread when the
// processing thread cannot start, so that capture ends; read by the capture
// thread. Never reset, so a later input name also sees the stop.
extern std::atomic<bool> stop_requested;

// The SIGINT handler: raises `stop_requested` and writes the notice with one
// write(2), since it may interrupt a thread that holds the stderr lock.
void handle_signal(int signal_number);
