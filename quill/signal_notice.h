#pragma once

#include <atomic>

// Set by the SIGINT handler, and by the caller of the capture thread when the
// processing thread cannot start, so that capture ends; read by the capture
// thread. Never reset, so a later input name also sees the stop.
extern std::atomic<bool> stop_requested;

// Raised by the capture thread before it first looks at `stop_requested`,
// and so before the first read of audio; never reset.
extern std::atomic<bool> capture_started;

// The SIGINT handler: raises `stop_requested` and writes the notice with one
// write(2), since it may interrupt a thread that holds the stderr lock. Before
// capture has started it then ends the program with status 0: start-up may
// be waiting where no flag is looked at (the library reading a model from a
// FIFO nobody writes), and nothing has been read or written that ending
// there could lose.
void handle_signal(int signal_number);
