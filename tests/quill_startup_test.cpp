// Start-up and shutdown of the transcriber through the real program: exit
// statuses, the exact messages on standard error, the response file and SIGINT.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "process.h"
#include "quill_session.h"
#include "speech.h"
#include "temp_dir_test.h"

namespace {

const std::string k_missing_input = "/nonexistent/input.wav";

// The usage text names the program as it was started; the golden files call
// it lanternwick-quill.
std::string usage_threads8() {
    return read_file(std::string(TEST_SOURCE_DIR) + "/golden/usage_threads8.txt");
}

// The usage text shows current values: the golden text with some of them changed.
std::string usage_threads8_with(const std::vector<std::pair<std::string, std::string>> & changes) {
    std::string usage = usage_threads8();
    for (const auto & change : changes) {
        const size_t at = usage.find(change.first);
        if (at != std::string::npos) {
            usage.replace(at, change.first.size(), change.second);
        }
    }
    return usage;
}

std::string with_program_name(std::string text) {
    const std::string started_as = std::string("usage: ") + QUILL_BINARY + " ";
    const size_t at = text.find(started_as);
    if (at != std::string::npos) {
        text.replace(at, started_as.size(), "usage: lanternwick-quill ");
    }
    return text;
}

bool ends_with(const std::string & text, const std::string & tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

struct startup_case {
    std::vector<std::string> args;
    int status;
    std::string err;      // what standard error holds, or ends with when `err_is_tail`
    bool err_is_tail;
};

// The bounds the transcriber derives from this machine's hardware threads,
// worked out here on purpose rather than taken from the transcriber's own
// code, so that a fault there shows in its messages: 4 when the platform
// cannot tell, and at most 65,536, as the transcriber caps it.
int hardware_threads() {
    const unsigned reported = std::thread::hardware_concurrency();
    return reported == 0 ? 4 : static_cast<int>(std::min(reported, 65536u));
}
int thread_bound() { return 4 * hardware_threads(); }

// An incomplete model still ends with the line of any model that does not
// load, which callers match on.
std::string incomplete_model_error(const std::string & path) {
    return "error: model file '" + path + "' is incomplete\nerror: failed to initialize whisper context\n";
}

std::string bad_value(const std::string & option, const std::string & value, const std::string & problem) {
    return "error: argument " + option + ": value '" + value + "' " + problem + "\n";
}

TEST(quill_startup, argument_and_start_up_errors) {
    const std::string usage = usage_threads8();
    const std::string threads = std::to_string(hardware_threads());
    const std::string too_many_threads = std::to_string(thread_bound() + 1);
    const std::string too_many_processors = std::to_string(hardware_threads() + 1);
    const std::string long_regex(1025, 'a');
    const startup_case cases[] = {
        {{"-t", "8"}, 2, "error: no input files specified\n" + usage, false},
        {{"-t", "8", k_missing_input, "/nonexistent/second.wav"},
         2,
         "error: input file not found '" + k_missing_input + "'\n"
         "error: input file not found '/nonexistent/second.wav'\n"
         "error: no input files specified\n" + usage,
         false},
        {{"-t", "8", "-h", "-bogus"}, 0, usage, false},
        {{"-t", "8", "--threads=8", "-"}, 0, "error: unknown argument: --threads=8\n" + usage, false},
        {{"-t"}, 0, "error: argument -t requires value\n", false},
        {{"-", "-m"}, 0, "error: argument -m requires value\n", false},
        {{"-t", "many", "-"}, 0, "error: argument -t: value 'many' is not a number\n", false},
        {{"-t", "8", "-l", "xx", "-"},
         0,
         "error: unknown language 'xx'\n" + usage_threads8_with({{"[en     ] spoken", "[xx     ] spoken"}}),
         true},
        {{"-t", "8", "-np", "-l", "Klingon", "-"},
         0,
         "error: unknown language 'klingon'\n" +
             usage_threads8_with({{"[en     ] spoken", "[klingon] spoken"}, {"[false  ] do not print any", "[true   ] do not print any"}}),
         true},
        // Exactly this on stderr: no model is loaded, so the library says nothing.
        {{"-t", "8", "-di", "-tdrz", "-"},
         0,
         "error: cannot use both --diarize and --tinydiarize\n" +
             usage_threads8_with({{"[false  ] stereo audio", "[true   ] stereo audio"},
                                  {"[false  ] enable tinydiarize", "[true   ] enable tinydiarize"}}),
         false},
        // The preset is checked before the model, so the wrong path is never reached.
        {{"-dtw", "Tiny.en", "-m", "/nonexistent/model.bin", "-"}, 3, "error: unknown DTW preset 'Tiny.en'\n", false},
        {{"-dtw", "large", "-"}, 3, "error: unknown DTW preset 'large'\n", false},
        // Values the library cannot survive are refused like a bad number,
        // before the model is loaded or any audio read.
        {{"-tp", "2", "-"}, 0, bad_value("-tp", "2", "is not between 0 and 1"), false},
        {{"--temperature", "-0.1", "-"}, 0, bad_value("--temperature", "-0.1", "is not between 0 and 1"), false},
        {{"-tp", "-inf", "-"}, 0, bad_value("-tp", "-inf", "is not between 0 and 1"), false},
        {{"-tp", "inf", "-"}, 0, bad_value("-tp", "inf", "is not between 0 and 1"), false},
        {{"-tp", "nan", "-"}, 0, bad_value("-tp", "nan", "is not between 0 and 1"), false},
        {{"-tpi", "-0.2", "-"}, 0, bad_value("-tpi", "-0.2", "is negative"), false},
        {{"--temperature-inc", "inf", "-"}, 0, bad_value("--temperature-inc", "inf", "is not finite"), false},
        {{"-tpi", "nan", "-"}, 0, bad_value("-tpi", "nan", "is not finite"), false},
        {{"-tpi", "1e-30", "-"}, 0, bad_value("-tpi", "1e-30", "is below 0.001 and not 0"), false},
        {{"-ot", "-1", "-"}, 0, bad_value("-ot", "-1", "is negative"), false},
        {{"--offset-t", "-5000", "-"}, 0, bad_value("--offset-t", "-5000", "is negative"), false},
        {{"-d", "-100", "-"}, 0, bad_value("-d", "-100", "is negative"), false},
        {{"--suppress-regex", "(", "-"},
         0, bad_value("--suppress-regex", "(", "is not a valid regular expression"), false},
        {{"--suppress-regex", "[a-", "-"},
         0, bad_value("--suppress-regex", "[a-", "is not a valid regular expression"), false},
        {{"--suppress-regex", long_regex, "-"},
         0, bad_value("--suppress-regex", long_regex, "is longer than 1024 bytes"), false},
        // The matcher that tokenises a prompt needs stack and time that grow
        // with the text; the value is far too long to echo.
        {{"--prompt", std::string(8193, 'x'), "-"},
         0, "error: argument --prompt: value is 8193 bytes long, more than the 8192 bytes that can be tokenised\n",
         false},
        {{"-t", too_many_threads, "-"},
         0,
         bad_value("-t", too_many_threads, "is above " + std::to_string(thread_bound()) + ", 4 times the " + threads +
                                               " hardware threads of this machine"),
         false},
        {{"--threads", "100000", "-"},
         0,
         bad_value("--threads", "100000", "is above " + std::to_string(thread_bound()) + ", 4 times the " + threads +
                                                " hardware threads of this machine"),
         false},
        {{"-p", too_many_processors, "-"},
         0,
         bad_value("-p", too_many_processors, "is above " + threads + ", the hardware threads of this machine"),
         false},
        // The model's header tells its size before the library loads it.
        {{"-dtw", "tiny.en", "-m", test_model("fixed.bin"), "-"},
         3,
         "error: DTW preset 'tiny.en' is for a model with 4 text layers of width 384, but '" + test_model("fixed.bin") +
             "' has 1 of width 64\n",
         false},
        {{"-dtw", "base", "-m", test_model("tiny.bin"), "-"},
         3,
         "error: DTW preset 'base' is for a model with 6 text layers of width 512, but '" + test_model("tiny.bin") +
             "' has 4 of width 384\n",
         false},
        {{"-dtw", "large.v3.turbo", "-m", test_model("tiny.bin"), "-"},
         3,
         "error: DTW preset 'large.v3.turbo' is for a model with 4 text layers of width 1280, but '" +
             test_model("tiny.bin") + "' has 4 of width 384\n",
         false},
        // Without a header to read, the library judges the file as before.
        {{"-np", "-dtw", "tiny", "-m", test_model("empty.bin"), "-"},
         3, "error: failed to initialize whisper context\n", false},
        {{"-m", "/nonexistent/model.bin", "-"}, 3, "error: failed to initialize whisper context\n", true},
        {{"-m", test_model("empty.bin"), "-"}, 3, "error: failed to initialize whisper context\n", true},
        {{"-m", test_model("truncated.bin"), "-"},
         3, incomplete_model_error(test_model("truncated.bin")), false},
        {{"-m", test_model("bad-magic.bin"), "-"}, 3, "error: failed to initialize whisper context\n", true},
        // With "--no-prints" the library's own log is gone, so only our line is left.
        {{"-np", "-m", "/nonexistent/model.bin", "-"}, 3, "error: failed to initialize whisper context\n", false},
        {{"-np", "-m", test_model("empty.bin"), "-"}, 3, "error: failed to initialize whisper context\n", false},
        {{"-np", "-m", test_model("truncated.bin"), "-"},
         3, incomplete_model_error(test_model("truncated.bin")), false},
        {{"-np", "-m", test_model("bad-magic.bin"), "-"}, 3, "error: failed to initialize whisper context\n", false},
    };
    for (const startup_case & c : cases) {
        const process_result result = run_quill(c.args);
        const std::string label = c.args.size() > 2 ? c.args[0] + " " + c.args[1] + " " + c.args[2] : c.args[0];
        ASSERT_TRUE(result.exited) << label << " signal " << result.term_signal;
        EXPECT_EQ(result.exit_status, c.status) << label;
        const std::string err = with_program_name(result.err);
        if (c.err_is_tail) {
            EXPECT_TRUE(ends_with(err, c.err)) << label << "\n" << err;
        } else {
            EXPECT_EQ(err, c.err) << label;
        }
        EXPECT_EQ(result.out, "") << label;
    }
}

TEST(quill_startup, runs_that_load_a_model_end_with_status_0) {
    const std::vector<std::vector<std::string>> cases = {
        {"-m", test_model("fixed.bin"), "-"},
        {"-np", "-m", test_model("fixed.bin"), "-"},
        {"-l", "AUTO", "-m", test_model("fixed.bin"), "-"},
        {"-m", test_model("fixed.bin"), k_missing_input, "-"},
        {"-m", test_model("fixed.bin"), "-", "-"},
        {"-np", "-oved", "GPU", "-m", test_model("fixed.bin"), "-"},
        {"-np", "-dtw", "tiny.en", "-m", test_model("tiny.bin"), "-"},
        {"-np", "-dtw", "tiny", "-m", test_model("tiny.bin"), "-"},
        // The edges of what is refused.
        {"-np", "-tp", "1", "-tpi", "0", "-ot", "0", "-d", "0", "-m", test_model("fixed.bin"), "-"},
        {"-np", "-tp", "0", "-tpi", "0.001", "-m", test_model("fixed.bin"), "-"},
        {"-np", "-t", std::to_string(thread_bound()), "-p", std::to_string(hardware_threads()), "-m",
         test_model("fixed.bin"), "-"},
        {"-np", "--suppress-regex", std::string(1024, 'a'), "-m", test_model("fixed.bin"), "-"},
    };
    for (const auto & args : cases) {
        const process_result result = run_quill(args);
        ASSERT_TRUE(result.exited) << args[0] << " " << args[1] << " signal " << result.term_signal;
        EXPECT_EQ(result.exit_status, 0) << args[0] << " " << args[1] << "\n" << result.err;
    }
}

// A thread's stack is as large as the stack limit says, so with a limit far
// beyond memory no thread can start: the run must say so and fail cleanly.
TEST(quill_startup, a_thread_that_cannot_start_is_reported_with_status_5) {
#if defined(__SANITIZE_THREAD__)
    // ThreadSanitizer's runtime lays out its shadow memory at start-up and,
    // under such a stack limit, aborts before the program runs.
    GTEST_SKIP() << "ThreadSanitizer's runtime cannot start under a stack limit beyond memory";
#endif
    const std::string command = "ulimit -s 1000000000 || exit 99; exec \"$0\" -np -m \"$1\" -";
    const process_result result =
        run_process({"/bin/sh", "-c", command, QUILL_BINARY, test_model("fixed.bin")}, "", std::chrono::seconds(60));
    ASSERT_TRUE(result.exited) << "signal " << result.term_signal << "\n" << result.err;
    if (result.exit_status == 99 || result.exit_status == 0) {
        GTEST_SKIP() << "this platform starts threads whatever the stack limit";
    }
    EXPECT_EQ(result.exit_status, 5);
    EXPECT_EQ(result.err.rfind("error: failed to start a thread: ", 0), 0u) << result.err;
    EXPECT_EQ(result.out, "");
}

TEST(quill_startup, a_missing_input_is_reported_and_the_rest_runs) {
    const process_result result = run_quill({"-np", "-m", test_model("fixed.bin"), k_missing_input, "-"});
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(result.err.rfind("error: input file not found '" + k_missing_input + "'\n", 0), 0u) << result.err;
}

TEST(quill_startup, timing_report_unless_no_prints) {
    const process_result loud = run_quill({"-m", test_model("fixed.bin"), "-"});
    EXPECT_EQ(loud.exit_status, 0);
    EXPECT_NE(loud.err.find("total time"), std::string::npos) << loud.err;

    const process_result quiet = run_quill({"-np", "-m", test_model("fixed.bin"), "-"});
    EXPECT_EQ(quiet.exit_status, 0);
    EXPECT_EQ(quiet.err.find("total time"), std::string::npos) << quiet.err;
}

class quill_response_file : public temp_dir_test {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(temp_dir_test::SetUp());
        path = dir + "/args.txt";
    }
    std::string path;
};

// The stack limit is what Linux gives every thread; 512 KiB is what macOS
// gives a secondary one. Under ThreadSanitizer a transcription needs more
// than that even without a prompt, but 1 MiB is still less than the library's
// matcher needs for the Chinese prompt below.
#if defined(__SANITIZE_THREAD__)
constexpr const char * k_small_stack_kib = "1024";
#else
constexpr const char * k_small_stack_kib = "512";
#endif

// The program under that stack limit, with `options` and `input`; status 99
// when the limit cannot be set.
process_result run_quill_under_small_stack(const std::vector<std::string> & options, const std::string & input) {
    const std::string command = "ulimit -s " + std::string(k_small_stack_kib) + " || exit 99; exec \"$0\" \"$@\"";
    std::vector<std::string> argv = {"/bin/sh", "-c", command, QUILL_BINARY};
    argv.insert(argv.end(), options.begin(), options.end());
    return run_process(argv, input, std::chrono::seconds(120));
}

// One run of `characters` Chinese characters (three bytes each) for the
// library's word splitter.
std::string chinese_run(int characters) {
    std::string text;
    for (int i = 0; i < characters; ++i) {
        text += "\xE4\xB8\xAD";
    }
    return text;
}

// The prompt is tokenised once, on a stack the program sizes itself, so the
// stack limit no longer bounds it.
TEST(quill_startup, prompts_up_to_the_bound_transcribe_under_a_small_stack_limit) {
    std::string prose;
    while (prose.size() < 8192) {
        prose += "The quick brown fox, 12 years old, jumps over the lazy dog. ";
    }
    prose.resize(8192);
    const std::string one_second = pcm16_bytes(silence(1000));
    for (const std::string & prompt : {std::string("Meeting notes."), chinese_run(700), prose}) {
        const process_result result =
            run_quill_under_small_stack({"-np", "-m", test_model("fixed.bin"), "--prompt", prompt, "-"}, one_second);
        const std::string label = prompt.substr(0, 16);
        ASSERT_TRUE(result.exited) << label << " signal " << result.term_signal << "\n" << result.err;
        ASSERT_NE(result.exit_status, 99) << "the stack limit cannot be set here";
        EXPECT_EQ(result.exit_status, 0) << label << "\n" << result.err;
        EXPECT_NE(result.out.find("\"text\": \" hello world.\""), std::string::npos) << label << "\n" << result.out;
    }
}

// A model with no piece of the prompt tokenises it into nothing. Had the
// text then gone to the library, it would have been tokenised again in every
// transcription, on the processing thread's stack, which the limit bounds:
// the matcher overran it in the first one.
TEST(quill_startup, a_prompt_the_model_has_no_piece_of_is_not_tokenised_again_in_each_transcription) {
    const process_result result =
        run_quill_under_small_stack({"-np", "-m", test_model("fixed-ascii.bin"), "--prompt", chinese_run(700), "-"},
                                    pcm16_bytes(silence(6000)));
    ASSERT_TRUE(result.exited) << "signal " << result.term_signal << "\n" << result.err;
    ASSERT_NE(result.exit_status, 99) << "the stack limit cannot be set here";
    EXPECT_EQ(result.exit_status, 0) << result.err;
    EXPECT_EQ(result.err, "");
    // Six seconds of silence are cut into several chunks, each transcribed.
    EXPECT_GE(count_of(result.out, "\"text\": \" hello world.\""), 3u) << result.out;
}

TEST_F(quill_response_file, replaces_the_command_line) {
    struct {
        std::string contents;
        int status;
        std::string err;
    } const cases[] = {
        {"-np\n-m\n" + test_model("fixed.bin") + "\n-", 0, ""},
        {"-np\r\n-\r\n", 0, "error: unknown argument: -np\r\n"},
        {"-np\n\n", 2, "error: input file not found ''\nerror: no input files specified\n"},
        {"", 2, "error: no input files specified\n"},
        {"--prompt\n" + std::string(5000000, 'x') + "\n-\n",
         0, "error: argument --prompt: value is 5000000 bytes long, more than the 8192 bytes that can be tokenised\n"},
    };
    for (const auto & c : cases) {
        write_file(path, c.contents);
        const process_result result = run_quill({"@" + path});
        EXPECT_EQ(result.exit_status, c.status) << c.contents;
        EXPECT_EQ(result.err.rfind(c.err, 0), 0u) << c.contents << "\n" << result.err;
    }
}

TEST_F(quill_response_file, a_second_argument_makes_it_an_input_name) {
    write_file(path, "-dtw\nnonsense\n");
    const process_result result = run_quill({"@" + path, "-np", "-m", "/nonexistent/model.bin"});
    EXPECT_EQ(result.exit_status, 2);
    EXPECT_EQ(result.err.rfind("error: input file not found '@" + path + "'\n", 0), 0u) << result.err;
}

TEST_F(quill_response_file, missing_file_gives_status_1) {
    const process_result result = run_quill({"@/nonexistent/args.txt"});
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(result.err, "error: response file '/nonexistent/args.txt' not found\n");
}

// Reads what a running child prints until standard error holds `needle`
// `times` times (true) or the time is up or its output closed (false).
bool wait_for_stderr(quill_session & s, const std::string & needle, size_t times, std::chrono::milliseconds limit) {
    return pump(s, std::chrono::steady_clock::now() + limit, [&] { return count_of(s.err, needle) >= times; });
}

// Collects what a running child prints, without closing its standard input;
// true when both output pipes have reached their end in time.
bool wait_for_both_pipes_to_close(quill_session & s, std::chrono::milliseconds limit) {
    pump(s, std::chrono::steady_clock::now() + limit);
    return s.child.stdout_fd < 0 && s.child.stderr_fd < 0;
}

// Opens the writing end once the program waits at the reading end, rather
// than blocking forever if it never does. A signal that interrupts the
// program's open leaves the FIFO without a reader until the open is
// restarted, so a loaded machine may need more than one try.
int open_fifo_for_writing(const std::string & fifo, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        const int fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
        if (fd >= 0) {
            fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
            return fd;
        }
        usleep(10000);
    }
    return -1;
}

