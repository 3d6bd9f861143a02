// The live road through the real program: PCM written the way the desktop
// application writes it, JSON lines read back from standard output.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>
#include <regex>
#include <thread>

#include "process.h"
#include "quill_session.h"
#include "speech.h"
#include "temp_dir_test.h"

namespace {

using namespace std::chrono_literals;

// How long a run may take once its input is written.
constexpr std::chrono::seconds k_finish_limit(120);

const std::string k_silence_line = "{\"info\": \"\xF0\x9F\xA4\x90 Silence detected\"}";

// ---- audio -----------------------------------------------------------------

using samples = std::vector<int16_t>;

// A sentence spoken by espeak-ng at 16 kHz, made once per build tree.
samples speech(const std::string & name, const std::string & text) {
    const std::string dir = STREAM_AUDIO_DIR;
    mkdir(dir.c_str(), 0755);
    const std::string raw = dir + "/" + name + ".raw";
    EXPECT_TRUE(make_spoken_raw(text, raw)) << name;
    samples out = read_pcm16_file(raw);
    EXPECT_GT(out.size(), k_sample_rate) << name;
    return out;
}

samples join(std::initializer_list<samples> stretches) {
    samples all;
    for (const auto & stretch : stretches) {
        all.insert(all.end(), stretch.begin(), stretch.end());
    }
    return all;
}

// Three sentences, each followed by a pause long enough to hold a silent window.
const samples & speech_with_pauses() {
    static const samples stream = join({
        speech("fox", "The quick brown fox jumps over the lazy dog"),
        silence(1000),
        speech("line", "Every line of the stream is a small object"),
        silence(1200),
        speech("chunk", "Silence closes the open chunk of audio"),
        silence(800),
    });
    return stream;
}

// With `stereo` the left channel carries the signal and the right a quarter
// of it, so the mix-down is what gets transcribed.
std::string pcm_bytes(const samples & audio, bool stereo) {
    if (!stereo) {
        return pcm16_bytes(audio);
    }
    samples both;
    both.reserve(2 * audio.size());
    for (int16_t v : audio) {
        both.push_back(v);
        both.push_back(static_cast<int16_t>(v / 4));
    }
    return pcm16_bytes(both);
}

float window_rms(const samples & audio, size_t begin, size_t end) {
    double sum = 0;
    for (size_t i = begin; i < end && i < audio.size(); ++i) {
        const double v = audio[i] / 32768.0;
        sum += v * v;
    }
    return end > begin ? static_cast<float>(std::sqrt(sum / static_cast<double>(end - begin))) : 0.0f;
}

// ---- driving the program -----------------------------------------------------

// Stdin stays open: only the signal may end capture.
process_result interrupt(quill_session & s) {
    kill(s.child.pid, SIGINT);
    pump(s, std::chrono::steady_clock::now() + 180s);
    return finish_quill(s, 5s);
}

process_result run_stream(const std::vector<std::string> & options, const samples & audio, bool stereo, pace how) {
    quill_session s = start_quill(options);
    EXPECT_TRUE(feed(s, pcm_bytes(audio, stereo), how, k_sample_rate * (stereo ? 4 : 2)));
    return finish_quill(s, k_finish_limit);
}

// ---- reading it back ---------------------------------------------------------

// One transcription as standard output shows it.
struct transcription {
    int chunk = 0;
    std::vector<long long> starts, ends;
    std::vector<std::string> texts;
    int silence_lines = 0;
};

struct segment_line {
    int chunk = 0, number = 0;
    long long start = 0, end = 0;
    std::string text;
};

// A JSON object of exactly the protocol's shape, with the program's own spacing.
testing::AssertionResult parse_segment_line(const std::string & line, segment_line & out) {
    static const std::regex k_segment_id("([0-9]+)\\.([0-9]+)");
    static const std::regex k_number("-?[0-9]+");
    const nlohmann::json j = nlohmann::json::parse(line, nullptr, false);
    if (!j.is_object() || j.size() != 1 || !j.contains("transcription") || !j["transcription"].is_object() ||
        j["transcription"].size() != 5) {
        return testing::AssertionFailure() << "not a segment object: " << line;
    }
    const nlohmann::json & seg = j["transcription"];
    for (const char * key : {"segment", "start", "end", "speaker", "text"}) {
        if (!seg.contains(key) || !seg[key].is_string()) {
            return testing::AssertionFailure() << "no text member " << key << ": " << line;
        }
    }
    const std::string id = seg["segment"], start = seg["start"], end = seg["end"], text = seg["text"];
    std::smatch fields;
    if (!std::regex_match(id, fields, k_segment_id) || !std::regex_match(start, k_number) ||
        !std::regex_match(end, k_number) || seg["speaker"] != "") {
        return testing::AssertionFailure() << "bad member values: " << line;
    }
    if (line != "{ \"transcription\": { \"segment\": \"" + id + "\", \"start\": \"" + start + "\", \"end\": \"" + end +
                    "\", \"speaker\": \"\", \"text\": \"" + text + "\" } }") {
        return testing::AssertionFailure() << "not the program's own spacing: " << line;
    }
    out = {std::stoi(fields[1]), std::stoi(fields[2]), std::stoll(start), std::stoll(end), text};
    return testing::AssertionSuccess();
}

// Checks every line against the protocol and groups the segments into the
// transcriptions that printed them.
std::vector<transcription> read_protocol(const std::string & out) {
    std::vector<transcription> seen;
    std::vector<std::string> lines = split_lines(out);
    if (!lines.empty() && lines.back().empty()) {
        lines.pop_back();  // what follows the last line feed
    }
    for (const std::string & line : lines) {
        if (line.empty()) {
            seen.emplace_back();
            continue;
        }
        if (seen.empty()) {
            ADD_FAILURE() << "output before the first empty line: " << line;
            return seen;
        }
        transcription & t = seen.back();
        if (line == k_silence_line) {
            ++t.silence_lines;
            EXPECT_EQ(t.silence_lines, static_cast<int>(t.starts.size())) << "one silence line after each batch";
            continue;
        }
        segment_line seg;
        const testing::AssertionResult parsed = parse_segment_line(line, seg);
        EXPECT_TRUE(parsed);
        if (!parsed) {
            return seen;
        }
        if (t.starts.empty()) {
            t.chunk = seg.chunk;
        }
        EXPECT_EQ(seg.chunk, t.chunk) << line;
        EXPECT_EQ(seg.number, static_cast<int>(t.starts.size()) + 1) << "segments count from 1 in each transcription";
        t.starts.push_back(seg.start);
        t.ends.push_back(seg.end);
        t.texts.push_back(seg.text);
    }
    // The chunk number grows by one exactly after a transcription that closed
    // its chunk at a silence.
    for (size_t k = 0; k < seen.size(); ++k) {
        EXPECT_FALSE(seen[k].starts.empty()) << "transcription " << k << " printed an empty line only";
        const int expected = k == 0 ? 1 : seen[k - 1].chunk + (seen[k - 1].silence_lines > 0 ? 1 : 0);
        EXPECT_EQ(seen[k].chunk, expected) << "transcription " << k;
    }
    return seen;
}

// The sample counts of the processing lines on standard error, in order.
std::vector<long> processed_counts(const std::string & err) {
    static const std::regex k_line("whisper_processing_thread: processing '[^']*' \\(([0-9]+) samples, ");
    std::vector<long> counts;
    for (std::sregex_iterator it(err.begin(), err.end(), k_line), end; it != end; ++it) {
        counts.push_back(std::stol((*it)[1]));
    }
    return counts;
}

// ---- tests -------------------------------------------------------------------

struct speech_case {
    const char * name;
    bool stereo;
    pace how;
};

void PrintTo(const speech_case & c, std::ostream * os) { *os << c.name; }

class SpeechStream : public testing::TestWithParam<speech_case> {};

TEST_P(SpeechStream, FollowsTheProtocolAndCutsInThePauses) {
    const samples & audio = speech_with_pauses();
    std::vector<std::string> options = {"-m", test_model("fixed.bin"), "-t", "2"};
    if (GetParam().stereo) {
        options.push_back("--stereo");
    }
    options.push_back("-");
    const process_result r = run_stream(options, audio, GetParam().stereo, GetParam().how);
    ASSERT_TRUE(r.exited) << r.err;
    EXPECT_EQ(r.exit_status, 0) << r.err;

    const std::vector<transcription> seen = read_protocol(r.out);
    ASSERT_FALSE(seen.empty()) << r.out;
    ASSERT_GE(seen.back().chunk, 3) << "each of the three pauses closes a chunk\n" << r.out;

    // Every transcription of a second or more reports the model's segment;
    // shorter ones may report none and then print nothing at all.
    const std::vector<long> counts = processed_counts(r.err);
    const auto at_least = [&counts](long n) {
        return std::count_if(counts.begin(), counts.end(), [n](long c) { return c >= n; });
    };
    EXPECT_GE(static_cast<long>(seen.size()), at_least(static_cast<long>(k_sample_rate)));
    EXPECT_LE(static_cast<long>(seen.size()), at_least(1));

    // The model says " hello world." from 0 to 1 s of every buffer, so each
    // line's start is its chunk's first sample in stream milliseconds.
    long long previous_start = -1;
    for (const transcription & t : seen) {
        const long long start = t.starts.front();
        for (size_t i = 0; i < t.starts.size(); ++i) {
            EXPECT_EQ(t.starts[i], start);
            EXPECT_EQ(t.ends[i], start + 1000);
            EXPECT_EQ(t.texts[i], " hello world.");
        }
        if (t.chunk == 1) {
            EXPECT_EQ(start, 0);
        } else if (start != previous_start) {
            EXPECT_GT(start, previous_start + 1000) << "a chunk holds more than a second";
            const size_t cut = static_cast<size_t>(start) * k_sample_rate / 1000;
            EXPECT_LT(window_rms(audio, cut - 5333 + 16, cut - 16), 0.01f)
                << "chunk " << t.chunk << " starts at " << start << " ms, right after a silent window";
        }
        EXPECT_LT(start, static_cast<long long>(audio.size() * 1000 / k_sample_rate));
        previous_start = start;
    }
}

INSTANTIATE_TEST_SUITE_P(Pacing, SpeechStream,
                         testing::Values(speech_case{"RealTimeMono", false, pace::real_time},
                                         speech_case{"OddBurstsMono", false, pace::odd_bursts},
                                         speech_case{"RealTimeStereo", true, pace::real_time},
                                         speech_case{"OddBurstsStereo", true, pace::odd_bursts}),
                         [](const auto & info) { return std::string(info.param.name); });

// Result files and audio files go to a directory of the case's own.
using QuillStream = temp_dir_test;

TEST_F(QuillStream, EveryByteWrittenBeforeTheCloseBecomesASample) {
    // 20,000 samples stay below the first window, so the one transcription,
    // after the close, shows how many samples capture delivered.
    const struct {
        bool stereo;
        pace how;
    } cases[] = {{false, pace::one_write}, {false, pace::odd_bursts}, {true, pace::one_write}, {true, pace::odd_bursts}};
    for (const auto & c : cases) {
        std::vector<std::string> options = {"-m", test_model("fixed.bin"), "-"};
        if (c.stereo) {
            options.push_back("--stereo");
        }
        const process_result r = run_stream(options, tone(1250), c.stereo, c.how);
        EXPECT_EQ(r.exit_status, 0) << r.err;
        EXPECT_EQ(processed_counts(r.err), std::vector<long>{20000})
            << (c.stereo ? "stereo " : "mono ") << static_cast<int>(c.how);
        EXPECT_EQ(read_protocol(r.out).size(), 1u) << r.out;
    }
}

TEST_F(QuillStream, InterruptTranscribesWhatIsPendingAndEndsWithStatusZero) {
    quill_session s = start_quill({"-m", test_model("fixed.bin"), "-"});
    EXPECT_TRUE(feed(s, pcm_bytes(speech("fox", "The quick brown fox jumps over the lazy dog"), false),
                     pace::real_time, 2 * k_sample_rate));
    const pid_t pid = s.child.pid;
    const process_result r = interrupt(s);
    ASSERT_TRUE(r.exited) << "still running with stdin open\n" << r.err;
    EXPECT_EQ(r.exit_status, 0) << r.err;
    const std::string notice = "\xE2\x9C\x85 Signal received from process " + std::to_string(pid) +
                               ", exiting...\n\n\n";
    const size_t at = r.err.find(notice);
    ASSERT_NE(at, std::string::npos) << r.err;
    const std::vector<long> after = processed_counts(r.err.substr(at));
    // A cycle that began before capture saw the signal may transcribe first.
    EXPECT_GE(after.size(), 1u) << "what is pending is transcribed once more\n" << r.err;
    EXPECT_FALSE(read_protocol(r.out).empty());
}

TEST_F(QuillStream, ZeroSampleTranscriptionReportsNoEarlierSegments) {
    const struct {
        std::vector<std::string> names;
        samples audio;
        std::vector<long> counts;
        size_t transcriptions;
        std::vector<std::string> text_files;  // text the file holds, "" for an empty file
    } cases[] = {
        {{"-"}, {}, {0}, 0, {""}},
        // The second name finds standard input ended: its transcription has no
        // audio and must not repeat the first name's segments, on stdout or in
        // its result file, which it writes empty.
        {{"-", "-"}, tone(1200), {19200, 0}, 1, {"hello", ""}},
    };
    int run = 0;
    for (const auto & c : cases) {
        std::vector<std::string> options = {"-m", test_model("fixed.bin"), "-otxt"};
        std::vector<std::string> paths;
        for (size_t k = 0; k < c.names.size(); ++k) {
            paths.push_back(dir + "/run" + std::to_string(run) + "-" + std::to_string(k));
            options.insert(options.end(), {"-of", paths.back()});
        }
        ++run;
        options.insert(options.end(), c.names.begin(), c.names.end());
        const process_result r = run_stream(options, c.audio, false, pace::one_write);
        EXPECT_EQ(r.exit_status, 0) << r.err;
        EXPECT_EQ(processed_counts(r.err), c.counts) << r.err;
        EXPECT_NE(r.err.find("(0 samples, 0.0 sec)"), std::string::npos);
        EXPECT_EQ(read_protocol(r.out).size(), c.transcriptions) << r.out;
        for (size_t k = 0; k < paths.size(); ++k) {
            const std::string file = paths[k] + ".txt";
            if (c.text_files[k].empty()) {
                EXPECT_EQ(access(file.c_str(), F_OK), 0) << file;
                EXPECT_EQ(read_file(file), "") << file;
            } else {
                EXPECT_NE(read_file(file).find(c.text_files[k]), std::string::npos) << file;
            }
        }
    }
}

TEST_F(QuillStream, FailedTranscriptionEndsWithStatusTen) {
    // An audio context larger than the model's makes the library fail.
    const process_result r = run_stream({"-m", test_model("fixed.bin"), "-ac", "100000", "-"}, tone(2000), false,
                                        pace::one_write);
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.exit_status, 10);
    EXPECT_NE(r.err.find("failed to process audio\n"), std::string::npos) << r.err;
    EXPECT_EQ(r.out.find("transcription"), std::string::npos);
}

