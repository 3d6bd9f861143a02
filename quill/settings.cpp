#include "settings.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <regex>
#include <thread>
#include <variant>

#include "whisper.h"

namespace {

// 0 means the platform cannot tell; 4 is then as good a guess as any.
int32_t hardware_threads() {
    const unsigned reported = std::thread::hardware_concurrency();
    if (reported == 0) {
        return 4;
    }
    return static_cast<int32_t>(std::min<unsigned>(reported, 1u << 16));
}

int32_t default_thread_count() { return std::min(hardware_threads(), 4); }

struct flag_setting {
    bool whisper_params::* field;
    bool value;
    bool whisper_params::* also_set;  // "-ojf" implies "-oj"
};

struct lowercase_text {
    std::string whisper_params::* field;
};

// The library compiles the pattern with std::regex at the first
// transcription and has no answer to one that does not compile. Compiling
// recurses about once per byte of the pattern in some standard libraries,
// and the library does it on the processing thread, whose stack may be as
// small as 512 KiB: the length bound keeps that well clear of the end.
constexpr size_t k_max_regex_bytes = 1024;

struct regex_text {
    std::string whisper_params::* field;
};

struct help_request {};

using option_action = std::variant<help_request, flag_setting, int32_t whisper_params::*, float whisper_params::*,
                                   std::string whisper_params::*, lowercase_text, regex_text,
                                   std::vector<std::string> whisper_params::*>;

// What is wrong with a converted number, or "" when the library can take it.
// The number arrives as a double, which holds every int32_t and float exactly.
using value_refusal = std::string (*)(double value);

struct option_entry {
    const char * short_name;  // nullptr when the option has only its long form
    const char * long_name;
    option_action action;
    value_refusal refusal = nullptr;
};

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
    const int32_t bound = k_threads_per_hardware_thread * hardware_threads();
    if (value <= bound) {
        return "";
    }
    return "is above " + std::to_string(bound) + ", " + std::to_string(k_threads_per_hardware_thread) +
           " times the " + std::to_string(hardware_threads()) + " hardware threads of this machine";
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

using wp = whisper_params;

// In the order the options are compared; names are unique, so the order only
// keeps the table easy to check against the usage text.
const option_entry k_options[] = {
    {"-h", "--help", help_request{}},
    {"-t", "--threads", &wp::n_threads, thread_refusal},
    {"-p", "--processors", &wp::n_processors, processor_refusal},
    {"-ot", "--offset-t", &wp::offset_t_ms, negative_refusal},
    {"-on", "--offset-n", &wp::offset_n},
    {"-d", "--duration", &wp::duration_ms, negative_refusal},
    {"-mc", "--max-context", &wp::max_context},
    {"-ml", "--max-len", &wp::max_len},
    {"-bo", "--best-of", &wp::best_of},
    {"-bs", "--beam-size", &wp::beam_size},
    {"-ac", "--audio-ctx", &wp::audio_ctx},
    {"-wt", "--word-thold", &wp::word_thold},
    {"-et", "--entropy-thold", &wp::entropy_thold},
    {"-lpt", "--logprob-thold", &wp::logprob_thold},
    {"-nth", "--no-speech-thold", &wp::no_speech_thold},
    {"-tp", "--temperature", &wp::temperature, temperature_refusal},
    {"-tpi", "--temperature-inc", &wp::temperature_inc, increment_refusal},
    {"-debug", "--debug-mode", set_flag(&wp::debug_mode)},
    {"-tr", "--translate", set_flag(&wp::translate)},
    {"-di", "--diarize", set_flag(&wp::diarize)},
    {"-tdrz", "--tinydiarize", set_flag(&wp::tinydiarize)},
    {"-sow", "--split-on-word", set_flag(&wp::split_on_word)},
    {"-nf", "--no-fallback", set_flag(&wp::no_fallback)},
    {"-otxt", "--output-txt", set_flag(&wp::output_txt)},
    {"-ovtt", "--output-vtt", set_flag(&wp::output_vtt)},
    {"-osrt", "--output-srt", set_flag(&wp::output_srt)},
    {"-owts", "--output-words", set_flag(&wp::output_wts)},
    {"-olrc", "--output-lrc", set_flag(&wp::output_lrc)},
    {"-fp", "--font-path", &wp::font_path},
    {"-ocsv", "--output-csv", set_flag(&wp::output_csv)},
    {"-oj", "--output-json", set_flag(&wp::output_json)},
    {"-ojf", "--output-json-full", flag_setting{&wp::output_json_full, true, &wp::output_json}},
    {"-of", "--output-file", &wp::output_names},
    {"-np", "--no-prints", set_flag(&wp::no_prints)},
    {"-ps", "--print-special", set_flag(&wp::print_special)},
    {"-pc", "--print-colors", set_flag(&wp::print_colors)},
    {"-pp", "--print-progress", set_flag(&wp::print_progress)},
    {"-nt", "--no-timestamps", set_flag(&wp::no_timestamps)},
    {"-l", "--language", lowercase_text{&wp::language}},
    {"-dl", "--detect-language", set_flag(&wp::detect_language)},
    {nullptr, "--prompt", &wp::prompt},
    {"-m", "--model", &wp::model},
    {"-f", "--file", &wp::input_names},
    {"-oved", "--ov-e-device", &wp::ov_e_device},
    {"-dtw", "--dtw", &wp::dtw},
    {"-ls", "--log-score", set_flag(&wp::log_score)},
    {"-ng", "--no-gpu", clear_flag(&wp::use_gpu)},
    {"-fa", "--flash-attn", set_flag(&wp::flash_attn)},
    {"-sns", "--suppress-nst", set_flag(&wp::suppress_nst)},
    {nullptr, "--suppress-regex", regex_text{&wp::suppress_regex}},
    {nullptr, "--grammar", &wp::grammar},
    {nullptr, "--grammar-rule", &wp::grammar_rule},
    {nullptr, "--grammar-penalty", &wp::grammar_penalty},
    {nullptr, "--stereo", set_flag(&wp::stereo)},
    {nullptr, "--mono", clear_flag(&wp::stereo)},
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

#if defined(__GNUC__)
__attribute__((format(printf, 2, 3)))
#endif
void append_format(std::string & out, const char * format, ...) {
    va_list args;
    va_start(args, format);
    va_list measure;
    va_copy(measure, args);
    const int needed = std::vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    if (needed > 0) {
        const size_t start = out.size();
        out.resize(start + static_cast<size_t>(needed) + 1);
        std::vsnprintf(&out[start], static_cast<size_t>(needed) + 1, format, args);
        out.resize(start + static_cast<size_t>(needed));
    }
    va_end(args);
}

command_line_result stop_with(int exit_status, std::string message, bool show_usage) {
    command_line_result result;
    result.finished = true;
    result.exit_status = exit_status;
    result.message = std::move(message);
    result.show_usage = show_usage;
    return result;
}

// No usage text here: the option was recognised, only its value is missing.
command_line_result requires_value_error(const std::string & option) {
    std::string message;
    append_format(message, "error: argument %s requires value\n", option.c_str());
    return stop_with(0, message, false);
}

command_line_result bad_value_error(const std::string & option, const std::string & value,
                                    const std::string & problem) {
    std::string message;
    append_format(message, "error: argument %s: value '%s' %s\n", option.c_str(), value.c_str(), problem.c_str());
    return stop_with(0, message, false);
}

// Like the C conversions the options have always used (leading blanks, a sign,
// trailing junk ignored), but a value without a number or beyond the field's
// range is reported instead of being stored as garbage.
bool convert_value(const std::string & text, int32_t & out, bool & out_of_range) {
    const char * start = text.c_str();
    char * end = nullptr;
    errno = 0;
    const long value = std::strtol(start, &end, 10);
    if (end == start) {
        out_of_range = false;
        return false;
    }
    if (errno == ERANGE || value < std::numeric_limits<int32_t>::min() ||
        value > std::numeric_limits<int32_t>::max()) {
        out_of_range = true;
        return false;
    }
    out = static_cast<int32_t>(value);
    return true;
}

bool convert_value(const std::string & text, float & out, bool & out_of_range) {
    const char * start = text.c_str();
    char * end = nullptr;
    errno = 0;
    const float value = std::strtof(start, &end);
    if (end == start) {
        out_of_range = false;
        return false;
    }
    // Underflow rounds toward zero, which is harmless; only an overflow to
    // infinity from finite digits is refused ("inf" itself is accepted).
    if (errno == ERANGE && std::isinf(value)) {
        out_of_range = true;
        return false;
    }
    out = value;
    return true;
}

struct apply_option {
    whisper_params & params;
    const std::string & option;
    const std::string & value;
    value_refusal refusal;
    command_line_result & result;

    void operator()(help_request) const {}

    void operator()(const flag_setting & flag) const {
        params.*flag.field = flag.value;
        if (flag.also_set != nullptr) {
            params.*flag.also_set = true;
        }
    }

    template <typename number> void operator()(number whisper_params::* field) const {
        bool out_of_range = false;
        if (!convert_value(value, params.*field, out_of_range)) {
            result = bad_value_error(option, value, out_of_range ? "is out of range" : "is not a number");
            return;
        }
        const std::string problem = refusal != nullptr ? refusal(params.*field) : "";
        if (!problem.empty()) {
            result = bad_value_error(option, value, problem);
        }
    }

    void operator()(std::string whisper_params::* field) const { params.*field = value; }

    void operator()(const lowercase_text & text) const {
        std::string lowered = value;
        whisper_param_turn_lowercase(&lowered[0]);
        params.*text.field = lowered;
    }

    void operator()(const regex_text & text) const {
        if (value.size() > k_max_regex_bytes) {
            result = bad_value_error(option, value, "is longer than " + std::to_string(k_max_regex_bytes) + " bytes");
            return;
        }
        try {
            const std::regex compiled(value);
        } catch (const std::regex_error &) {
            result = bad_value_error(option, value, "is not a valid regular expression");
            return;
        }
        params.*text.field = value;
    }

    void operator()(std::vector<std::string> whisper_params::* field) const { (params.*field).push_back(value); }
};

const char * bool_text(bool value) { return value ? "true" : "false"; }

} // namespace

whisper_params::whisper_params()
    : n_threads(default_thread_count()),
      best_of(whisper_full_default_params(WHISPER_SAMPLING_GREEDY).greedy.best_of),
      beam_size(whisper_full_default_params(WHISPER_SAMPLING_BEAM_SEARCH).beam_search.beam_size) {}

command_line_result expand_response_file(const std::vector<std::string> & args, std::vector<std::string> & expanded) {
    if (args.size() != 2 || args[1].empty() || args[1][0] != '@') {
        expanded = args;
        return {};
    }
    const std::string path = args[1].substr(1);
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        std::string message;
        append_format(message, "error: response file '%s' not found\n", path.c_str());
        return stop_with(1, message, false);
    }
    expanded.assign(1, args[0]);
    // Each line is one argument exactly as written: a carriage return before
    // the line feed stays, and an empty line is an empty argument.
    std::string line;
    while (std::getline(file, line)) {
        expanded.push_back(line);
    }
    return {};
}

