#include "gpt_params.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "temp_dir_test.h"

namespace {

// argv as main receives it, with "gpt" as the program's name.
struct arguments {
    std::vector<std::string> texts;
    std::vector<char *> argv;

    explicit arguments(std::vector<std::string> args) : texts(std::move(args)) {
        texts.insert(texts.begin(), "gpt");
        for (std::string & text : texts) {
            argv.push_back(&text[0]);
        }
        argv.push_back(nullptr);
    }
    int argc() const { return static_cast<int>(texts.size()); }
};

bool parse(std::vector<std::string> args, gpt_params & params) {
    arguments a(std::move(args));
    return gpt_params_parse(a.argc(), a.argv.data(), params);
}

auto fields(const gpt_params & p) {
    return std::make_tuple(p.seed, p.n_threads, p.n_predict, p.n_parallel, p.n_batch, p.n_ctx, p.n_gpu_layers,
                           p.ignore_eos, p.top_k, p.top_p, p.temp, p.repeat_last_n, p.repeat_penalty, p.model,
                           p.prompt, p.token_test, p.interactive, p.interactive_port);
}

const char * const k_default_usage =
    "usage: gpt [options]\n"
    "\n"
    "options:\n"
    "  -h, --help            show this help message and exit\n"
    "  -s SEED, --seed SEED  RNG seed (default: -1)\n"
    "  -t N, --threads N     number of threads to use during computation (default: 4)\n"
    "  -p PROMPT, --prompt PROMPT\n"
    "                        prompt to start generation with (default: random)\n"
    "  -f FNAME, --file FNAME\n"
    "                        load prompt from a file\n"
    "  -tt TOKEN_TEST, --token_test TOKEN_TEST\n"
    "                        test tokenization\n"
    "  -n N, --n_predict N   number of tokens to predict (default: 200)\n"
    "  --top_k N             top-k sampling (default: 40)\n"
    "  --top_p N             top-p sampling (default: 0.9)\n"
    "  --temp N              temperature (default: 0.9)\n"
    "  --repeat-last-n N     last n tokens to consider for penalize (default: 64, 0 = disabled)\n"
    "  --repeat-penalty N    penalize repeat sequence of tokens (default: 1.00, 1.0 = disabled)\n"
    "  -b N, --batch_size N  batch size for prompt processing (default: 8)\n"
    "  -c N, --context N     context / KV cache size (default: 2048)\n"
    "  --ignore-eos          ignore EOS token during generation\n"
    "  -ngl N, --gpu-layers N  number of layers to offload to GPU on supported models (default: 0)\n"
    "  -m FNAME, --model FNAME\n"
    "                        model path (default: models/ggml-model.bin)\n"
    "\n";

TEST(gpt_params_parse, sets_the_fields_each_option_names) {
    using p = gpt_params &;
    struct {
        std::vector<std::string> args;
        std::function<void(gpt_params &)> change;
    } const cases[] = {
        {{}, [](p) {}},
        {{"-s", "5"}, [](p x) { x.seed = 5; }},
        {{"--seed", "0"}, [](p x) { x.seed = 0; }},
        {{"-t", "8"}, [](p x) { x.n_threads = 8; }},
        {{"--threads", " 7"}, [](p x) { x.n_threads = 7; }},
        {{"-t", "4x"}, [](p x) { x.n_threads = 4; }},  // the number's end ends the value
        {{"-p", "hi there"}, [](p x) { x.prompt = "hi there"; }},
        {{"--prompt", "a", "-p", "b"}, [](p x) { x.prompt = "b"; }},
        {{"-p", "a", "-p", ""}, [](p x) { x.prompt = ""; }},
        {{"-n", "9"}, [](p x) { x.n_predict = 9; }},
        {{"--n_predict", "10"}, [](p x) { x.n_predict = 10; }},
        {{"-np", "3"}, [](p x) { x.n_parallel = 3; }},
        {{"--n_parallel", "2"}, [](p x) { x.n_parallel = 2; }},
        {{"--top_k", "7"}, [](p x) { x.top_k = 7; }},
        {{"--top_p", "0.5"}, [](p x) { x.top_p = 0.5f; }},
        {{"--top_p", "0x1p-2"}, [](p x) { x.top_p = 0.25f; }},
        {{"--temp", "1.5e0x"}, [](p x) { x.temp = 1.5f; }},
        {{"--repeat-last-n", "0"}, [](p x) { x.repeat_last_n = 0; }},
        {{"--repeat-penalty", "1.3"}, [](p x) { x.repeat_penalty = 1.3f; }},
        {{"-b", "16"}, [](p x) { x.n_batch = 16; }},
        {{"--batch_size", "32"}, [](p x) { x.n_batch = 32; }},
        {{"-c", "512"}, [](p x) { x.n_ctx = 512; }},
        {{"--context", "+1024"}, [](p x) { x.n_ctx = 1024; }},
        {{"-ngl", "1"}, [](p x) { x.n_gpu_layers = 1; }},
        {{"--gpu-layers", "2"}, [](p x) { x.n_gpu_layers = 2; }},
        {{"--n-gpu-layers", "3"}, [](p x) { x.n_gpu_layers = 3; }},
        {{"--ignore-eos"}, [](p x) { x.ignore_eos = true; }},
        {{"-m", "a.bin"}, [](p x) { x.model = "a.bin"; }},
        {{"--model", "b.bin"}, [](p x) { x.model = "b.bin"; }},
        {{"-i"}, [](p x) { x.interactive = true; }},
        {{"--interactive"}, [](p x) { x.interactive = true; }},
        {{"-ip", "8080"}, [](p x) { x.interactive = true; x.interactive_port = 8080; }},
        {{"--interactive-port", "1"}, [](p x) { x.interactive = true; x.interactive_port = 1; }},
        {{"-tt", "t.txt"}, [](p x) { x.token_test = "t.txt"; }},
        {{"--token_test", "u.txt"}, [](p x) { x.token_test = "u.txt"; }},
        {{"-s", "1", "-t", "2", "-s", "3"}, [](p x) { x.seed = 3; x.n_threads = 2; }},
    };
    for (const auto & c : cases) {
        gpt_params expected;
        c.change(expected);
        gpt_params params;
        EXPECT_TRUE(parse(c.args, params));
        EXPECT_EQ(fields(params), fields(expected)) << testing::PrintToString(c.args);
    }
}

TEST(gpt_params_parse, a_bad_number_reaches_the_caller_after_earlier_options_took_effect) {
    struct {
        std::vector<std::string> args;
        bool out_of_range;
    } const cases[] = {
        {{"-s", "3", "-t", "x"}, false},
        {{"-s", "3", "-t", "2147483648"}, true},
        {{"-s", "3", "-ip", ""}, false},
        {{"-s", "3", "--temp", "x"}, false},
        {{"-s", "3", "--top_p", "1e99"}, true},
    };
    for (const auto & c : cases) {
        gpt_params params;
        if (c.out_of_range) {
            EXPECT_THROW(parse(c.args, params), std::out_of_range) << testing::PrintToString(c.args);
        } else {
            EXPECT_THROW(parse(c.args, params), std::invalid_argument) << testing::PrintToString(c.args);
        }
        EXPECT_EQ(params.seed, 3);
    }
    gpt_params params;
    EXPECT_ANY_THROW(parse({"-ip", "x"}, params));
    EXPECT_TRUE(params.interactive);  // set before the value is read
}

using gpt_params_file = temp_dir_test;

TEST_F(gpt_params_file, appends_the_file_and_drops_one_trailing_newline) {
    struct {
        std::string contents;
        std::vector<std::string> before, after;
        std::string prompt;
    } const cases[] = {
        {"abc\n", {"-p", "x"}, {}, "xabc"},
        {"abc\n", {}, {"-p", "x"}, "x"},
        {"abc\n", {"-f"}, {}, "abcabc"},  // a second file appends again
        {"abc\n\n", {}, {}, "abc\n"},
        {"abc\r\n", {}, {}, "abc\r"},
        {"abc", {}, {}, "abc"},
        {"", {}, {}, ""},
        {std::string("a\0b\n", 4), {}, {}, std::string("a\0b", 3)},
    };
    for (const auto & c : cases) {
        const std::string path = file_with("prompt.txt", c.contents);
        std::vector<std::string> args = c.before;
        if (!args.empty() && args.back() == "-f") {
            args.push_back(path);
        }
        args.push_back("--file");
        args.push_back(path);
        args.insert(args.end(), c.after.begin(), c.after.end());
        gpt_params params;
        EXPECT_TRUE(parse(args, params));
        EXPECT_EQ(params.prompt, c.prompt) << testing::PrintToString(args);
    }
}

TEST_F(gpt_params_file, a_file_that_does_not_open_stops_parsing) {
    const std::string missing = dir + "/missing.txt";
    gpt_params params;
    testing::internal::CaptureStderr();
    EXPECT_TRUE(parse({"-s", "2", "-f", missing, "-t", "8"}, params));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "error: failed to open file '" + missing + "'\n");
    EXPECT_EQ(params.seed, 2);
    EXPECT_EQ(params.n_threads, gpt_params().n_threads);
}

