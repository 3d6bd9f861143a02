#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "sample_rate.h"

// Where the stream is cut into chunks: pure decisions over the samples, so
// that they can be followed cycle by cycle without a model.

constexpr size_t k_window_length = k_sample_rate / 3;  // 5,333: a third of a second
constexpr size_t k_first_window_start = k_sample_rate;
// Compared in single precision, like the window's RMS, so that a window whose
// RMS is 0.01f is not quiet.
constexpr float k_silence_threshold = 0.01f;

// Root mean square of `count` samples, 0 for none: the loudness that decides
// whether a window is silent.
float compute_rms(const float * samples, size_t count);
inline float compute_rms(const std::vector<float> & samples) {
    return compute_rms(samples.data(), samples.size());
}

struct chunker_state {
    std::vector<float> pending_audio;  // the open chunk, from its first sample
    std::vector<float> carry_audio;    // after the silent window of a cut: the next chunk's start
    bool window_scanned = false;       // a window was examined since start or the last cut
    int32_t chunk_index = 0;
    uint64_t chunk_offset_samples = 0;
};

struct cycle_plan {
    bool cut = false;         // this cycle closes the open chunk at a silent window
    bool transcribe = false;
};

// Appends the carry, then the samples taken from the capture thread, to the
// open chunk; empties `taken`.
void assemble_pending(chunker_state & state, std::vector<float> & taken);

// Looks for the first window that counts as silent; on a cut the open chunk
// ends with that window and the rest becomes the carry. Returns the cut flag.
bool cut_at_silent_window(chunker_state & state);

bool should_transcribe(const chunker_state & state, bool input_ended);

// Adds the taken samples to the open chunk, cuts it at the first silent
// window that counts and decides whether this cycle transcribes: after this,
// `pending_audio` holds what to transcribe.
cycle_plan plan_cycle(chunker_state & state, std::vector<float> & taken, bool input_ended);

// Closes the chunk after a cut. Returns false when the thread is to end.
bool finish_cycle(chunker_state & state, const cycle_plan & plan, bool input_ended);
