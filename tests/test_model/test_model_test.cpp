// The generated models as the whisper library sees them: they load and
// decode to the known text whatever the audio.

#include "process.h"
#include "sample_rate.h"
#include "test_model.h"

#include <whisper.h>

#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr int k_threads = 4;
constexpr float k_pi = 3.14159265f;

struct context_deleter {
    void operator()(whisper_context * ctx) const { whisper_free(ctx); }
};
using context_ptr = std::unique_ptr<whisper_context, context_deleter>;

void quiet_log(ggml_log_level, const char *, void *) {}

std::string model_path(const std::string & file) {
    return std::string(TEST_MODEL_DIR) + "/" + file;
}

whisper_context_params cpu_context_params() {
    whisper_context_params params = whisper_context_default_params();
    params.use_gpu = false;
    return params;
}

context_ptr load_model(const std::string & file, whisper_context_params params = cpu_context_params()) {
    whisper_log_set(quiet_log, nullptr);
    return context_ptr(whisper_init_from_file_with_params(model_path(file).c_str(), params));
}

std::vector<float> silence(int seconds) {
    return std::vector<float>(size_t(seconds) * k_sample_rate, 0.0f);
}

std::vector<float> tone(int seconds) {
    std::vector<float> samples(size_t(seconds) * k_sample_rate);
    for (size_t i = 0; i < samples.size(); ++i) {
        samples[i] = 0.5f * std::sin(2.0f * k_pi * 440.0f * float(i) / k_sample_rate);
    }
    return samples;
}

struct segment {
    std::string text;
    int64_t t0;
    int64_t t1;
    bool operator==(const segment & other) const {
        return text == other.text && t0 == other.t0 && t1 == other.t1;
    }
};

void PrintTo(const segment & s, std::ostream * os) {
    *os << "{\"" << s.text << "\", " << s.t0 << ", " << s.t1 << "}";
}

struct transcript {
    int status;
    std::vector<segment> segments;
    std::vector<whisper_token> tokens;
};

whisper_full_params greedy_params(int threads) {
    whisper_full_params params = whisper_full_default_params(WHISPER_SAMPLING_GREEDY);
    params.n_threads = threads;
    params.print_progress = false;
    params.print_realtime = false;
    params.print_timestamps = false;
    params.print_special = false;
    return params;
}

transcript transcribe(whisper_context * ctx, const std::vector<float> & audio, const whisper_full_params & params) {
    transcript result{whisper_full(ctx, params, audio.data(), int(audio.size())), {}, {}};
    for (int i = 0; i < whisper_full_n_segments(ctx); ++i) {
        result.segments.push_back({whisper_full_get_segment_text(ctx, i), whisper_full_get_segment_t0(ctx, i),
                                   whisper_full_get_segment_t1(ctx, i)});
        for (int j = 0; j < whisper_full_n_tokens(ctx, i); ++j) {
            result.tokens.push_back(whisper_full_get_token_id(ctx, i, j));
        }
    }
    return result;
}

const std::vector<segment> k_known_text = {{" hello world.", 0, 100}};
const char * const k_fixed_text_models[] = {"fixed.bin", "fixed-multilingual.bin", "tiny.bin"};

TEST(TestModel, DimensionsAreWhatTheTestsRelyOn) {
    struct expected {
        const char * file;
        int n_vocab, multilingual, n_state, n_head, n_audio_layer, n_text_layer, n_audio_ctx, n_text_ctx, n_mels;
    };
    const expected cases[] = {
        {"fixed.bin", 51864, 0, 64, 1, 1, 1, 1500, 448, 80},
        {"fixed-multilingual.bin", 51865, 1, 64, 1, 1, 1, 1500, 448, 80},
        {"tiny.bin", 51864, 0, 384, 6, 4, 4, 1500, 448, 80},
    };
    for (const expected & e : cases) {
        SCOPED_TRACE(e.file);
        context_ptr ctx = load_model(e.file);
        ASSERT_NE(ctx, nullptr);
        EXPECT_EQ(whisper_model_n_vocab(ctx.get()), e.n_vocab);
        EXPECT_EQ(whisper_is_multilingual(ctx.get()), e.multilingual);
        EXPECT_EQ(whisper_model_n_audio_state(ctx.get()), e.n_state);
        EXPECT_EQ(whisper_model_n_text_state(ctx.get()), e.n_state);
        EXPECT_EQ(whisper_model_n_audio_head(ctx.get()), e.n_head);
        EXPECT_EQ(whisper_model_n_text_head(ctx.get()), e.n_head);
        EXPECT_EQ(whisper_model_n_audio_layer(ctx.get()), e.n_audio_layer);
        EXPECT_EQ(whisper_model_n_text_layer(ctx.get()), e.n_text_layer);
        EXPECT_EQ(whisper_model_n_audio_ctx(ctx.get()), e.n_audio_ctx);
        EXPECT_EQ(whisper_model_n_text_ctx(ctx.get()), e.n_text_ctx);
        EXPECT_EQ(whisper_model_n_mels(ctx.get()), e.n_mels);
        EXPECT_EQ(whisper_model_ftype(ctx.get()), 1);
    }
}

