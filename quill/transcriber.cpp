#include "transcriber.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <thread>

#include "audio_handoff.h"
#include "chunker.h"
#include "common_whisper.h"
#include "exit_status.h"
#include "printer.h"
#include "result_writers.h"
#include "sample_rate.h"

static_assert(k_sample_rate == WHISPER_SAMPLE_RATE, "the library must take the samples as they arrive");

namespace {

// The pause after each cycle lets audio gather, so that a cycle takes the
// captured samples in larger batches rather than scanning the open chunk's
// windows again for every read; it also spaces the transcriptions of the
// open chunk by at least this much.
constexpr auto k_cycle_pause = std::chrono::milliseconds(50);
constexpr const char * k_thread_name = "whisper_processing_thread";

// Nothing ever raises these; they let the library ask before each encoder
// run and each computation.
bool encoder_refused = false;
bool transcription_aborted = false;

void print_transcription_header(const whisper_params & params, const std::string & input_name, size_t n_samples) {
    fprintf(stderr, "\n");
    fprintf(stderr, "system_info: n_threads = %d / %d | %s\n", params.n_threads * params.n_processors,
            static_cast<int>(std::thread::hardware_concurrency()), whisper_print_system_info());
    fprintf(stderr, "\n");
    fputs(format_processing_line(params, input_name, n_samples).c_str(), stderr);
    fprintf(stderr, "\n");
}

// The capture thread may still be using the shared hand-off, so the process
// ends without running any destructor; the segment lines bypass stdio's
// buffer, so only standard error may still hold text.
[[noreturn]] void end_process(quill_exit status) {
    fflush(stderr);
    std::_Exit(exit_code(status));
}

[[noreturn]] void fail_transcription() {
    fputs("failed to process audio\n", stderr);
    end_process(quill_exit::transcription_failed);
}

// The library starts its own threads and allocates as it goes; either may throw
// through it, which is a failed transcription like any other.
bool run_library(whisper_context * ctx, const whisper_full_params & full_params, std::vector<float> & buffer,
                 int n_processors) {
    try {
        return whisper_full_parallel(ctx, full_params, buffer.data(), static_cast<int>(buffer.size()),
                                     n_processors) == 0;
    } catch (const std::exception & failure) {
        fprintf(stderr, "%s: %s\n", k_thread_name, failure.what());
        return false;
    }
}

// Returns the errno of a failed write to standard output, 0 when every line went out.
int transcribe_pending(whisper_context * ctx, whisper_params & params, const std::string & input_name,
                       const chunker_state & state, bool cut, const std::vector<std::vector<float>> & channel_audio,
                       std::vector<float> & buffer) {
    buffer.assign(state.pending_audio.begin(), state.pending_audio.end());

    if (rewrite_language(params, whisper_is_multilingual(ctx) != 0)) {
        fprintf(stderr, "%s: WARNING: model is not multilingual, ignoring language and translation options\n",
                k_thread_name);
    }
    if (!params.no_prints) {
        print_transcription_header(params, input_name, buffer.size());
    }

    whisper_full_params full_params = build_full_params(params);
    std::vector<const whisper_grammar_element *> rule_pointers;
    if (grammar_in_use(params) && !apply_grammar(params, rule_pointers, full_params)) {
        fprintf(stderr, "%s: warning: grammar rule '%s' not found - skipping grammar sampling\n", k_thread_name,
                params.grammar_rule.c_str());
    }

    print_callback_data data;
    data.params = &params;
    data.channel_audio = &channel_audio;
    data.chunk_index = state.chunk_index;
    data.silence_cut = cut;
    data.final_chunk = false;
    data.progress_prev = 0;
    data.chunk_offset_samples = state.chunk_offset_samples;

    full_params.new_segment_callback = whisper_print_segment_callback;
    full_params.new_segment_callback_user_data = &data;
    if (params.print_progress) {
        full_params.progress_callback = whisper_print_progress_callback;
        full_params.progress_callback_user_data = &data;
    }
    full_params.encoder_begin_callback = encoder_begin_guard;
    full_params.encoder_begin_callback_user_data = &encoder_refused;
    full_params.abort_callback = abort_guard;
    full_params.abort_callback_user_data = &transcription_aborted;

    const library_window window =
        fit_window_to_audio(full_params.offset_ms, full_params.duration_ms, params.n_processors, buffer.size());
    full_params.duration_ms = window.duration_ms;
    // Given no samples, the library would answer from the audio it last
    // transcribed and report those segments again as if they were new.
    if (!buffer.empty() && !run_library(ctx, full_params, buffer, window.n_processors)) {
        fail_transcription();
    }
    return data.stdout_error;
}

} // namespace

