#pragma once

// Helpers shared by the tests of the settings, the command line and the usage text.

#include <sstream>
#include <string>
#include <vector>

#include "settings.h"

// Every field as one text (the parsed grammar by its rule count), so a case
// compares the whole record and an option that writes a wrong field (or a
// second one) shows up as a difference.
inline std::string describe(const whisper_params & p) {
    std::ostringstream out;
    out << "n_threads=" << p.n_threads << " n_processors=" << p.n_processors << " offset_t_ms=" << p.offset_t_ms
        << " offset_n=" << p.offset_n << " duration_ms=" << p.duration_ms << " progress_step=" << p.progress_step
        << " max_context=" << p.max_context << " max_len=" << p.max_len << " best_of=" << p.best_of
        << " beam_size=" << p.beam_size << " audio_ctx=" << p.audio_ctx << "\n"
        << "word_thold=" << p.word_thold << " entropy_thold=" << p.entropy_thold
        << " logprob_thold=" << p.logprob_thold << " no_speech_thold=" << p.no_speech_thold
        << " grammar_penalty=" << p.grammar_penalty << " temperature=" << p.temperature
        << " temperature_inc=" << p.temperature_inc << "\n"
        << "debug_mode=" << p.debug_mode << " translate=" << p.translate << " detect_language=" << p.detect_language
        << " diarize=" << p.diarize << " tinydiarize=" << p.tinydiarize << " split_on_word=" << p.split_on_word
        << " no_fallback=" << p.no_fallback << " output_txt=" << p.output_txt << " output_vtt=" << p.output_vtt
        << " output_srt=" << p.output_srt << " output_wts=" << p.output_wts << " output_csv=" << p.output_csv
        << " output_json=" << p.output_json << " output_json_full=" << p.output_json_full
        << " output_lrc=" << p.output_lrc << " no_prints=" << p.no_prints << " print_special=" << p.print_special
        << " print_colors=" << p.print_colors << " print_progress=" << p.print_progress
        << " no_timestamps=" << p.no_timestamps << " log_score=" << p.log_score << " use_gpu=" << p.use_gpu
        << " flash_attn=" << p.flash_attn << " suppress_nst=" << p.suppress_nst << " stereo=" << p.stereo << "\n"
        << "language=[" << p.language << "] prompt=[" << p.prompt << "] font_path=[" << p.font_path << "] model=["
        << p.model << "] grammar=[" << p.grammar << "] grammar_rule=[" << p.grammar_rule
        << "] speaker_turn_marker=[" << p.speaker_turn_marker << "] suppress_regex=[" << p.suppress_regex
        << "] ov_e_device=[" << p.ov_e_device << "] dtw=[" << p.dtw << "]\n";
    out << "input_names=";
    for (const std::string & name : p.input_names) {
        out << "[" << name << "]";
    }
    out << " output_names=";
    for (const std::string & name : p.output_names) {
        out << "[" << name << "]";
    }
    // Nothing while the prompt is not tokenised, braces once it is.
    out << " grammar_rules=" << p.parsed_grammar.rules.size() << " prompt_tokens=";
    if (p.prompt_tokens) {
        out << "{";
        for (const whisper_token token : *p.prompt_tokens) {
            out << "[" << token << "]";
        }
        out << "}";
    }
    out << "\n";
    return out.str();
}

inline std::vector<std::string> command(std::vector<std::string> args) {
    args.insert(args.begin(), "lanternwick-quill");
    return args;
}