TEST_F(QuillStream, StandardErrorLinesOfEachTranscription) {
    const std::string warning =
        "whisper_processing_thread: WARNING: model is not multilingual, ignoring language and translation options\n";
    // 19,200 samples: one transcription, after the close.
    const struct {
        std::vector<std::string> options;
        size_t system_info, warnings;
        std::string expected;  // somewhere on stderr
        size_t transcriptions;
    } cases[] = {
        {{}, 1, 0, "lang = en,", 1},
        {{"--no-prints"}, 0, 0, "", 1},
        {{"-l", "de", "-tr"}, 1, 1, "lang = en, task = transcribe", 1},
        {{"-l", "de", "--no-prints"}, 0, 1, "", 1},
        {{"-dl"}, 1, 0, "lang = auto,", 0},  // the library stops after detecting the language
        {{"-t", "0", "-p", "0"}, 1, 0, "0 threads, 0 processors", 1},  // the library still gets one of each
        {{"-pp", "-np"}, 0, 0, "whisper_print_progress_callback: progress = 100%\n", 1},
        {{"--grammar", "root ::= \" hello world.\"", "--grammar-rule", "greeting", "-np"}, 0, 0,
         "whisper_processing_thread: warning: grammar rule 'greeting' not found - skipping grammar sampling\n", 1},
    };
    for (const auto & c : cases) {
        std::vector<std::string> options = {"-m", test_model("fixed.bin")};
        options.insert(options.end(), c.options.begin(), c.options.end());
        options.push_back("-");
        const process_result r = run_stream(options, tone(1200), false, pace::one_write);
        const std::string what = testing::PrintToString(c.options);
        EXPECT_EQ(r.exit_status, 0) << what << r.err;
        EXPECT_EQ(count_of(r.err, "\nsystem_info: n_threads = "), c.system_info) << what;
        EXPECT_EQ(count_of(r.err, "whisper_processing_thread: processing '-' (19200 samples, 1.2 sec)"), c.system_info)
            << what;
        EXPECT_EQ(count_of(r.err, warning), c.warnings) << what;
        if (!c.expected.empty()) {
            EXPECT_NE(r.err.find(c.expected), std::string::npos) << what << r.err;
        }
        EXPECT_EQ(read_protocol(r.out).size(), c.transcriptions) << what;
    }
}