library_window fit_window_to_audio(int offset_ms, int duration_ms, int n_processors, size_t n_samples) {
    const int64_t audio_ms = static_cast<int64_t>(n_samples) * 1000 / static_cast<int64_t>(k_sample_rate);
    library_window window;
    window.duration_ms = static_cast<int64_t>(offset_ms) + duration_ms > audio_ms ? 0 : duration_ms;
    window.n_processors = offset_ms >= audio_ms ? 1 : std::max(n_processors, 1);
    return window;
}

bool rewrite_language(whisper_params & params, bool multilingual) {
    bool warn = false;
    if (!multilingual && (params.language != "en" || params.translate)) {
        params.language = "en";
        params.translate = false;
        warn = true;
    }
    if (params.detect_language) {
        params.language = "auto";
    }
    return warn;
}

bool grammar_in_use(const whisper_params & params) {
    return !params.parsed_grammar.rules.empty() && !params.grammar_rule.empty();
}

whisper_full_params build_full_params(const whisper_params & params) {
    whisper_full_params p = whisper_full_default_params(WHISPER_SAMPLING_GREEDY);
    p.strategy = (params.beam_size > 1 || grammar_in_use(params)) ? WHISPER_SAMPLING_BEAM_SEARCH
                                                                  : WHISPER_SAMPLING_GREEDY;
    // The parser takes any number, but the library crashes below one thread.
    p.n_threads = std::max(params.n_threads, 1);
    if (params.max_context >= 0) {
        p.n_max_text_ctx = params.max_context;
    }
    p.offset_ms = params.offset_t_ms;
    p.duration_ms = params.duration_ms;
    p.translate = params.translate;
    p.no_timestamps = params.no_timestamps;
    p.print_special = params.print_special;
    p.print_progress = params.print_progress;
    p.print_realtime = false;
    p.print_timestamps = !params.no_timestamps;
    p.token_timestamps = params.output_wts || params.output_json_full || params.max_len > 0;
    p.thold_pt = params.word_thold;
    p.max_len = (params.output_wts && params.max_len == 0) ? 60 : params.max_len;
    p.split_on_word = params.split_on_word;
    p.debug_mode = params.debug_mode;
    p.audio_ctx = params.audio_ctx;
    p.tdrz_enable = params.tinydiarize;
    p.suppress_regex = params.suppress_regex.empty() ? nullptr : params.suppress_regex.c_str();
    // Given the text, the library would tokenise it again in every
    // transcription, so the tokens main made once go instead; when there
    // are none, nothing goes, as the library's own tokenising would give.
    // A prompt that nobody tokenised goes as text, so that such a caller
    // still has its prompt.
    if (!params.prompt_tokens) {
        p.initial_prompt = params.prompt.c_str();
    } else {
        p.initial_prompt = nullptr;
        p.prompt_tokens = params.prompt_tokens->empty() ? nullptr : params.prompt_tokens->data();
        p.prompt_n_tokens = static_cast<int>(params.prompt_tokens->size());
    }
    p.language = params.language.c_str();
    p.detect_language = params.detect_language;
    p.suppress_nst = params.suppress_nst;
    p.temperature = params.temperature;
    p.temperature_inc = params.no_fallback ? 0.0f : params.temperature_inc;
    p.entropy_thold = params.entropy_thold;
    p.logprob_thold = params.logprob_thold;
    p.no_speech_thold = params.no_speech_thold;
    p.greedy.best_of = params.best_of;
    p.beam_search.beam_size = params.beam_size;
    return p;
}