// Ends a child that a failed assertion left behind.
struct child_guard {
    child_process & child;
    ~child_guard() {
        if (child.pid > 0) {
            kill(child.pid, SIGKILL);
            finish_process(child, std::chrono::seconds(5));
        }
    }
};

using quill_signal = temp_dir_test;

std::string signal_notice(pid_t pid) {
    return "\xE2\x9C\x85 Signal received from process " + std::to_string(pid) + ", exiting...\n\n\n";
}

// ThreadSanitizer holds a signal back until the call it interrupts returns,
// blind to a library's open or read that waits. There the test ends the wait
// after the signal, and what it shows is that the handler, once it runs,
// still ends start-up at once.
#if defined(__SANITIZE_THREAD__)
constexpr bool k_signals_wait_for_blocked_calls = true;
#else
constexpr bool k_signals_wait_for_blocked_calls = false;
#endif

// Start-up waiting where the program looks at no flag, with the model at
// `model`: a SIGINT a second after the library announced the model ends the
// program at once, with the notice and status 0, though standard input stays
// open. `end_wait` gives the library's wait what it waits for, but only
// where signals wait for it.
void expect_sigint_to_end_start_up(const std::string & model, const std::function<void(quill_session &)> & end_wait) {
    quill_session s = start_quill({"-m", model, "-"});
    child_guard guard{s.child};
    ASSERT_TRUE(wait_for_stderr(s, "'" + model + "'", 1, std::chrono::seconds(20))) << s.err;
    std::this_thread::sleep_for(std::chrono::seconds(1));
    kill(s.child.pid, SIGINT);
    if (k_signals_wait_for_blocked_calls) {
        end_wait(s);
    }
    ASSERT_TRUE(wait_for_both_pipes_to_close(s, std::chrono::seconds(3)))
        << "still running 3 s after the signal\n" << s.err;
    const pid_t pid = s.child.pid;
    const process_result result = finish_quill(s, std::chrono::seconds(5));
    ASSERT_TRUE(result.exited) << "signal " << result.term_signal << "\n" << result.err;
    EXPECT_EQ(result.exit_status, 0) << result.err;
    EXPECT_TRUE(ends_with(result.err, signal_notice(pid))) << result.err;
    EXPECT_EQ(count_of(result.err, signal_notice(pid)), 1u) << result.err;
    EXPECT_EQ(result.out, "");
}