// A tone, a second of silence, a tone: two chunks, cut in the silence.
samples two_chunks() { return join({tone(1500), silence(1000), tone(1200)}); }

// With DTW token timestamps the library reports new segments in its own way;
// what standard output shows must not change.
TEST_F(QuillStream, DtwTimestampsPrintTheSameProtocol) {
    for (const bool dtw : {false, true}) {
        SCOPED_TRACE(dtw ? "-dtw tiny.en" : "no DTW");
        // A short audio context keeps the model's encoder cheap; the text is the same.
        std::vector<std::string> options = {"-m", test_model("tiny.bin"), "-t", "2", "-ac", "128"};
        if (dtw) {
            options.insert(options.end(), {"-dtw", "tiny.en"});
        }
        options.push_back("-");
        const process_result r = run_stream(options, two_chunks(), false, pace::one_write);
        ASSERT_EQ(r.exit_status, 0) << r.err;
        const std::vector<transcription> seen = read_protocol(r.out);
        ASSERT_FALSE(seen.empty()) << r.out;
        EXPECT_EQ(seen.size(), processed_counts(r.err).size()) << "every transcription prints\n" << r.out;
        EXPECT_EQ(seen.back().chunk, 2) << r.out;
        EXPECT_TRUE(std::any_of(seen.begin(), seen.end(), [](const transcription & t) { return t.silence_lines > 0; }))
            << r.out;
        for (const transcription & t : seen) {
            EXPECT_EQ(t.texts, std::vector<std::string>{" hello world."});
        }
    }
}

