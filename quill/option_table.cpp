#include "option_table.h"

#include <cmath>

#include "prompt_tokens.h"

namespace {

constexpr flag_setting set_flag(bool whisper_params::* field) { return {field, true, nullptr}; }
constexpr flag_setting clear_flag(bool whisper_params::* field) { return {field, false, nullptr}; }

// A start above 1 leaves the library's list of fallback temperatures empty,
// and it reads past that list; "-inf" never reaches 1 and fills memory.
std::string temperature_refusal(double value) {
    return value >= 0.0 && value <= 1.0 ? "" : "is not between 0 and 1";
}

// The library counts from the start temperature up to 1 in these steps, one
// entry each; a tiny step stops growing the sum long before 1, so the list
// never ends. 0 means no fallback at all.
constexpr double k_min_temperature_increment = 0.001;

std::string increment_refusal(double value) {
    if (!std::isfinite(value)) {
        return "is not finite";
    }
    if (value < 0.0) {
        return "is negative";
    }
    if (value > 0.0 && value < k_min_temperature_increment) {
        return "is below 0.001 and not 0";
    }
    return "";
}

// The library reads before the start of its buffer for a negative offset or
// duration.
std::string negative_refusal(double value) { return value < 0.0 ? "is negative" : ""; }

// Every thread beyond the hardware's only shares it, so a few times its count
// is all that helps; far beyond it, starting the threads fails. Values below 1
// stay accepted: the transcriber gives the library at least one of each.
constexpr int32_t k_threads_per_hardware_thread = 4;

std::string thread_refusal(double value) {
    const int32_t hardware = hardware_threads();
    const int32_t bound = k_threads_per_hardware_thread * hardware;
    if (value <= bound) {
        return "";
    }
    return "is above " + std::to_string(bound) + ", " + std::to_string(k_threads_per_hardware_thread) +
           " times the " + std::to_string(hardware) + " hardware threads of this machine";
}

// Each processor holds a whole decoding state of its own (tens of megabytes
// and up) and its own threads, which pays only while each gets a hardware
// thread.
std::string processor_refusal(double value) {
    const int32_t bound = hardware_threads();
    if (value <= bound) {
        return "";
    }
    return "is above " + std::to_string(bound) + ", the hardware threads of this machine";
}

// The library keeps at most n_text_ctx/2 tokens of a prompt anyway.
const std::string k_prompt_help =
    "initial prompt (max " + std::to_string(k_max_prompt_bytes) + " bytes, n_text_ctx/2 tokens)";

using wp = whisper_params;

} // namespace