// The library opens the FIFO by name and waits for a writer.
TEST_F(quill_signal, a_sigint_while_the_model_fifo_has_no_writer_ends_the_program_with_status_0) {
    const std::string fifo = dir + "/model.fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    int writer = -1;
    expect_sigint_to_end_start_up(
        fifo, [&](quill_session &) { writer = open_fifo_for_writing(fifo, std::chrono::seconds(3)); });
    if (writer >= 0) {
        close(writer);
    }
}

// The library reads the model from standard input, where nothing comes.
TEST_F(quill_signal, a_sigint_while_the_model_read_waits_ends_the_program_with_status_0) {
    expect_sigint_to_end_start_up("/dev/stdin", [](quill_session & s) { write_to_child(s.child, "x"); });
}

// A partly downloaded model: the test model cut short. Before the check, the
// library aborted on the cuts at 16 and 24 bytes, failed the first
// transcription after a cut in or just after the header, took the cuts in the
// mel filters and the vocabulary for an empty model that transcribes nothing
// (status 0, silent with "--no-prints"), and loaded the one a byte short as
// if it were whole.
using quill_incomplete_model = temp_dir_test;

TEST_F(quill_incomplete_model, is_refused_with_status_3_before_the_library_loads_it) {
    const std::string whole = read_file(test_model("fixed.bin"));
    // The small model's mel filters end and its vocabulary begins at byte
    // 64,376; its first tensor begins at 65,680.
    const size_t cuts[] = {2, 16, 24, 40, 48, 64000, 65000, 65680, 100000, 300000, whole.size() / 2,
                           whole.size() - 1};
    const std::string path = dir + "/model.bin";
    // Two seconds of silence: enough for a transcription, which the
    // abort at 16 bytes and the empty model need to show themselves.
    const std::string audio = pcm16_bytes(silence(2000));
    for (const size_t cut : cuts) {
        write_file(path, whole.substr(0, cut));
        for (const bool quiet : {false, true}) {
            std::vector<std::string> args = {"-m", path, "-"};
            if (quiet) {
                args.insert(args.begin(), "-np");
            }
            const process_result result = run_quill(args, audio);
            ASSERT_TRUE(result.exited) << cut << " signal " << result.term_signal;
            EXPECT_EQ(result.exit_status, 3) << cut << (quiet ? " -np" : "");
            EXPECT_EQ(result.err, incomplete_model_error(path)) << cut;
            EXPECT_EQ(result.out, "") << cut;
        }
    }
}

