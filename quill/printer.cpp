#include "printer.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "common.h"
#include "error_text.h"
#include "full_write.h"
#include "json_escape.h"
#include "sample_rate.h"
#include "whisper.h"

const char * const k_silence_line = "{\"info\": \"\xF0\x9F\xA4\x90 Silence detected\"}\n";
const char * const k_final_line = "{\"info\": \"\xF0\x9F\x92\x8B Final\"}\n";

namespace {

constexpr const char * k_color_reset = "\033[0m";

// Times are only read when they are printed: without them the object keeps
// the chunk's base as both start and end.
bool prints_times(const whisper_params & params) {
    return !params.no_timestamps || params.diarize;
}

std::string colored_tokens(const whisper_params & params, const printed_segment & segment) {
    std::string out;
    for (const printed_token & token : segment.tokens) {
        if (token.special && !params.print_special) {
            continue;
        }
        out += k_colors[color_index(token.p)];
        out += escape_control_bytes(token.text);
        out += k_color_reset;
    }
    return out;
}

std::vector<printed_segment> read_new_segments(whisper_context * ctx, const whisper_params & params, int n,
                                               int n_new) {
    std::vector<printed_segment> segments;
    const whisper_token eot = whisper_token_eot(ctx);
    for (int i = n - n_new; i < n; ++i) {
        printed_segment segment;
        if (prints_times(params)) {
            segment.t0 = whisper_full_get_segment_t0(ctx, i);
            segment.t1 = whisper_full_get_segment_t1(ctx, i);
        }
        segment.text = whisper_full_get_segment_text(ctx, i);
        if (params.print_colors) {
            const int n_tokens = whisper_full_n_tokens(ctx, i);
            for (int j = 0; j < n_tokens; ++j) {
                printed_token token;
                token.special = whisper_full_get_token_id(ctx, i, j) >= eot;
                if (!token.special || params.print_special) {
                    token.text = whisper_full_get_token_text(ctx, i, j);
                    token.p = whisper_full_get_token_p(ctx, i, j);
                }
                segment.tokens.push_back(std::move(token));
            }
        }
        segment.speaker_turn_next = params.tinydiarize && whisper_full_get_segment_speaker_turn_next(ctx, i);
        segments.push_back(std::move(segment));
    }
    return segments;
}

// A lost line would go unnoticed by the reader, so the first failure is
// reported and the rest of this transcription's output is dropped: a full
// device fails every later line too. A closed reader ends the process with
// SIGPIPE as a rule, but a parent that ignores SIGPIPE passes that on through
// exec, and then the write fails here with EPIPE like any other failure.
// Each text goes to the descriptor at once, without stdio: a descriptor that
// was handed over non-blocking refuses a write while the reader lags, and
// after such a refusal a stdio stream no longer tells what was written.
void write_and_flush(const std::string & text, print_callback_data & data) {
    if (data.stdout_error != 0) {
        return;
    }
    data.stdout_error = full_write(STDOUT_FILENO, text.data(), text.size());
    if (data.stdout_error != 0) {
        fprintf(stderr, "failed to write to standard output: %s\n", error_text(data.stdout_error).c_str());
    }
}

} // namespace

uint64_t chunk_base_ms(uint64_t chunk_offset_samples) {
    return chunk_offset_samples * 1000 / k_sample_rate;
}

int color_index(float p) {
    const double cubed = std::pow(static_cast<double>(p), 3);
    const int index = static_cast<int>(cubed * 7.0);
    return std::clamp(index, 0, 6);
}

std::string format_segment_object(int32_t chunk_index, int segment_index, int64_t start_ms, int64_t end_ms,
                                  const std::string & speaker, const std::string & escaped_text) {
    return "{ \"transcription\": { \"segment\": \"" + std::to_string(chunk_index + 1) + "." +
           std::to_string(segment_index + 1) + "\", \"start\": \"" + std::to_string(start_ms) +
           "\", \"end\": \"" + std::to_string(end_ms) + "\", \"speaker\": \"" + speaker + "\", \"text\": \"" +
           escaped_text + "\" } }";
}

std::vector<std::string> format_segment_batch(const print_callback_data & data, int n, int n_new,
                                              const std::vector<printed_segment> & new_segments) {
    const whisper_params & params = *data.params;
    std::vector<std::string> writes;
    if (n_new == n) {
        writes.emplace_back("\n");
    }
    const int64_t base = static_cast<int64_t>(chunk_base_ms(data.chunk_offset_samples));
    for (size_t k = 0; k < new_segments.size(); ++k) {
        const printed_segment & segment = new_segments[k];
        const int index = n - n_new + static_cast<int>(k);
        std::string line;
        if (params.print_colors) {
            line += colored_tokens(params, segment);
        }
        if (params.tinydiarize && segment.speaker_turn_next) {
            line += params.speaker_turn_marker;
        }
        const int64_t t0 = prints_times(params) ? segment.t0 : 0;
        const int64_t t1 = prints_times(params) ? segment.t1 : 0;
        // The speaker text is empty: nothing ever fills two channels.
        line += format_segment_object(data.chunk_index, index, base + t0 * 10, base + t1 * 10, "",
                                       json_escape(segment.text));
        if (prints_times(params)) {
            line += "\n";
        }
        writes.push_back(std::move(line));
    }
    if (data.silence_cut) {
        writes.emplace_back(k_silence_line);
    }
    if (data.final_chunk) {
        writes.emplace_back(k_final_line);
    }
    return writes;
}

bool advance_progress(int32_t & progress_prev, int progress, int step) {
    const int32_t mark = progress_prev + step;
    if (progress < mark) {
        return false;
    }
    progress_prev = mark;
    return true;
}

// The library's own count of new segments is not used: with DTW timestamps
// it passes a segment index instead, and every segment would go unprinted.
void whisper_print_segment_callback(whisper_context * ctx, whisper_state *, int, void * user_data) {
    print_callback_data & data = *static_cast<print_callback_data *>(user_data);
    const int n = whisper_full_n_segments(ctx);
    const int n_new = std::max(n - data.segments_printed, 0);
    const std::vector<printed_segment> segments = read_new_segments(ctx, *data.params, n, n_new);
    data.segments_printed += n_new;
    for (const std::string & text : format_segment_batch(data, n, n_new, segments)) {
        write_and_flush(text, data);
    }
}

void whisper_print_progress_callback(whisper_context *, whisper_state *, int progress, void * user_data) {
    print_callback_data & data = *static_cast<print_callback_data *>(user_data);
    if (advance_progress(data.progress_prev, progress, data.params->progress_step)) {
        fprintf(stderr, "%s: progress = %3d%%\n", "whisper_print_progress_callback", progress);
    }
}