TEST(gpt_params_parse, ends_with_status_0_after_the_message_and_the_usage) {
    struct {
        std::vector<std::string> args;
        std::string message;
        std::string threads_in_usage;
    } const cases[] = {
        {{"-s", "-1"}, "error: -s requires one argument.\n", "4"},
        {{"-t"}, "error: -t requires one argument.\n", "4"},
        {{"-p", "-"}, "error: -p requires one argument.\n", "4"},
        {{"--file"}, "error: --file requires one argument.\n", "4"},
        {{"--seed=5"}, "error: unknown argument: --seed=5\n", "4"},
        {{"-T", "4"}, "error: unknown argument: -T\n", "4"},
        {{"prompt.txt"}, "error: unknown argument: prompt.txt\n", "4"},
        {{""}, "error: unknown argument: \n", "4"},
        {{"-h"}, "", "4"},
        // The usage shows the values parsed so far; nothing after the help is read.
        {{"-t", "5", "--help", "-x"}, "", "5"},
        {{"-t", "6", "-n"}, "error: -n requires one argument.\n", "6"},
    };
    for (const auto & c : cases) {
        std::string usage = k_default_usage;
        const std::string threads = "computation (default: 4)";
        usage.replace(usage.find(threads), threads.size(), "computation (default: " + c.threads_in_usage + ")");
        EXPECT_EXIT(
            {
                gpt_params params;
                parse(c.args, params);
            },
            testing::ExitedWithCode(0), testing::StrEq(c.message + usage))
            << testing::PrintToString(c.args);
    }
}

