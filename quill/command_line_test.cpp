#include "command_line.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>

#include "settings_test_helpers.h"

namespace {

struct parse_case {
    std::vector<std::string> args;
    std::function<void(whisper_params &)> expect;
};

TEST(parse_command_line, every_option_sets_its_own_field) {
    const parse_case cases[] = {
        {{"-t", "8"}, [](whisper_params & p) { p.n_threads = 8; }},
        {{"--threads", "3"}, [](whisper_params & p) { p.n_threads = 3; }},
        {{"-p", "2"}, [](whisper_params & p) { p.n_processors = 2; }},
        {{"--processors", "3"}, [](whisper_params & p) { p.n_processors = 3; }},
        {{"-ot", "100"}, [](whisper_params & p) { p.offset_t_ms = 100; }},
        {{"--offset-t", "101"}, [](whisper_params & p) { p.offset_t_ms = 101; }},
        {{"-on", "7"}, [](whisper_params & p) { p.offset_n = 7; }},
        {{"--offset-n", "8"}, [](whisper_params & p) { p.offset_n = 8; }},
        {{"-d", "500"}, [](whisper_params & p) { p.duration_ms = 500; }},
        {{"--duration", "501"}, [](whisper_params & p) { p.duration_ms = 501; }},
        {{"-mc", "64"}, [](whisper_params & p) { p.max_context = 64; }},
        {{"--max-context", "65"}, [](whisper_params & p) { p.max_context = 65; }},
        {{"-ml", "30"}, [](whisper_params & p) { p.max_len = 30; }},
        {{"--max-len", "31"}, [](whisper_params & p) { p.max_len = 31; }},
        {{"-bo", "2"}, [](whisper_params & p) { p.best_of = 2; }},
        {{"--best-of", "3"}, [](whisper_params & p) { p.best_of = 3; }},
        {{"-bs", "4"}, [](whisper_params & p) { p.beam_size = 4; }},
        {{"--beam-size", "6"}, [](whisper_params & p) { p.beam_size = 6; }},
        {{"-ac", "768"}, [](whisper_params & p) { p.audio_ctx = 768; }},
        {{"--audio-ctx", "769"}, [](whisper_params & p) { p.audio_ctx = 769; }},
        {{"-wt", "0.5"}, [](whisper_params & p) { p.word_thold = 0.5f; }},
        {{"--word-thold", "0.25"}, [](whisper_params & p) { p.word_thold = 0.25f; }},
        {{"-et", "3"}, [](whisper_params & p) { p.entropy_thold = 3.0f; }},
        {{"--entropy-thold", "3.5"}, [](whisper_params & p) { p.entropy_thold = 3.5f; }},
        {{"-lpt", "-2"}, [](whisper_params & p) { p.logprob_thold = -2.0f; }},
        {{"--logprob-thold", "-3"}, [](whisper_params & p) { p.logprob_thold = -3.0f; }},
        {{"-nth", "0.7"}, [](whisper_params & p) { p.no_speech_thold = 0.7f; }},
        {{"--no-speech-thold", "0.8"}, [](whisper_params & p) { p.no_speech_thold = 0.8f; }},
        {{"-tp", "0.4"}, [](whisper_params & p) { p.temperature = 0.4f; }},
        {{"--temperature", "0.75"}, [](whisper_params & p) { p.temperature = 0.75f; }},
        {{"-tpi", "0.1"}, [](whisper_params & p) { p.temperature_inc = 0.1f; }},
        {{"--temperature-inc", "0.3"}, [](whisper_params & p) { p.temperature_inc = 0.3f; }},
        {{"-debug"}, [](whisper_params & p) { p.debug_mode = true; }},
        {{"--debug-mode"}, [](whisper_params & p) { p.debug_mode = true; }},
        {{"-tr"}, [](whisper_params & p) { p.translate = true; }},
        {{"--translate"}, [](whisper_params & p) { p.translate = true; }},
        {{"-di"}, [](whisper_params & p) { p.diarize = true; }},
        {{"--diarize"}, [](whisper_params & p) { p.diarize = true; }},
        {{"-tdrz"}, [](whisper_params & p) { p.tinydiarize = true; }},
        {{"--tinydiarize"}, [](whisper_params & p) { p.tinydiarize = true; }},
        {{"-sow"}, [](whisper_params & p) { p.split_on_word = true; }},
        {{"--split-on-word"}, [](whisper_params & p) { p.split_on_word = true; }},
        {{"-nf"}, [](whisper_params & p) { p.no_fallback = true; }},
        {{"--no-fallback"}, [](whisper_params & p) { p.no_fallback = true; }},
        {{"-otxt"}, [](whisper_params & p) { p.output_txt = true; }},
        {{"--output-txt"}, [](whisper_params & p) { p.output_txt = true; }},
        {{"-ovtt"}, [](whisper_params & p) { p.output_vtt = true; }},
        {{"--output-vtt"}, [](whisper_params & p) { p.output_vtt = true; }},
        {{"-osrt"}, [](whisper_params & p) { p.output_srt = true; }},
        {{"--output-srt"}, [](whisper_params & p) { p.output_srt = true; }},
        {{"-owts"}, [](whisper_params & p) { p.output_wts = true; }},
        {{"--output-words"}, [](whisper_params & p) { p.output_wts = true; }},
        {{"-olrc"}, [](whisper_params & p) { p.output_lrc = true; }},
        {{"--output-lrc"}, [](whisper_params & p) { p.output_lrc = true; }},
        {{"-fp", "/f.ttf"}, [](whisper_params & p) { p.font_path = "/f.ttf"; }},
        {{"--font-path", "/g.ttf"}, [](whisper_params & p) { p.font_path = "/g.ttf"; }},
        {{"-ocsv"}, [](whisper_params & p) { p.output_csv = true; }},
        {{"--output-csv"}, [](whisper_params & p) { p.output_csv = true; }},
        {{"-oj"}, [](whisper_params & p) { p.output_json = true; }},
        {{"--output-json"}, [](whisper_params & p) { p.output_json = true; }},
        {{"-ojf"}, [](whisper_params & p) { p.output_json = p.output_json_full = true; }},
        {{"--output-json-full"}, [](whisper_params & p) { p.output_json = p.output_json_full = true; }},
        {{"-of", "out"}, [](whisper_params & p) { p.output_names = {"out"}; }},
        {{"--output-file", "o1", "-of", "o2"}, [](whisper_params & p) { p.output_names = {"o1", "o2"}; }},
        {{"-np"}, [](whisper_params & p) { p.no_prints = true; }},
        {{"--no-prints"}, [](whisper_params & p) { p.no_prints = true; }},
        {{"-ps"}, [](whisper_params & p) { p.print_special = true; }},
        {{"--print-special"}, [](whisper_params & p) { p.print_special = true; }},
        {{"-pc"}, [](whisper_params & p) { p.print_colors = true; }},
        {{"--print-colors"}, [](whisper_params & p) { p.print_colors = true; }},
        {{"-pp"}, [](whisper_params & p) { p.print_progress = true; }},
        {{"--print-progress"}, [](whisper_params & p) { p.print_progress = true; }},
        {{"-nt"}, [](whisper_params & p) { p.no_timestamps = true; }},
        {{"--no-timestamps"}, [](whisper_params & p) { p.no_timestamps = true; }},
        {{"-l", "de"}, [](whisper_params & p) { p.language = "de"; }},
        {{"--language", "fr"}, [](whisper_params & p) { p.language = "fr"; }},
        {{"-dl"}, [](whisper_params & p) { p.detect_language = true; }},
        {{"--detect-language"}, [](whisper_params & p) { p.detect_language = true; }},
        {{"--prompt", "Hello there"}, [](whisper_params & p) { p.prompt = "Hello there"; }},
        {{"-m", "a.bin"}, [](whisper_params & p) { p.model = "a.bin"; }},
        {{"--model", "b.bin"}, [](whisper_params & p) { p.model = "b.bin"; }},
        {{"-f", "in.wav"}, [](whisper_params & p) { p.input_names = {"in.wav"}; }},
        {{"--file", "in2.wav"}, [](whisper_params & p) { p.input_names = {"in2.wav"}; }},
        {{"-oved", "GPU"}, [](whisper_params & p) { p.ov_e_device = "GPU"; }},
        {{"--ov-e-device", "NPU"}, [](whisper_params & p) { p.ov_e_device = "NPU"; }},
        {{"-dtw", "tiny"}, [](whisper_params & p) { p.dtw = "tiny"; }},
        {{"--dtw", "base.en"}, [](whisper_params & p) { p.dtw = "base.en"; }},
        {{"-ls"}, [](whisper_params & p) { p.log_score = true; }},
        {{"--log-score"}, [](whisper_params & p) { p.log_score = true; }},
        {{"-ng"}, [](whisper_params & p) { p.use_gpu = false; }},
        {{"--no-gpu"}, [](whisper_params & p) { p.use_gpu = false; }},
        {{"-fa"}, [](whisper_params & p) { p.flash_attn = true; }},
        {{"--flash-attn"}, [](whisper_params & p) { p.flash_attn = true; }},
        {{"-sns"}, [](whisper_params & p) { p.suppress_nst = true; }},
        {{"--suppress-nst"}, [](whisper_params & p) { p.suppress_nst = true; }},
        {{"--suppress-regex", "[0-9]+"}, [](whisper_params & p) { p.suppress_regex = "[0-9]+"; }},
        {{"--grammar", "root ::= \"a\""}, [](whisper_params & p) { p.grammar = "root ::= \"a\""; }},
        {{"--grammar-rule", "root"}, [](whisper_params & p) { p.grammar_rule = "root"; }},
        {{"--grammar-penalty", "50.5"}, [](whisper_params & p) { p.grammar_penalty = 50.5f; }},
        {{"--stereo"}, [](whisper_params & p) { p.stereo = true; }},
    };
    for (const parse_case & c : cases) {
        whisper_params parsed;
        whisper_params expected;
        c.expect(expected);
        const command_line_result result = parse_command_line(command(c.args), parsed);
        EXPECT_FALSE(result.finished) << c.args[0];
        EXPECT_EQ(describe(parsed), describe(expected)) << c.args[0];
    }
}

TEST(parse_command_line, values_names_and_repetition) {
    const parse_case cases[] = {
        // Numbers convert like the C library: leading blanks and a sign, junk after the number ignored,
        // and no range check but where the library needs one.
        {{"-t", "8x"}, [](whisper_params & p) { p.n_threads = 8; }},
        {{"-t", " 12"}, [](whisper_params & p) { p.n_threads = 12; }},
        {{"-t", "+3"}, [](whisper_params & p) { p.n_threads = 3; }},
        {{"-t", "-2"}, [](whisper_params & p) { p.n_threads = -2; }},
        {{"-t", "0x10"}, [](whisper_params & p) { p.n_threads = 0; }},
        {{"-ml", "2147483647"}, [](whisper_params & p) { p.max_len = 2147483647; }},
        {{"-t", "-2147483648"}, [](whisper_params & p) { p.n_threads = -2147483647 - 1; }},
        {{"-wt", "0.5abc"}, [](whisper_params & p) { p.word_thold = 0.5f; }},
        {{"-tp", " 1e-1"}, [](whisper_params & p) { p.temperature = 0.1f; }},
        {{"-tp", "0x1p-2"}, [](whisper_params & p) { p.temperature = 0.25f; }},
        {{"-et", "inf"}, [](whisper_params & p) { p.entropy_thold = HUGE_VALF; }},
        {{"-et", "1e-50"}, [](whisper_params & p) { p.entropy_thold = 0.0f; }},
        // Last one wins; lists keep command-line order across "-f" and positional names.
        {{"-m", "a", "-m", "b"}, [](whisper_params & p) { p.model = "b"; }},
        {{"-f", "one", "two", "-f", "three"}, [](whisper_params & p) { p.input_names = {"one", "two", "three"}; }},
        {{"--stereo", "--mono"}, [](whisper_params & p) { p.stereo = false; }},
        {{"--mono", "--stereo"}, [](whisper_params & p) { p.stereo = true; }},
        {{"-ng", "-ng"}, [](whisper_params & p) { p.use_gpu = false; }},
        // Language is lower-cased byte by byte; only A to Z change.
        {{"-l", "EN"}, [](whisper_params & p) { p.language = "en"; }},
        {{"-l", "AuTo"}, [](whisper_params & p) { p.language = "auto"; }},
        {{"-l", "\xC3\x84X"}, [](whisper_params & p) { p.language = "\xC3\x84x"; }},
        // A value is the next argument whatever it holds.
        {{"-m", "-f"}, [](whisper_params & p) { p.model = "-f"; }},
        {{"-m", "-h"}, [](whisper_params & p) { p.model = "-h"; }},
        {{"-m", ""}, [](whisper_params & p) { p.model = ""; }},
        {{"-of", "", "-of", "x"}, [](whisper_params & p) { p.output_names = {"", "x"}; }},
        // Positional names: "-", the empty argument, and an "@" name that is not alone.
        {{"-", "", "@list", "-np"},
         [](whisper_params & p) {
             p.input_names = {"-", "", "@list"};
             p.no_prints = true;
         }},
        {{"-ot", "5", "x.wav", "-ojf", "-of", "y"},
         [](whisper_params & p) {
             p.offset_t_ms = 5;
             p.input_names = {"x.wav"};
             p.output_json = p.output_json_full = true;
             p.output_names = {"y"};
         }},
    };
    for (const parse_case & c : cases) {
        whisper_params parsed;
        whisper_params expected;
        c.expect(expected);
        const command_line_result result = parse_command_line(command(c.args), parsed);
        EXPECT_FALSE(result.finished) << c.args[0] << " " << c.args[1];
        EXPECT_EQ(describe(parsed), describe(expected)) << c.args[0] << " " << c.args[1];
    }
}

TEST(parse_command_line, nan_is_accepted_as_a_real_value) {
    whisper_params parsed;
    EXPECT_FALSE(parse_command_line(command({"-wt", "nan"}), parsed).finished);
    EXPECT_TRUE(std::isnan(parsed.word_thold));
}

TEST(parse_command_line, argument_errors_end_the_run) {
    struct {
        std::vector<std::string> args;
        std::string message;
        bool show_usage;
    } const cases[] = {
        {{"-h"}, "", true},
        {{"--help"}, "", true},
        {{"-t"}, "error: argument -t requires value\n", false},
        {{"-np", "--grammar"}, "error: argument --grammar requires value\n", false},
        {{"-f"}, "error: argument -f requires value\n", false},
        {{"--threads=8"}, "error: unknown argument: --threads=8\n", true},
        {{"--"}, "error: unknown argument: --\n", true},
        {{"-T", "4"}, "error: unknown argument: -T\n", true},
        {{"-tdr"}, "error: unknown argument: -tdr\n", true},
        {{"-np\r"}, "error: unknown argument: -np\r\n", true},
        {{"-prompt", "x"}, "error: unknown argument: -prompt\n", true},
        {{"-t", "abc"}, "error: argument -t: value 'abc' is not a number\n", false},
        {{"--best-of", ""}, "error: argument --best-of: value '' is not a number\n", false},
        {{"-t", "-"}, "error: argument -t: value '-' is not a number\n", false},
        {{"-t", "2147483648"}, "error: argument -t: value '2147483648' is out of range\n", false},
        {{"-ml", "-2147483649"}, "error: argument -ml: value '-2147483649' is out of range\n", false},
        {{"-ac", "99999999999999999999999"},
         "error: argument -ac: value '99999999999999999999999' is out of range\n", false},
        {{"-wt", "x0.5"}, "error: argument -wt: value 'x0.5' is not a number\n", false},
        {{"--grammar-penalty", "1e39"}, "error: argument --grammar-penalty: value '1e39' is out of range\n", false},
        // Ranges the library needs; the bounds of "-t" and "-p" follow the machine and are tested through the
        // program.
        {{"-tp", "1.5"}, "error: argument -tp: value '1.5' is not between 0 and 1\n", false},
        {{"-tpi", "-1"}, "error: argument -tpi: value '-1' is negative\n", false},
        {{"-tpi", "0.0009"}, "error: argument -tpi: value '0.0009' is below 0.001 and not 0\n", false},
        {{"-d", "-1"}, "error: argument -d: value '-1' is negative\n", false},
        {{"--suppress-regex", "a{2,1}"},
         "error: argument --suppress-regex: value 'a{2,1}' is not a valid regular expression\n", false},
    };
    for (const auto & c : cases) {
        whisper_params parsed;
        const command_line_result result = parse_command_line(command(c.args), parsed);
        EXPECT_TRUE(result.finished) << c.args[0];
        EXPECT_EQ(result.exit_status, 0) << c.args[0];
        EXPECT_EQ(result.message, c.message) << c.args[0];
        EXPECT_EQ(result.show_usage, c.show_usage) << c.args[0];
    }
}

TEST(parse_command_line, help_keeps_earlier_options_and_ignores_later_arguments) {
    whisper_params parsed;
    const command_line_result result = parse_command_line(command({"-t", "8", "-h", "-bogus", "-m", "x"}), parsed);
    EXPECT_TRUE(result.finished);
    EXPECT_TRUE(result.show_usage);
    EXPECT_EQ(parsed.n_threads, 8);
    EXPECT_EQ(parsed.model, "models/ggml-base.en.bin");
}

TEST(parse_command_line, no_arguments_leave_the_defaults) {
    whisper_params parsed;
    EXPECT_FALSE(parse_command_line(command({}), parsed).finished);
    EXPECT_FALSE(parse_command_line({}, parsed).finished);
    EXPECT_EQ(describe(parsed), describe(whisper_params()));
}

TEST(whisper_param_turn_lowercase, lowers_ascii_in_place) {
    char text[] = "AbC-Z\xC3\x84@[";
    EXPECT_EQ(whisper_param_turn_lowercase(text), text);
    EXPECT_STREQ(text, "abc-z\xC3\x84@[");
}

} // namespace
