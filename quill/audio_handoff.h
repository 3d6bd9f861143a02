#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <vector>

// The hand-off from the capture thread to the processing thread. main owns
// the one instance for the whole process and lends it to every pair of
// threads; it is never reset between input names, so a later pair sees that
// input has already ended. It must outlive both threads: main returns only
// after joining them, and the two ends while capture may still be using it,
// a failed transcription (status 10) and a failed write to standard output
// (status 11), end the process without running any destructor.
struct audio_handoff {
    std::vector<float> shared_audio_buffer;  // guarded by audio_mutex
    std::mutex audio_mutex;
    std::condition_variable audio_cv;        // only the processing thread waits on it
    bool audio_input_done = false;           // guarded by audio_mutex; set once, never cleared
    // Set once a read of standard input failed (not merely ended); never
    // cleared. What was read before the failure is still transcribed; main
    // reads it after the last pair to choose the exit status.
    std::atomic<bool> audio_input_failed{false};
};

// Capture's side: appends `samples` (also when empty) and wakes the
// processing thread, which then at least looks again.
void push_audio(audio_handoff & handoff, const std::vector<float> & samples);

// Capture's side, once when it ends for whatever reason.
void end_audio_input(audio_handoff & handoff);

// Processing's side: waits until samples are waiting or input has ended,
// then moves every waiting sample into `taken` and returns whether input had
// ended, both under one lock: a cycle that sees the end has taken every
// sample that capture delivered.
bool take_audio(audio_handoff & handoff, std::vector<float> & taken);