// The library trusts its window to lie inside the audio it is given, while
// the open chunk is often shorter than the options assume: the last
// transcription of each run must show what the same audio shows with a
// window that fits (status 0, no crash, no segments beyond the audio).
TEST_F(QuillStream, AWindowReachingPastTheOpenChunkTranscribesOnlyItsAudio) {
    const struct {
        std::vector<std::string> options, fitting;
    } cases[] = {
        {{"-p", "2", "-ot", "5000"}, {"-ot", "5000"}},
        {{"-d", "2147483647"}, {}},
        {{"-p", "2", "-d", "100000"}, {"-p", "2"}},
        {{"-ot", "500", "-d", "60000"}, {"-ot", "500"}},
    };
    const auto last_transcription = [](std::vector<std::string> options) {
        options.insert(options.begin(), {"-np", "-m", test_model("fixed.bin")});
        options.push_back("-");
        const process_result r = run_stream(options, tone(2000), false, pace::one_write);
        EXPECT_EQ(r.exit_status, 0) << r.err;
        const std::vector<transcription> seen = read_protocol(r.out);
        return seen.empty() ? transcription{} : seen.back();
    };
    for (const auto & c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.options));
        const transcription got = last_transcription(c.options);
        const transcription fitting = last_transcription(c.fitting);
        EXPECT_EQ(got.starts, fitting.starts);
        EXPECT_EQ(got.ends, fitting.ends);
        EXPECT_EQ(got.texts, fitting.texts);
        for (const long long end : got.ends) {
            EXPECT_LE(end, 2000);
        }
    }
}

