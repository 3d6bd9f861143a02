#pragma once

// lanternwick-quill as the tests and the stream benchmark drive it: started
// with options, fed audio at a chosen pace while what it prints is read, and
// finished.

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "process.h"

// A model the test suite generates ("fixed.bin", "tiny.bin", ...).
std::string test_model(const std::string & name);

struct quill_session {
    child_process child;
    std::string out;  // what standard output held so far
    std::string err;  // what standard error held so far
    // For a caller that measures: called by pump after each read of the
    // output, and by feed after each write with the bytes written so far.
    std::function<void()> after_read;
    std::function<void(size_t)> after_write;
};

// Starts the program with `options`, the arguments after its name.
quill_session start_quill(const std::vector<std::string> & options, const std::string & cwd = "");
quill_session start_quill_with(const std::vector<std::string> & options, const std_descriptor (&descriptors)[3],
                               const std::string & cwd = "", child_sigpipe sigpipe = child_sigpipe::default_action);

// Reads what the program prints until `until`, or until both its output
// pipes have closed, so that it never blocks on a full pipe while the caller
// writes. With `enough`, returns as soon as that holds: true then, false
// when the time or the output ran out first.
bool pump(quill_session & s, std::chrono::steady_clock::time_point until,
          const std::function<bool()> & enough = nullptr);

enum class pace { real_time, odd_bursts, one_write };

// Writes like the desktop application: 100 ms at a time on the clock, or
// faster than real time in writes whose sizes split samples and frames
// anywhere, each left time enough to be read on its own rather than merged
// in the pipe; or everything in one write. Pumps between writes. False when
// a write failed (the rest is then not written).
bool feed(quill_session & s, const std::string & bytes, pace how, size_t bytes_per_second);

// Closes standard input and collects the rest until the program ends (killed
// when it has not within `limit`): all it printed, from the start.
process_result finish_quill(quill_session & s, std::chrono::milliseconds limit);

// start_quill, `input` written as fast as the program takes it while what it
// prints is read, and finish_quill, within `limit` in all.
process_result run_quill(const std::vector<std::string> & options, const std::string & input = "",
                         const std::string & cwd = "", std::chrono::milliseconds limit = std::chrono::seconds(60));