command_line_result parse_command_line(const std::vector<std::string> & args, whisper_params & params) {
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string & arg = args[i];
        if (arg.empty() || arg[0] != '-' || arg == "-") {
            params.input_names.push_back(arg);
            continue;
        }
        const option_entry * entry = find_option(arg);
        if (entry == nullptr) {
            std::string message;
            append_format(message, "error: unknown argument: %s\n", arg.c_str());
            return stop_with(0, message, true);
        }
        if (std::holds_alternative<help_request>(entry->action)) {
            return stop_with(0, "", true);
        }
        static const std::string k_no_value;
        const std::string * value = &k_no_value;
        if (takes_value(entry->action)) {
            if (i + 1 >= args.size()) {
                return requires_value_error(arg);
            }
            value = &args[++i];
        }
        command_line_result result;
        std::visit(apply_option{params, arg, *value, entry->refusal, result}, entry->action);
        if (result.finished) {
            return result;
        }
    }
    return {};
}

char * whisper_param_turn_lowercase(char * s) {
    for (char * p = s; *p != '\0'; ++p) {
        *p = static_cast<char>(std::tolower(static_cast<unsigned char>(*p)));
    }
    return s;
}

std::string format_usage(const std::string & program_name, const whisper_params & params) {
    const whisper_params & p = params;
    std::string u;
    append_format(u, "\n");
    append_format(u, "usage: %s [options] file0 file1 ...\n", program_name.c_str());
    append_format(u, "supported audio formats: flac, mp3, ogg, wav\n");
    append_format(u, "\n");
    append_format(u, "options:\n");
    append_format(u, "  -h,        --help              [default] show this help message and exit\n");
    append_format(u, "  -t N,      --threads N         [%-7d] number of threads to use during computation\n", p.n_threads);
    append_format(u, "  -p N,      --processors N      [%-7d] number of processors to use during computation\n", p.n_processors);
    append_format(u, "  -ot N,     --offset-t N        [%-7d] time offset in milliseconds\n", p.offset_t_ms);
    append_format(u, "  -on N,     --offset-n N        [%-7d] segment index offset\n", p.offset_n);
    append_format(u, "  -d  N,     --duration N        [%-7d] duration of audio to process in milliseconds\n", p.duration_ms);
    append_format(u, "  -mc N,     --max-context N     [%-7d] maximum number of text context tokens to store\n", p.max_context);
    append_format(u, "  -ml N,     --max-len N         [%-7d] maximum segment length in characters\n", p.max_len);
    append_format(u, "  -sow,      --split-on-word     [%-7s] split on word rather than on token\n", bool_text(p.split_on_word));
    append_format(u, "  -bo N,     --best-of N         [%-7d] number of best candidates to keep\n", p.best_of);
    append_format(u, "  -bs N,     --beam-size N       [%-7d] beam size for beam search\n", p.beam_size);
    append_format(u, "  -ac N,     --audio-ctx N       [%-7d] audio context size (0 - all)\n", p.audio_ctx);
    append_format(u, "  -wt N,     --word-thold N      [%-7.2f] word timestamp probability threshold\n", p.word_thold);
    append_format(u, "  -et N,     --entropy-thold N   [%-7.2f] entropy threshold for decoder fail\n", p.entropy_thold);
    append_format(u, "  -lpt N,    --logprob-thold N   [%-7.2f] log probability threshold for decoder fail\n", p.logprob_thold);
    append_format(u, "  -nth N,    --no-speech-thold N [%-7.2f] no speech threshold\n", p.no_speech_thold);
    append_format(u, "  -tp,       --temperature N     [%-7.2f] The sampling temperature, between 0 and 1\n", p.temperature);
    append_format(u, "  -tpi,      --temperature-inc N [%-7.2f] The increment of temperature, between 0 and 1\n", p.temperature_inc);
    append_format(u, "  -debug,    --debug-mode        [%-7s] enable debug mode (eg. dump log_mel)\n", bool_text(p.debug_mode));
    append_format(u, "  -tr,       --translate         [%-7s] translate from source language to english\n", bool_text(p.translate));
    append_format(u, "  -di,       --diarize           [%-7s] stereo audio diarization\n", bool_text(p.diarize));
    append_format(u, "  -tdrz,     --tinydiarize       [%-7s] enable tinydiarize (requires a tdrz model)\n", bool_text(p.tinydiarize));
    append_format(u, "  -nf,       --no-fallback       [%-7s] do not use temperature fallback while decoding\n", bool_text(p.no_fallback));
    append_format(u, "  -otxt,     --output-txt        [%-7s] output result in a text file\n", bool_text(p.output_txt));
    append_format(u, "  -ovtt,     --output-vtt        [%-7s] output result in a vtt file\n", bool_text(p.output_vtt));
    append_format(u, "  -osrt,     --output-srt        [%-7s] output result in a srt file\n", bool_text(p.output_srt));
    append_format(u, "  -olrc,     --output-lrc        [%-7s] output result in a lrc file\n", bool_text(p.output_lrc));
    append_format(u, "  -owts,     --output-words      [%-7s] output script for generating karaoke video\n", bool_text(p.output_wts));
    append_format(u, "  -fp,       --font-path         [%-7s] path to a monospace font for karaoke video\n", p.font_path.c_str());
    append_format(u, "  -ocsv,     --output-csv        [%-7s] output result in a CSV file\n", bool_text(p.output_csv));
    append_format(u, "  -oj,       --output-json       [%-7s] output result in a JSON file\n", bool_text(p.output_json));
    append_format(u, "  -ojf,      --output-json-full  [%-7s] include more information in the JSON file\n", bool_text(p.output_json_full));
    append_format(u, "  -of FNAME, --output-file FNAME [%-7s] output file path (without file extension)\n", "");
    append_format(u, "  -np,       --no-prints         [%-7s] do not print anything other than the results\n", bool_text(p.no_prints));
    append_format(u, "  -ps,       --print-special     [%-7s] print special tokens\n", bool_text(p.print_special));
    append_format(u, "  -pc,       --print-colors      [%-7s] print colors\n", bool_text(p.print_colors));
    append_format(u, "  -pp,       --print-progress    [%-7s] print progress\n", bool_text(p.print_progress));
    append_format(u, "  -nt,       --no-timestamps     [%-7s] do not print timestamps\n", bool_text(p.no_timestamps));
    append_format(u, "  -l LANG,   --language LANG     [%-7s] spoken language ('auto' for auto-detect)\n", p.language.c_str());
    append_format(u, "  -dl,       --detect-language   [%-7s] exit after automatically detecting language\n", bool_text(p.detect_language));
    append_format(u, "             --prompt PROMPT     [%-7s] initial prompt (max n_text_ctx/2 tokens)\n", p.prompt.c_str());
    append_format(u, "  -m FNAME,  --model FNAME       [%-7s] model path\n", p.model.c_str());
    append_format(u, "  -f FNAME,  --file FNAME        [%-7s] input audio file path\n", "");
    append_format(u, "  -oved D,   --ov-e-device DNAME [%-7s] the OpenVINO device used for encode inference\n", p.ov_e_device.c_str());
    append_format(u, "  -dtw MODEL --dtw MODEL         [%-7s] compute token-level timestamps\n", p.dtw.c_str());
    append_format(u, "  -ls,       --log-score         [%-7s] log best decoder scores of tokens\n", bool_text(p.log_score));
    append_format(u, "  -ng,       --no-gpu            [%-7s] disable GPU\n", bool_text(!p.use_gpu));
    append_format(u, "  -fa,       --flash-attn        [%-7s] flash attention\n", bool_text(p.flash_attn));
    append_format(u, "  -sns,      --suppress-nst      [%-7s] suppress non-speech tokens\n", bool_text(p.suppress_nst));
    append_format(u, "  --suppress-regex REGEX         [%-7s] regular expression matching tokens to suppress\n", p.suppress_regex.c_str());
    append_format(u, "  --grammar GRAMMAR              [%-7s] GBNF grammar to guide decoding\n", p.grammar.c_str());
    append_format(u, "  --grammar-rule RULE            [%-7s] top-level GBNF grammar rule name\n", p.grammar_rule.c_str());
    append_format(u, "  --grammar-penalty N            [%-7.1f] scales down logits of nongrammar tokens\n", p.grammar_penalty);
    append_format(u, "\n");
    return u;
}

void whisper_print_usage(int /*argc*/, char ** argv, const whisper_params & params) {
    const std::string usage = format_usage(argv[0] != nullptr ? argv[0] : "", params);
    std::fwrite(usage.data(), 1, usage.size(), stderr);
}

std::string output_name_for(const whisper_params & params, size_t index) {
    if (index < params.output_names.size() && !params.output_names[index].empty()) {
        return params.output_names[index];
    }
    return params.input_names[index];
}