TEST(gpt_print_usage, prints_the_current_values_but_always_seed_minus_one) {
    gpt_params params;
    params.seed = 7;
    params.top_p = 0.25f;
    params.temp = 1.0f;
    params.repeat_penalty = 1.3f;
    params.model = "m/x.bin";
    arguments a({});
    testing::internal::CaptureStderr();
    gpt_print_usage(a.argc(), a.argv.data(), params);
    const std::string usage = testing::internal::GetCapturedStderr();
    EXPECT_THAT(usage, testing::HasSubstr("RNG seed (default: -1)\n"));
    EXPECT_THAT(usage, testing::HasSubstr("top-p sampling (default: 0.2)\n"));
    EXPECT_THAT(usage, testing::HasSubstr("temperature (default: 1.0)\n"));
    EXPECT_THAT(usage, testing::HasSubstr("(default: 1.30, 1.0 = disabled)\n"));
    EXPECT_THAT(usage, testing::HasSubstr("model path (default: m/x.bin)\n"));
}

TEST(gpt_random_prompt, follows_the_generator) {
    std::mt19937 rng(5489);
    std::vector<std::string> prompts;
    for (int i = 0; i < 5; i++) {
        prompts.push_back(gpt_random_prompt(rng));
    }
    EXPECT_EQ(prompts, (std::vector<std::string>{"When", "When", "After", "If", "After"}));
}

} // namespace