// A line feed or a tab in a token must not break the line protocol: every
// line stays one JSON object, and the text comes back as the model said it.
TEST_F(QuillStream, ControlBytesInTheTextStayInsideTheirLine) {
    const process_result r =
        run_stream({"-m", test_model("fixed-control.bin"), "-"}, two_chunks(), false, pace::one_write);
    ASSERT_EQ(r.exit_status, 0) << r.err;
    size_t segment_lines = 0;
    for (const std::string & line : split_lines(r.out)) {
        if (line.empty()) {
            continue;
        }
        nlohmann::json j;
        ASSERT_NO_THROW(j = nlohmann::json::parse(line)) << line;
        if (j.contains("transcription")) {
            ++segment_lines;
            EXPECT_EQ(j["transcription"]["text"], " hello\n\tworld.") << line;
        }
    }
    EXPECT_EQ(segment_lines, processed_counts(r.err).size()) << r.out;
}

// Tokens may cut a character in two, and a strict JSON reader drops a line
// that is not UTF-8. This model says "你好." in the tokens E4 BD, A0 E5 and
// A5 BD; with "-ml 1" the library ends a segment after the first, so each
// segment text and each coloured token holds a broken character, which must
// reach the reader as U+FFFD, one per maximal ill-formed subpart.
TEST_F(QuillStream, TokensThatSplitACharacterStillGiveUtf8Lines) {
    const std::string fffd = "\xEF\xBF\xBD";
    const std::vector<std::string> k_texts = {fffd, fffd + "\xE5\xA5\xBD", "."};
    const std::vector<std::string> k_colored_tokens = {fffd, fffd + fffd + fffd + fffd, "."};
    for (const bool colors : {false, true}) {
        SCOPED_TRACE(colors ? "with --print-colors" : "plain");
        std::vector<std::string> options = {"-m", test_model("fixed-split-character.bin"), "-ml", "1", "-"};
        if (colors) {
            options.insert(options.end() - 1, "-pc");
        }
        // One chunk: the library reports the three segments in one batch,
        // and the protocol reader expects a cut's batches to hold one each.
        const process_result r = run_stream(options, tone(2500), false, pace::one_write);
        ASSERT_EQ(r.exit_status, 0) << r.err;
        EXPECT_NO_THROW((void)nlohmann::json(r.out).dump()) << "not UTF-8 throughout";
        // The colour escapes and the tokens they wrap stand before the object.
        static const std::regex k_color_escape("\x1b\\[[0-9;]*m");
        std::string objects;
        std::vector<std::string> prefixes;
        for (const std::string & line : split_lines(r.out)) {
            const size_t object = line.find("{ \"transcription\"");
            if (object != std::string::npos) {
                prefixes.push_back(std::regex_replace(line.substr(0, object), k_color_escape, ""));
            }
            objects += (object == std::string::npos ? line : line.substr(object)) + "\n";
        }
        const std::vector<transcription> seen = read_protocol(objects);
        ASSERT_FALSE(seen.empty()) << r.out;
        for (const transcription & t : seen) {
            EXPECT_EQ(t.texts, k_texts);
        }
        for (size_t k = 0; k < prefixes.size(); ++k) {
            EXPECT_EQ(prefixes[k], colors ? k_colored_tokens[k % k_colored_tokens.size()] : "") << k;
        }
    }
}