// Fewer bytes after the last tensor than a tensor record starts with are
// left alone by the library, which loads and transcribes the model.
TEST_F(quill_incomplete_model, stray_bytes_after_the_last_tensor_are_accepted) {
    const std::string whole = read_file(test_model("fixed.bin"));
    const std::string path = dir + "/model.bin";
    const std::string audio = pcm16_bytes(silence(2000));
    for (const std::string & stray : {std::string("\n"), std::string(11, '\0')}) {
        write_file(path, whole + stray);
        const process_result result = run_quill({"-np", "-m", path, "-"}, audio);
        ASSERT_TRUE(result.exited) << stray.size() << " signal " << result.term_signal;
        EXPECT_EQ(result.exit_status, 0) << stray.size() << "\n" << result.err;
        EXPECT_EQ(result.err, "") << stray.size();
        EXPECT_NE(result.out.find("\"text\": \" hello world.\""), std::string::npos) << stray.size() << "\n"
                                                                                     << result.out;
    }
}

// The test model with one field changed to what no model the library loads
// holds. Before the check, the library indexed ggml's type table with the
// element types (SIGSEGV), asserted on the weight types and on a zero width
// (SIGABRT), divided by the zero head counts (SIGFPE) and aborted in the first
// transcription with heads that do not divide the width.
using quill_malformed_model = temp_dir_test;

