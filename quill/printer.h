#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "settings.h"

struct whisper_context;
struct whisper_state;

// User data of the segment and progress callbacks, rebuilt by the processing
// thread before every transcription.
struct print_callback_data {
    const whisper_params * params = nullptr;
    const std::vector<std::vector<float>> * channel_audio = nullptr;
    int32_t chunk_index = 0;
    bool silence_cut = false;
    bool final_chunk = false;
    int32_t progress_prev = 0;
    uint64_t chunk_offset_samples = 0;
    // Segments of this transcription already on standard output. With DTW
    // timestamps the library passes a segment index where the number of new
    // segments belongs, so the printer counts for itself.
    int32_t segments_printed = 0;
    // errno of the first write to standard output that failed; 0 while all is well.
    int stdout_error = 0;
};

// What the printer needs of one segment, read from the library during the call.
struct printed_token {
    std::string text;
    float p = 0.0f;
    bool special = false;
};

struct printed_segment {
    int64_t t0 = 0;
    int64_t t1 = 0;
    std::string text;
    bool speaker_turn_next = false;
    std::vector<printed_token> tokens;
};

extern const char * const k_silence_line;
extern const char * const k_final_line;

// Milliseconds from the start of the stream to a chunk's first sample.
uint64_t chunk_base_ms(uint64_t chunk_offset_samples);

// Index into k_colors for a token of probability p: red for the least confident.
int color_index(float p);

std::string format_segment_object(int32_t chunk_index, int segment_index, int64_t start_ms, int64_t end_ms,
                                  const std::string & speaker, const std::string & escaped_text);

// The texts one call of the segment callback writes, in order; each one is
// flushed as soon as it is written. `new_segments` are segments n - n_new .. n - 1.
std::vector<std::string> format_segment_batch(const print_callback_data & data, int n, int n_new,
                                              const std::vector<printed_segment> & new_segments);

// Raises `progress_prev` by one step when `progress` reached the next mark;
// true when a progress line is due.
bool advance_progress(int32_t & progress_prev, int progress, int step);

void whisper_print_segment_callback(whisper_context * ctx, whisper_state * state, int n_new, void * user_data);
void whisper_print_progress_callback(whisper_context * ctx, whisper_state * state, int progress, void * user_data);