// Lines that cannot be written are not lost in silence: one message, the
// transcription under way finished with its result files, then the status.
TEST_F(QuillStream, UnwritableStandardOutputEndsWithItsOwnStatus) {
    if (access("/dev/full", W_OK) != 0) {
        GTEST_SKIP() << "no /dev/full here";
    }
    const std::string audio = file_with("audio.raw", pcm_bytes(tone(5000), false));
    quill_session s = start_quill_with({"-m", test_model("fixed.bin"), "-otxt", "-of", dir + "/out", "-"},
                                       {{std_descriptor::file, audio}, {std_descriptor::file, "/dev/full"}, {}});
    const process_result r = finish_quill(s, k_finish_limit);
    ASSERT_TRUE(r.exited) << r.err;
    EXPECT_EQ(r.exit_status, 11) << r.err;
    const std::string message = std::string("failed to write to standard output: ") + std::strerror(ENOSPC) + "\n";
    const size_t at = r.err.find(message);
    ASSERT_NE(at, std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("failed to write to standard output", at + 1), std::string::npos) << "one message\n" << r.err;
    EXPECT_EQ(processed_counts(r.err).size(), 1u) << r.err;
    EXPECT_EQ(read_file(dir + "/out.txt"), " hello world.\n");
}

// A reader that closes its end ends the program by SIGPIPE, as it ends most
// programs; a parent that ignores SIGPIPE hands that on through exec, and
// then the failed write is reported, the transcription under way finished
// with its result files, and the status tells.
TEST_F(QuillStream, ClosedReaderEndsBySigpipeUnlessTheParentIgnoresIt) {
    const std::string audio = file_with("audio.raw", pcm_bytes(tone(5000), false));
    const std::string message = std::string("failed to write to standard output: ") + std::strerror(EPIPE) + "\n";
    const struct {
        child_sigpipe sigpipe;
        bool exited;
        int exit_status, term_signal;
        std::string text_file;
    } cases[] = {
        {child_sigpipe::default_action, false, -1, SIGPIPE, ""},
        {child_sigpipe::ignored, true, 11, 0, " hello world.\n"},
    };
    for (const auto & c : cases) {
        SCOPED_TRACE(c.exited ? "SIGPIPE ignored" : "SIGPIPE by default");
        int out_pipe[2];
        ASSERT_EQ(pipe(out_pipe), 0);
        fcntl(out_pipe[1], F_SETFD, FD_CLOEXEC);
        close(out_pipe[0]);
        const std::string out_name = dir + "/out" + std::to_string(c.exited);
        quill_session s = start_quill_with(
            {"-m", test_model("fixed.bin"), "-otxt", "-of", out_name, "-"},
            {{std_descriptor::file, audio}, {std_descriptor::given, "", out_pipe[1]}, {}}, "", c.sigpipe);
        close(out_pipe[1]);
        const process_result r = finish_quill(s, k_finish_limit);
        EXPECT_FALSE(r.timed_out);
        EXPECT_EQ(r.exited, c.exited) << r.err;
        EXPECT_EQ(r.exit_status, c.exit_status) << r.err;
        EXPECT_EQ(r.term_signal, c.term_signal);
        EXPECT_EQ(count_of(r.err, message), c.exited ? 1u : 0u) << r.err;
        EXPECT_EQ(processed_counts(r.err).size(), 1u) << r.err;
        EXPECT_EQ(read_file(out_name + ".txt"), c.text_file);
    }
}