// One context per model serves every run, as in the transcriber, so a state
// leaking from one run into the next would show as a different result.
TEST(TestModel, KnownTextWhateverTheAudioRunAndThreads) {
    const std::vector<float> audios[] = {silence(5), tone(5)};
    for (const char * file : k_fixed_text_models) {
        SCOPED_TRACE(file);
        context_ptr ctx = load_model(file);
        ASSERT_NE(ctx, nullptr);
        std::vector<whisper_token> first_tokens;
        for (const std::vector<float> & audio : audios) {
            for (int threads : {1, k_threads}) {
                SCOPED_TRACE(std::to_string(audio.size()) + " samples, threads " + std::to_string(threads));
                const transcript result = transcribe(ctx.get(), audio, greedy_params(threads));
                ASSERT_EQ(result.status, 0);
                EXPECT_EQ(result.segments, k_known_text);
                if (first_tokens.empty()) {
                    first_tokens = result.tokens;
                }
                EXPECT_EQ(result.tokens, first_tokens);
            }
        }
    }
}

TEST(TestModel, NoTimestampsStillGivesTheText) {
    for (const char * file : k_fixed_text_models) {
        SCOPED_TRACE(file);
        context_ptr ctx = load_model(file);
        ASSERT_NE(ctx, nullptr);
        whisper_full_params params = greedy_params(k_threads);
        params.no_timestamps = true;
        const transcript result = transcribe(ctx.get(), silence(5), params);
        ASSERT_EQ(result.status, 0);
        ASSERT_EQ(result.segments.size(), 1u);
        EXPECT_EQ(result.segments[0].text, " hello world.");
    }
}

TEST(TestModel, MultilingualModelDetectsEnglish) {
    context_ptr ctx = load_model("fixed-multilingual.bin");
    ASSERT_NE(ctx, nullptr);
    whisper_full_params params = greedy_params(k_threads);
    params.language = "auto";
    const transcript result = transcribe(ctx.get(), tone(3), params);
    ASSERT_EQ(result.status, 0);
    EXPECT_EQ(whisper_full_lang_id(ctx.get()), whisper_lang_id("en"));
    EXPECT_EQ(result.segments, k_known_text);
}

// The control bytes come through the library untouched, in one segment.
TEST(TestModel, ControlModelSaysItsTextWithALineFeedAndATab) {
    context_ptr ctx = load_model("fixed-control.bin");
    ASSERT_NE(ctx, nullptr);
    const transcript result = transcribe(ctx.get(), tone(3), greedy_params(k_threads));
    ASSERT_EQ(result.status, 0);
    EXPECT_EQ(result.segments, (std::vector<segment>{{" hello\n\tworld.", 0, 100}}));
}

// Whole, the segment is UTF-8; none of its three word tokens is on its own.
TEST(TestModel, SplitCharacterModelSaysItsTextInTokensThatCutCharacters) {
    context_ptr ctx = load_model("fixed-split-character.bin");
    ASSERT_NE(ctx, nullptr);
    const transcript result = transcribe(ctx.get(), tone(3), greedy_params(k_threads));
    ASSERT_EQ(result.status, 0);
    EXPECT_EQ(result.segments, (std::vector<segment>{{"\xE4\xBD\xA0\xE5\xA5\xBD.", 0, 100}}));
    std::vector<std::string> words;
    for (const whisper_token token : result.tokens) {
        if (token < whisper_token_eot(ctx.get())) {
            words.push_back(whisper_token_to_str(ctx.get(), token));
        }
    }
    EXPECT_EQ(words, (std::vector<std::string>{"\xE4\xBD", "\xA0\xE5", "\xA5\xBD", "."}));
}

int token_count(whisper_context * ctx, const std::string & text) {
    std::vector<whisper_token> tokens(text.size() + 1);
    return whisper_tokenize(ctx, text.c_str(), tokens.data(), int(tokens.size()));
}