int32_t i32_at(const std::string & bytes, size_t offset) {
    uint32_t value = 0;
    for (size_t i = 0; i < 4; ++i) {
        value |= static_cast<uint32_t>(static_cast<unsigned char>(bytes[offset + i])) << (8 * i);
    }
    return static_cast<int32_t>(value);
}

std::string with_i32_at(std::string bytes, size_t offset, int32_t value) {
    for (size_t i = 0; i < 4; ++i) {
        bytes[offset + i] = static_cast<char>(static_cast<uint32_t>(value) >> (8 * i));
    }
    return bytes;
}

// A header field of the test model by its place after the magic.
size_t header_field_offset(int index) {
    return 4 + 4 * static_cast<size_t>(index);
}

// A tensor record's element type sits before its extents and its name.
size_t element_type_offset(const std::string & model, const std::string & name, size_t dims) {
    return model.find(name) - 4 * dims - 4;
}

TEST_F(quill_malformed_model, a_field_no_model_holds_is_refused_with_status_3) {
    const std::string whole = read_file(test_model("fixed.bin"));
    const size_t embedding = element_type_offset(whole, "encoder.positional_embedding", 2);
    const size_t conv = element_type_offset(whole, "encoder.conv1.weight", 3);
    const size_t tokens = element_type_offset(whole, "decoder.token_embedding.weight", 2);
    const size_t norm = element_type_offset(whole, "decoder.ln.weight", 1);
    const size_t last = element_type_offset(whole, "decoder.blocks.0.cross_attn.out.bias", 1);
    // F32, F16, F16, F32, F32: the records were found where they are.
    ASSERT_EQ(i32_at(whole, embedding), 0);
    ASSERT_EQ(i32_at(whole, conv), 1);
    ASSERT_EQ(i32_at(whole, tokens), 1);
    ASSERT_EQ(i32_at(whole, norm), 0);
    ASSERT_EQ(i32_at(whole, last), 0);
    struct {
        size_t offset;
        int32_t value;
        std::string flaw;
    } const cases[] = {
        {embedding, -1, "element type -1"},
        {conv, -2, "element type -2"},
        {tokens, -1000000, "element type -1000000"},
        {last, 2147483647, "element type 2147483647"},
        {conv, INT32_MIN, "element type -2147483648"},
        {norm, 31, "element type 31"},
        {embedding - 8, 0, "dimensions 0"},
        {header_field_offset(10), 5, "weight type 5"},
        {header_field_offset(10), 4, "weight type 4"},
        {header_field_offset(10), 1006, "weight type 1006"},
        {header_field_offset(3), 0, "audio heads 0"},
        {header_field_offset(7), 0, "text heads 0"},
        {header_field_offset(3), -1, "audio heads -1"},
        {header_field_offset(7), 3, "text heads 3 for text width 64"},
        {header_field_offset(2), 0, "audio width 0"},
    };
    const std::string path = dir + "/model.bin";
    // Two seconds of silence: enough for a transcription, where the heads
    // that do not divide the width showed themselves.
    const std::string audio = pcm16_bytes(silence(2000));
    for (const auto & c : cases) {
        write_file(path, with_i32_at(whole, c.offset, c.value));
        const process_result result = run_quill({"-m", path, "-"}, audio);
        ASSERT_TRUE(result.exited) << c.flaw << " signal " << result.term_signal;
        EXPECT_EQ(result.exit_status, 3) << c.flaw;
        EXPECT_EQ(result.err, "error: model file '" + path + "' is not a model: " + c.flaw +
                                  "\nerror: failed to initialize whisper context\n");
        EXPECT_EQ(result.out, "") << c.flaw;
    }
}