// A parent may hand over a non-blocking descriptor (its own end set so, or a
// terminal another tool left so): a reader that pauses fills the pipe, which
// is a wait and not a failure; every line arrives once it reads again.
TEST_F(QuillStream, NonBlockingStandardOutputWaitsForAPausingReader) {
    constexpr int k_chunks = 40;  // each prints about 150 bytes
    samples audio;
    for (int k = 0; k < k_chunks; ++k) {
        audio = join({audio, tone(1500), k + 1 < k_chunks ? silence(1000) : samples{}});
    }
    int out_pipe[2];
    ASSERT_EQ(pipe(out_pipe), 0);
    for (int fd : out_pipe) {
        fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
    // The flag belongs to the pipe's write end, which the child shares.
    ASSERT_EQ(fcntl(out_pipe[1], F_SETFL, fcntl(out_pipe[1], F_GETFL) | O_NONBLOCK), 0);
#ifdef F_SETPIPE_SZ
    const int capacity = fcntl(out_pipe[1], F_SETPIPE_SZ, 4096);
    ASSERT_GT(capacity, 0) << std::strerror(errno);
#else
    const int capacity = 16384;  // macOS's pipes, until a large write grows them
#endif
    quill_session s = start_quill_with({"-m", test_model("fixed.bin"), "-"},
                                       {{std_descriptor::file, file_with("audio.raw", pcm_bytes(audio, false))},
                                        {std_descriptor::given, "", out_pipe[1]},
                                        {}});
    close(out_pipe[1]);
    // The reader pauses, reading standard error only, until no further line
    // fits in the pipe (or the program has ended), and a while longer, so the
    // program meets the full pipe.
    const auto pipe_full = [&] {
        int queued = 0;
        return ioctl(out_pipe[0], FIONREAD, &queued) == 0 && queued > capacity - 256;
    };
    pump(s, std::chrono::steady_clock::now() + k_finish_limit, pipe_full);
    pump(s, std::chrono::steady_clock::now() + 2s);
    s.child.stdout_fd = out_pipe[0];  // read from now on like the usual pipe
    const process_result r = finish_quill(s, k_finish_limit);
    ASSERT_TRUE(r.exited) << r.err;
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(r.err.find("failed to write to standard output"), std::string::npos) << r.err;
    const std::vector<transcription> seen = read_protocol(r.out);
    EXPECT_EQ(seen.size(), processed_counts(r.err).size()) << "every transcription's lines arrive";
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.back().chunk, k_chunks);
}

