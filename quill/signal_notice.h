#pragma once

#include <atomic>

// Set by the SIGINT handler and read by the capture thread; never reset, so a
// later input name also sees that the user asked to stop.
extern std::atomic<bool> stop_requested;

// The SIGINT handler: raises `stop_requested` and writes the notice with one
// write(2), since it may interrupt a thread that holds the stderr lock.
void handle_signal(int signal_number);