// The fields just inside what is refused: a weight type with the
// quantisation version a converter adds, and two heads that share the width.
TEST_F(quill_malformed_model, fields_a_model_may_hold_load_and_transcribe) {
    const std::string whole = read_file(test_model("fixed.bin"));
    const std::string path = dir + "/model.bin";
    const std::string audio = pcm16_bytes(silence(2000));
    const struct {
        size_t offset;
        int32_t value;
    } cases[] = {{header_field_offset(10), 1001}, {header_field_offset(3), 2}, {header_field_offset(7), 2}};
    for (const auto & c : cases) {
        write_file(path, with_i32_at(whole, c.offset, c.value));
        const process_result result = run_quill({"-np", "-m", path, "-"}, audio);
        ASSERT_TRUE(result.exited) << c.value << " signal " << result.term_signal;
        EXPECT_EQ(result.exit_status, 0) << c.value << "\n" << result.err;
        EXPECT_NE(result.out.find("\"text\": \" hello world.\""), std::string::npos) << c.value << "\n" << result.out;
    }
}

// A NUL byte would cut the argument short wherever it is used as a C string:
// here the output name "out" would be written with no extension.
TEST_F(quill_response_file, a_line_with_a_nul_byte_is_refused) {
    const std::string out = dir + "/out";
    write_file(path, "-np\n-m\n" + test_model("fixed.bin") + "\n-otxt\n-of\n" + out + std::string(1, '\0') +
                         "x\n-\n");
    const process_result result = run_quill({"@" + path});
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(result.err, "error: response file '" + path + "' line 6 holds a NUL byte\n");
    EXPECT_EQ(result.out, "");
    EXPECT_FALSE(std::filesystem::exists(out));
}

} // namespace