// A read that fails is not an end of input: what was read is transcribed,
// then the failure is reported and shows in the status.
TEST_F(QuillStream, UnreadableStandardInputIsReportedAfterWhatWasRead) {
    const std::vector<std::string> options = {"-m", test_model("fixed.bin"), "-"};
    const auto expect_failure = [](const process_result & r, int error, const std::vector<long> & counts,
                                   size_t transcriptions) {
        ASSERT_TRUE(r.exited) << r.err;
        EXPECT_EQ(r.exit_status, 12) << r.err;
        const std::string message =
            std::string("failed to read audio from standard input: ") + std::strerror(error) + "\n";
        EXPECT_NE(r.err.find(message), std::string::npos) << r.err;
        EXPECT_EQ(processed_counts(r.err), counts) << r.err;
        EXPECT_EQ(read_protocol(r.out).size(), transcriptions) << r.out;
    };
    {
        SCOPED_TRACE("a directory");
        quill_session s = start_quill_with(options, {{std_descriptor::file, TEST_SOURCE_DIR}, {}, {}});
        expect_failure(finish_quill(s, k_finish_limit), EISDIR, {0}, 0);
    }
    {
        // Linux resets a UNIX socket's reader once its peer closes with bytes
        // of its own unread; the reader first gets everything sent before.
        SCOPED_TRACE("a socket reset after 1.2 s of audio");
        int pair[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
        for (int fd : pair) {
            fcntl(fd, F_SETFD, FD_CLOEXEC);
        }
        quill_session s = start_quill_with(options, {{std_descriptor::given, "", pair[1]}, {}, {}});
        const std::string audio = pcm_bytes(tone(1200), false);
        for (size_t done = 0; done < audio.size();) {
            const ssize_t n = write(pair[0], audio.data() + done, audio.size() - done);
            ASSERT_GT(n, 0) << std::strerror(errno);
            done += static_cast<size_t>(n);
        }
        ASSERT_EQ(write(pair[1], "x", 1), 1);
        close(pair[1]);
        close(pair[0]);
        expect_failure(finish_quill(s, k_finish_limit), ECONNRESET, {19200}, 1);
    }
}

} // namespace
