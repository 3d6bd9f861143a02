#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "grammar_parser.h"
#include "whisper.h"

// Every setting of the transcriber. Built once by main from the defaults and
// the command line, then lent by reference to the processing thread, which
// rewrites `language` and `translate` before each transcription.
struct whisper_params {
    int32_t n_threads;
    int32_t n_processors = 1;
    int32_t offset_t_ms = 0;
    int32_t offset_n = 0;
    int32_t duration_ms = 0;
    int32_t progress_step = 5;
    int32_t max_context = -1;
    int32_t max_len = 0;
    int32_t best_of;
    int32_t beam_size;
    int32_t audio_ctx = 0;

    float word_thold = 0.01f;
    float entropy_thold = 2.40f;
    float logprob_thold = -1.00f;
    float no_speech_thold = 0.60f;
    float grammar_penalty = 100.0f;
    float temperature = 0.0f;
    float temperature_inc = 0.2f;

    bool debug_mode = false;
    bool translate = false;
    bool detect_language = false;
    bool diarize = false;
    bool tinydiarize = false;
    bool split_on_word = false;
    bool no_fallback = false;
    bool output_txt = false;
    bool output_vtt = false;
    bool output_srt = false;
    bool output_wts = false;
    bool output_csv = false;
    bool output_json = false;
    bool output_json_full = false;
    bool output_lrc = false;
    bool no_prints = false;
    bool print_special = false;
    bool print_colors = false;
    bool print_progress = false;
    bool no_timestamps = false;
    bool log_score = false;
    bool use_gpu = true;
    bool flash_attn = false;
    bool suppress_nst = false;
    bool stereo = false;

    std::string language = "en";
    std::string prompt;
    std::string font_path = "/System/Library/Fonts/Supplemental/Courier New Bold.ttf";
    std::string model = "models/ggml-base.en.bin";
    std::string grammar;
    std::string grammar_rule;
    std::string speaker_turn_marker = " [SPEAKER_TURN]";
    std::string suppress_regex;
    std::string ov_e_device = "CPU";
    std::string dtw;

    std::vector<std::string> input_names;
    std::vector<std::string> output_names;

    grammar_parser::parse_state parsed_grammar;

    // `prompt` in the model's tokens, made once by main before the first
    // transcription (prompt_tokens.h): unset while nobody has tokenised it,
    // empty when the model has no piece of it.
    std::optional<std::vector<whisper_token>> prompt_tokens;

    // Asks the platform for its thread count and the library for its decoding
    // defaults, so those follow the machine and the library in use.
    whisper_params();
};

// The number of hardware threads the platform reports, or 4 when it cannot
// tell: the default thread count and the bounds of "-t" and "-p" follow it.
int32_t hardware_threads();

// The base name of the result files of input `index`: its output name when
// one is given at that position and not empty, else the input name itself.
std::string output_name_for(const whisper_params & params, size_t index);