bool apply_grammar(const whisper_params & params, std::vector<const whisper_grammar_element *> & rule_pointers,
                   whisper_full_params & full_params) {
    const grammar_parser::parse_state & grammar = params.parsed_grammar;
    const auto start = grammar.symbol_ids.find(params.grammar_rule);
    if (start == grammar.symbol_ids.end()) {
        return false;
    }
    rule_pointers = grammar.c_rules();
    full_params.grammar_rules = rule_pointers.data();
    full_params.n_grammar_rules = rule_pointers.size();
    full_params.i_start_rule = start->second;
    full_params.grammar_penalty = params.grammar_penalty;
    return true;
}

std::string format_processing_line(const whisper_params & params, const std::string & input_name, size_t n_samples) {
    const int n = static_cast<int>(n_samples);
    const float seconds = static_cast<float>(n) / static_cast<float>(k_sample_rate);
    const char * format = "%s: processing '%s' (%d samples, %.1f sec), %d threads, %d processors, "
                          "%d beams + best of %d, lang = %s, task = %s, %stimestamps = %d ...\n";
    const auto print = [&](char * out, size_t size) {
        return snprintf(out, size, format, k_thread_name, input_name.c_str(), n, seconds, params.n_threads,
                        params.n_processors, params.beam_size, params.best_of, params.language.c_str(),
                        params.translate ? "translate" : "transcribe", params.tinydiarize ? "tdrz = 1, " : "",
                        params.no_timestamps ? 0 : 1);
    };
    std::string line(static_cast<size_t>(print(nullptr, 0)), '\0');
    print(line.data(), line.size() + 1);
    return line;
}

std::string estimate_diarization_speaker(std::vector<std::vector<float>> pcmf32s, int64_t t0, int64_t t1,
                                         bool id_only) {
    const int32_t n_samples = static_cast<int32_t>(pcmf32s[0].size());
    const int32_t is0 = timestamp_to_sample(t0, n_samples, static_cast<int>(k_sample_rate));
    const int32_t is1 = timestamp_to_sample(t1, n_samples, static_cast<int>(k_sample_rate));
    double energy0 = 0.0;
    double energy1 = 0.0;
    for (int32_t j = is0; j < is1; ++j) {
        energy0 += std::fabs(static_cast<double>(pcmf32s[0][j]));
        energy1 += std::fabs(static_cast<double>(pcmf32s[1][j]));
    }
    std::string speaker = "?";
    if (energy0 > 1.1 * energy1) {
        speaker = "0";
    } else if (energy1 > 1.1 * energy0) {
        speaker = "1";
    }
    return id_only ? speaker : "(speaker " + speaker + ")";
}

bool encoder_begin_guard(whisper_context *, whisper_state *, void * user_data) {
    return !*static_cast<const bool *>(user_data);
}

bool abort_guard(void * user_data) {
    return *static_cast<const bool *>(user_data);
}

void whisper_processing_thread(whisper_context * ctx, audio_handoff & handoff, whisper_params & params,
                               const std::string & input_name, const std::string & output_name) {
    chunker_state state;
    const std::vector<std::vector<float>> channel_audio;  // nothing here fills two channels
    std::vector<float> buffer;
    for (;;) {
        std::vector<float> taken;
        const bool input_ended = take_audio(handoff, taken);
        const cycle_plan plan = plan_cycle(state, taken, input_ended);
        if (plan.transcribe) {
            const int stdout_error =
                transcribe_pending(ctx, params, input_name, state, plan.cut, channel_audio, buffer);
            // Without samples the library was not called and still holds an
            // earlier transcription: the writers are told there were none, so
            // the files show the empty transcription this one was.
            write_result_files(ctx, params, input_name, output_name, buffer.size());
            // Nobody reads what the next transcriptions would print; the
            // result files of this one are written, and the failure shows in
            // the status.
            if (stdout_error != 0) {
                end_process(quill_exit::stdout_failed);
            }
        }
        if (!finish_cycle(state, plan, input_ended)) {
            return;
        }
        std::this_thread::sleep_for(k_cycle_pause);
    }
}