// The tests of a prompt that yields no token rely on this model knowing no
// piece of text outside ASCII, while it still says the known text.
TEST(TestModel, AsciiModelKnowsNoPieceOfOtherText) {
    context_ptr ctx = load_model("fixed-ascii.bin");
    ASSERT_NE(ctx, nullptr);
    EXPECT_EQ(token_count(ctx.get(), "\xE4\xB8\xAD\xE6\x96\x87"), 0);
    EXPECT_EQ(token_count(ctx.get(), " hello world"), 2);
    EXPECT_EQ(token_count(ctx.get(), "x\xE4\xB8\xAD"), 1);
    const transcript result = transcribe(ctx.get(), tone(3), greedy_params(k_threads));
    ASSERT_EQ(result.status, 0);
    EXPECT_EQ(result.segments, k_known_text);
}

// The alignment-head presets need the layers and heads of the real model.
TEST(TestModel, TinyModelTranscribesWithDtwPresets) {
    for (whisper_alignment_heads_preset preset : {WHISPER_AHEADS_TINY_EN, WHISPER_AHEADS_TINY}) {
        SCOPED_TRACE(int(preset));
        whisper_context_params context_params = cpu_context_params();
        context_params.flash_attn = false; // token timestamps by DTW need the attention weights
        context_params.dtw_token_timestamps = true;
        context_params.dtw_aheads_preset = preset;
        context_ptr ctx = load_model("tiny.bin", context_params);
        ASSERT_NE(ctx, nullptr);
        whisper_full_params params = greedy_params(k_threads);
        params.token_timestamps = true;
        const transcript result = transcribe(ctx.get(), tone(5), params);
        ASSERT_EQ(result.status, 0);
        EXPECT_EQ(result.segments, k_known_text);
        // DTW times the text tokens only; the timestamp tokens keep -1.
        for (int j = 0; j < whisper_full_n_tokens(ctx.get(), 0); ++j) {
            const whisper_token_data token = whisper_full_get_token_data(ctx.get(), 0, j);
            if (token.id < whisper_token_eot(ctx.get())) {
                EXPECT_GE(token.t_dtw, 0) << "token " << j;
                EXPECT_LE(token.t_dtw, 100) << "token " << j;
            }
        }
    }
}

TEST(MakeTestModel, WritesOneKindAsTheFixtureDoes) {
    const std::string dir = make_temp_dir("make_test_model_");
    ASSERT_FALSE(dir.empty());
    const std::string path = dir + "/model.bin";
    const process_result result = run_process({MAKE_TEST_MODEL_BINARY, "fixed", path});
    EXPECT_TRUE(result.exited);
    EXPECT_EQ(result.exit_status, 0) << result.err;
    EXPECT_TRUE(read_file(path) == read_file(model_path("fixed.bin")));
    std::remove(path.c_str());
    rmdir(dir.c_str());
}

TEST(MakeTestModel, RefusesBadArguments) {
    struct bad_call {
        std::vector<std::string> args;
        int status;
        const char * message;
    };
    const bad_call cases[] = {
        {{}, 2, "usage: "},
        {{"fixed"}, 2, "usage: "},
        {{"nonsense", "/tmp/never-written.bin"}, 1, "make_test_model: unknown model kind 'nonsense'\n"},
        {{"fixed", "/nonexistent-dir/model.bin"}, 1, "make_test_model: cannot create '/nonexistent-dir/model.bin': "},
    };
    for (const bad_call & c : cases) {
        std::vector<std::string> argv = {MAKE_TEST_MODEL_BINARY};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        const process_result result = run_process(argv);
        SCOPED_TRACE(result.err);
        EXPECT_TRUE(result.exited);
        EXPECT_EQ(result.exit_status, c.status);
        EXPECT_EQ(result.err.rfind(c.message, 0), 0u);
        EXPECT_TRUE(result.out.empty());
    }
}

TEST(FloatToHalf, ExactAndRoundedValues) {
    struct conversion {
        float value;
        uint16_t bits;
    };
    const conversion cases[] = {
        {0.0f, 0x0000},    {-0.0f, 0x8000},   {1.0f, 0x3c00},      {2.0f, 0x4000},   {0.5f, 0x3800},
        {10.0f, 0x4900},   {20.0f, 0x4d00},   {50.0f, 0x5240},     {100.0f, 0x5640}, {-6.0f, 0xc600},
        {65504.0f, 0x7bff}, {1e6f, 0x7c00},   {1e-9f, 0x0000},
        // ties to even: 1 + 2^-11 rounds down, 1 + 3*2^-11 rounds up
        {1.00048828125f, 0x3c00}, {1.00146484375f, 0x3c02},
        {2047.5f, 0x6800}, // the carry out of the mantissa reaches the exponent
    };
    for (const conversion & c : cases) {
        EXPECT_EQ(float_to_half(c.value), c.bits) << c.value;
    }
}

} // namespace