const std::vector<option_entry> k_options = {
    {"-h", "--help", help_request{},
     "-h,        --help", "show this help message and exit"},
    {"-t", "--threads", &wp::n_threads,
     "-t N,      --threads N", "number of threads to use during computation", thread_refusal},
    {"-p", "--processors", &wp::n_processors,
     "-p N,      --processors N", "number of processors to use during computation", processor_refusal},
    {"-ot", "--offset-t", &wp::offset_t_ms,
     "-ot N,     --offset-t N", "time offset in milliseconds", negative_refusal},
    {"-on", "--offset-n", &wp::offset_n,
     "-on N,     --offset-n N", "segment index offset"},
    {"-d", "--duration", &wp::duration_ms,
     "-d  N,     --duration N", "duration of audio to process in milliseconds", negative_refusal},
    {"-mc", "--max-context", &wp::max_context,
     "-mc N,     --max-context N", "maximum number of text context tokens to store"},
    {"-ml", "--max-len", &wp::max_len,
     "-ml N,     --max-len N", "maximum segment length in characters"},
    {"-sow", "--split-on-word", set_flag(&wp::split_on_word),
     "-sow,      --split-on-word", "split on word rather than on token"},
    {"-bo", "--best-of", &wp::best_of,
     "-bo N,     --best-of N", "number of best candidates to keep"},
    {"-bs", "--beam-size", &wp::beam_size,
     "-bs N,     --beam-size N", "beam size for beam search"},
    {"-ac", "--audio-ctx", &wp::audio_ctx,
     "-ac N,     --audio-ctx N", "audio context size (0 - all)"},
    {"-wt", "--word-thold", &wp::word_thold,
     "-wt N,     --word-thold N", "word timestamp probability threshold"},
    {"-et", "--entropy-thold", &wp::entropy_thold,
     "-et N,     --entropy-thold N", "entropy threshold for decoder fail"},
    {"-lpt", "--logprob-thold", &wp::logprob_thold,
     "-lpt N,    --logprob-thold N", "log probability threshold for decoder fail"},
    {"-nth", "--no-speech-thold", &wp::no_speech_thold,
     "-nth N,    --no-speech-thold N", "no speech threshold"},
    {"-tp", "--temperature", &wp::temperature,
     "-tp,       --temperature N", "The sampling temperature, between 0 and 1", temperature_refusal},
    {"-tpi", "--temperature-inc", &wp::temperature_inc,
     "-tpi,      --temperature-inc N", "The increment of temperature, between 0 and 1", increment_refusal},
    {"-debug", "--debug-mode", set_flag(&wp::debug_mode),
     "-debug,    --debug-mode", "enable debug mode (eg. dump log_mel)"},
    {"-tr", "--translate", set_flag(&wp::translate),
     "-tr,       --translate", "translate from source language to english"},
    {"-di", "--diarize", set_flag(&wp::diarize),
     "-di,       --diarize", "stereo audio diarization"},
    {"-tdrz", "--tinydiarize", set_flag(&wp::tinydiarize),
     "-tdrz,     --tinydiarize", "enable tinydiarize (requires a tdrz model)"},
    {"-nf", "--no-fallback", set_flag(&wp::no_fallback),
     "-nf,       --no-fallback", "do not use temperature fallback while decoding"},
    {"-otxt", "--output-txt", set_flag(&wp::output_txt),
     "-otxt,     --output-txt", "output result in a text file"},
    {"-ovtt", "--output-vtt", set_flag(&wp::output_vtt),
     "-ovtt,     --output-vtt", "output result in a vtt file"},
    {"-osrt", "--output-srt", set_flag(&wp::output_srt),
     "-osrt,     --output-srt", "output result in a srt file"},
    {"-olrc", "--output-lrc", set_flag(&wp::output_lrc),
     "-olrc,     --output-lrc", "output result in a lrc file"},
    {"-owts", "--output-words", set_flag(&wp::output_wts),
     "-owts,     --output-words", "output script for generating karaoke video"},
    {"-fp", "--font-path", &wp::font_path,
     "-fp,       --font-path", "path to a monospace font for karaoke video"},
    {"-ocsv", "--output-csv", set_flag(&wp::output_csv),
     "-ocsv,     --output-csv", "output result in a CSV file"},
    {"-oj", "--output-json", set_flag(&wp::output_json),
     "-oj,       --output-json", "output result in a JSON file"},
    {"-ojf", "--output-json-full", flag_setting{&wp::output_json_full, true, &wp::output_json},
     "-ojf,      --output-json-full", "include more information in the JSON file"},
    {"-of", "--output-file", &wp::output_names,
     "-of FNAME, --output-file FNAME", "output file path (without file extension)"},
    {"-np", "--no-prints", set_flag(&wp::no_prints),
     "-np,       --no-prints", "do not print anything other than the results"},
    {"-ps", "--print-special", set_flag(&wp::print_special),
     "-ps,       --print-special", "print special tokens"},
    {"-pc", "--print-colors", set_flag(&wp::print_colors),
     "-pc,       --print-colors", "print colors"},
    {"-pp", "--print-progress", set_flag(&wp::print_progress),
     "-pp,       --print-progress", "print progress"},
    {"-nt", "--no-timestamps", set_flag(&wp::no_timestamps),
     "-nt,       --no-timestamps", "do not print timestamps"},
    {"-l", "--language", lowercase_text{&wp::language},
     "-l LANG,   --language LANG", "spoken language ('auto' for auto-detect)"},
    {"-dl", "--detect-language", set_flag(&wp::detect_language),
     "-dl,       --detect-language", "exit after automatically detecting language"},
    {nullptr, "--prompt", checked_text{&wp::prompt, prompt_refusal},
     "           --prompt PROMPT", k_prompt_help.c_str()},
    {"-m", "--model", &wp::model,
     "-m FNAME,  --model FNAME", "model path"},
    {"-f", "--file", &wp::input_names,
     "-f FNAME,  --file FNAME", "input audio file path"},
    {"-oved", "--ov-e-device", &wp::ov_e_device,
     "-oved D,   --ov-e-device DNAME", "the OpenVINO device used for encode inference"},
    {"-dtw", "--dtw", &wp::dtw,
     "-dtw MODEL --dtw MODEL", "compute token-level timestamps"},
    {"-ls", "--log-score", set_flag(&wp::log_score),
     "-ls,       --log-score", "log best decoder scores of tokens"},
    {"-ng", "--no-gpu", clear_flag(&wp::use_gpu),
     "-ng,       --no-gpu", "disable GPU"},
    {"-fa", "--flash-attn", set_flag(&wp::flash_attn),
     "-fa,       --flash-attn", "flash attention"},
    {"-sns", "--suppress-nst", set_flag(&wp::suppress_nst),
     "-sns,      --suppress-nst", "suppress non-speech tokens"},
    {nullptr, "--suppress-regex", regex_text{&wp::suppress_regex},
     "--suppress-regex REGEX", "regular expression matching tokens to suppress"},
    {nullptr, "--grammar", &wp::grammar,
     "--grammar GRAMMAR", "GBNF grammar to guide decoding"},
    {nullptr, "--grammar-rule", &wp::grammar_rule,
     "--grammar-rule RULE", "top-level GBNF grammar rule name"},
    {nullptr, "--grammar-penalty", &wp::grammar_penalty,
     "--grammar-penalty N", "scales down logits of nongrammar tokens", nullptr, 1},
    // Unlisted: the usage text keeps exactly the lines it has always had.
    {nullptr, "--stereo", set_flag(&wp::stereo), nullptr, nullptr},
    {nullptr, "--mono", clear_flag(&wp::stereo), nullptr, nullptr},
};

const option_entry * find_option(const std::string & arg) {
    for (const option_entry & entry : k_options) {
        if ((entry.short_name != nullptr && arg == entry.short_name) || arg == entry.long_name) {
            return &entry;
        }
    }
    return nullptr;
}

bool takes_value(const option_action & action) {
    return !std::holds_alternative<help_request>(action) && !std::holds_alternative<flag_setting>(action);
}
