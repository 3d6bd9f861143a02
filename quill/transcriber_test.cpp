#include "transcriber.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

whisper_params with(void (*change)(whisper_params &)) {
    whisper_params params;
    change(params);
    return params;
}

// A grammar of one rule, root ::= "a", as the parser would leave it.
void add_grammar(whisper_params & params) {
    params.parsed_grammar.symbol_ids["root"] = 0;
    params.parsed_grammar.rules = {{{WHISPER_GRETYPE_CHAR, 'a'}, {WHISPER_GRETYPE_END, 0}}};
}

TEST(Transcriber, StrategyFollowsBeamSizeAndGrammarUse) {
    const struct {
        int beam_size;
        bool rules;
        std::string start_rule;
        whisper_sampling_strategy strategy;
    } cases[] = {
        {5, false, "", WHISPER_SAMPLING_BEAM_SEARCH},
        {1, false, "", WHISPER_SAMPLING_GREEDY},
        {1, true, "root", WHISPER_SAMPLING_BEAM_SEARCH},
        {1, true, "missing", WHISPER_SAMPLING_BEAM_SEARCH},  // in use even when the rule is not found
        {1, true, "", WHISPER_SAMPLING_GREEDY},
        {1, false, "root", WHISPER_SAMPLING_GREEDY},
    };
    for (const auto & c : cases) {
        whisper_params params;
        params.beam_size = c.beam_size;
        if (c.rules) {
            add_grammar(params);
        }
        params.grammar_rule = c.start_rule;
        EXPECT_EQ(build_full_params(params).strategy, c.strategy)
            << "beam " << c.beam_size << " rules " << c.rules << " start '" << c.start_rule << "'";
    }
}

TEST(Transcriber, TokenTimestampsAndMaxLen) {
    const struct {
        bool wts, json_full;
        int max_len;
        bool token_timestamps;
        int library_max_len;
    } cases[] = {
        {false, false, 0, false, 0}, {true, false, 0, true, 60}, {true, false, 30, true, 30},
        {false, true, 0, true, 0},   {false, false, 5, true, 5}, {false, false, -3, false, -3},
    };
    for (const auto & c : cases) {
        whisper_params params;
        params.output_wts = c.wts;
        params.output_json_full = c.json_full;
        params.max_len = c.max_len;
        const whisper_full_params p = build_full_params(params);
        EXPECT_EQ(p.token_timestamps, c.token_timestamps) << c.wts << c.json_full << " " << c.max_len;
        EXPECT_EQ(p.max_len, c.library_max_len) << c.wts << c.json_full << " " << c.max_len;
    }
}

TEST(Transcriber, SettingsPassedToTheLibrary) {
    const whisper_full_params defaults = whisper_full_default_params(WHISPER_SAMPLING_GREEDY);
    const whisper_params params = with([](whisper_params & p) {
        p.n_threads = 3;
        p.offset_t_ms = 250;
        p.duration_ms = 9000;
        p.translate = true;
        p.no_timestamps = true;
        p.print_special = true;
        p.print_progress = true;
        p.word_thold = 0.3f;
        p.split_on_word = true;
        p.debug_mode = true;
        p.audio_ctx = 512;
        p.tinydiarize = true;
        p.suppress_regex = "[0-9]";
        p.prompt = "glossary";
        p.prompt_tokens = {70, 71, 72};
        p.language = "de";
        p.detect_language = true;
        p.suppress_nst = true;
        p.temperature = 0.4f;
        p.temperature_inc = 0.1f;
        p.entropy_thold = 2.0f;
        p.logprob_thold = -0.5f;
        p.no_speech_thold = 0.7f;
        p.best_of = 2;
        p.beam_size = 4;
    });
    const whisper_full_params p = build_full_params(params);
    EXPECT_EQ(p.n_threads, 3);
    EXPECT_EQ(p.n_max_text_ctx, defaults.n_max_text_ctx);
    EXPECT_EQ(p.offset_ms, 250);
    EXPECT_EQ(p.duration_ms, 9000);
    EXPECT_TRUE(p.translate);
    EXPECT_TRUE(p.no_timestamps);
    EXPECT_FALSE(p.print_timestamps);
    EXPECT_TRUE(p.print_special);
    EXPECT_TRUE(p.print_progress);
    EXPECT_FALSE(p.print_realtime);
    EXPECT_EQ(p.thold_pt, 0.3f);
    EXPECT_TRUE(p.split_on_word);
    EXPECT_TRUE(p.debug_mode);
    EXPECT_EQ(p.audio_ctx, 512);
    EXPECT_TRUE(p.tdrz_enable);
    EXPECT_STREQ(p.suppress_regex, "[0-9]");
    // The tokens made at start-up, not the text the library would tokenise again.
    EXPECT_EQ(p.initial_prompt, nullptr);
    EXPECT_EQ(p.prompt_tokens, params.prompt_tokens->data());
    EXPECT_EQ(p.prompt_n_tokens, 3);
    EXPECT_STREQ(p.language, "de");
    EXPECT_TRUE(p.detect_language);
    EXPECT_TRUE(p.suppress_nst);
    EXPECT_EQ(p.temperature, 0.4f);
    EXPECT_EQ(p.temperature_inc, 0.1f);
    EXPECT_EQ(p.entropy_thold, 2.0f);
    EXPECT_EQ(p.logprob_thold, -0.5f);
    EXPECT_EQ(p.no_speech_thold, 0.7f);
    EXPECT_EQ(p.greedy.best_of, 2);
    EXPECT_EQ(p.beam_search.beam_size, 4);
    EXPECT_EQ(p.grammar_rules, nullptr);
    EXPECT_EQ(p.n_grammar_rules, 0u);
}

// Whether the prompt was tokenised is what decides: a prompt that nobody
// tokenised still reaches the library as text rather than being dropped; one
// tokenised into nothing (a model with no piece of it) sends neither text
// nor tokens, which is what the library would make of the text, without
// tokenising it again in every transcription.
TEST(Transcriber, PromptGoesAsTextOnlyWhenNobodyTokenisedIt) {
    const whisper_params untokenised = with([](whisper_params & q) { q.prompt = "glossary"; });
    const whisper_full_params p = build_full_params(untokenised);
    ASSERT_NE(p.initial_prompt, nullptr);
    EXPECT_STREQ(p.initial_prompt, "glossary");
    EXPECT_EQ(p.prompt_tokens, nullptr);
    EXPECT_EQ(p.prompt_n_tokens, 0);

    const whisper_params into_nothing = with([](whisper_params & q) {
        q.prompt = "\xE4\xB8\xAD\xE6\x96\x87";
        q.prompt_tokens.emplace();
    });
    const whisper_full_params none = build_full_params(into_nothing);
    EXPECT_EQ(none.initial_prompt, nullptr);
    EXPECT_EQ(none.prompt_tokens, nullptr);
    EXPECT_EQ(none.prompt_n_tokens, 0);
}

TEST(Transcriber, EmptyTextsAndSpecialValues) {
    const whisper_full_params defaults = whisper_full_default_params(WHISPER_SAMPLING_GREEDY);
    const whisper_params plain;
    const whisper_full_params p = build_full_params(plain);
    EXPECT_EQ(p.suppress_regex, nullptr);
    ASSERT_NE(p.initial_prompt, nullptr);
    EXPECT_STREQ(p.initial_prompt, "");
    EXPECT_EQ(p.prompt_tokens, nullptr);
    EXPECT_EQ(p.prompt_n_tokens, 0);
    EXPECT_TRUE(p.print_timestamps);
    EXPECT_EQ(p.n_max_text_ctx, defaults.n_max_text_ctx);
    EXPECT_EQ(p.temperature_inc, 0.2f);

    EXPECT_EQ(build_full_params(with([](whisper_params & q) { q.n_threads = 0; })).n_threads, 1);
    EXPECT_EQ(build_full_params(with([](whisper_params & q) { q.n_threads = -4; })).n_threads, 1);
    EXPECT_EQ(build_full_params(with([](whisper_params & q) { q.max_context = 0; })).n_max_text_ctx, 0);
    EXPECT_EQ(build_full_params(with([](whisper_params & q) { q.max_context = 64; })).n_max_text_ctx, 64);
    EXPECT_EQ(build_full_params(with([](whisper_params & q) {
                  q.no_fallback = true;
                  q.temperature_inc = 0.6f;
              })).temperature_inc,
              0.0f);
}

// 2 s of audio: 32,000 samples.
TEST(Transcriber, WindowIsFittedToTheAudio) {
    const struct {
        int offset_ms, duration_ms, n_processors;
        int want_duration_ms, want_processors;
    } cases[] = {
        {0, 0, 4, 0, 4},                 // the whole audio, as asked
        {500, 1500, 2, 1500, 2},         // ends exactly at the end
        {500, 1501, 2, 0, 2},            // past the end: to the end instead
        {0, 2147483647, 1, 0, 1},        // no overflow of offset + duration
        {2147483647, 2147483647, 3, 0, 1},
        {1999, 0, 2, 0, 2},              // starts inside the audio
        {2000, 0, 2, 0, 1},              // nothing left: one processor
        {5000, 100, 8, 0, 1},
        {0, 0, 0, 0, 1},                 // below one processor
        {0, 0, -3, 0, 1},
    };
    for (const auto & c : cases) {
        const library_window w = fit_window_to_audio(c.offset_ms, c.duration_ms, c.n_processors, 32000);
        EXPECT_EQ(w.duration_ms, c.want_duration_ms) << c.offset_ms << " " << c.duration_ms << " " << c.n_processors;
        EXPECT_EQ(w.n_processors, c.want_processors) << c.offset_ms << " " << c.duration_ms << " " << c.n_processors;
    }
}

TEST(Transcriber, GrammarPointsAtTheStartRule) {
    whisper_params params;
    add_grammar(params);
    params.parsed_grammar.symbol_ids["other"] = 1;
    params.parsed_grammar.rules.push_back({{WHISPER_GRETYPE_CHAR, 'b'}, {WHISPER_GRETYPE_END, 0}});
    params.grammar_rule = "other";
    params.grammar_penalty = 42.0f;
    whisper_full_params p = build_full_params(params);
    std::vector<const whisper_grammar_element *> rules;
    ASSERT_TRUE(apply_grammar(params, rules, p));
    EXPECT_EQ(p.n_grammar_rules, 2u);
    EXPECT_EQ(p.i_start_rule, 1u);
    EXPECT_EQ(p.grammar_penalty, 42.0f);
    EXPECT_EQ(p.grammar_rules[1][0].value, static_cast<uint32_t>('b'));

    params.grammar_rule = "missing";
    whisper_full_params untouched = build_full_params(params);
    EXPECT_FALSE(apply_grammar(params, rules, untouched));
    EXPECT_EQ(untouched.grammar_rules, nullptr);
    EXPECT_EQ(untouched.n_grammar_rules, 0u);
}

TEST(Transcriber, LanguageRewrite) {
    const struct {
        bool multilingual;
        std::string language;
        bool translate, detect;
        std::string language_after;
        bool translate_after, warn;
    } cases[] = {
        {false, "en", false, false, "en", false, false},
        {false, "de", false, false, "en", false, true},
        {false, "en", true, false, "en", false, true},
        {false, "en", false, true, "auto", false, false},
        {false, "auto", false, true, "auto", false, true},  // every later transcription warns again
        {true, "de", true, false, "de", true, false},
        {true, "de", false, true, "auto", false, false},
    };
    for (const auto & c : cases) {
        whisper_params params;
        params.language = c.language;
        params.translate = c.translate;
        params.detect_language = c.detect;
        EXPECT_EQ(rewrite_language(params, c.multilingual), c.warn) << c.language;
        EXPECT_EQ(params.language, c.language_after) << c.language;
        EXPECT_EQ(params.translate, c.translate_after) << c.language;
    }
}

TEST(Transcriber, ProcessingLine) {
    whisper_params params;
    params.n_threads = 4;
    params.beam_size = 5;
    params.best_of = 5;
    EXPECT_EQ(format_processing_line(params, "-", 0),
              "whisper_processing_thread: processing '-' (0 samples, 0.0 sec), 4 threads, 1 processors, "
              "5 beams + best of 5, lang = en, task = transcribe, timestamps = 1 ...\n");
    params.translate = true;
    params.tinydiarize = true;
    params.no_timestamps = true;
    params.language = "auto";
    EXPECT_EQ(format_processing_line(params, "talk.wav", 26666),
              "whisper_processing_thread: processing 'talk.wav' (26666 samples, 1.7 sec), 4 threads, 1 processors, "
              "5 beams + best of 5, lang = auto, task = translate, tdrz = 1, timestamps = 0 ...\n");
}

TEST(Transcriber, DiarizationSpeakerFromChannelEnergy) {
    const std::vector<float> loud(32000, 0.5f);
    const std::vector<float> soft(32000, 0.4f);
    const std::vector<float> near(32000, 0.46f);
    const struct {
        std::vector<float> left, right;
        int64_t t0, t1;
        bool id_only;
        std::string speaker;
    } cases[] = {
        {loud, soft, 0, 100, true, "0"},
        {soft, loud, 0, 100, false, "(speaker 1)"},
        {loud, near, 0, 100, true, "?"},   // within 10 percent
        {loud, soft, 50, 50, true, "?"},   // empty range
        {loud, soft, 100, 50, false, "(speaker ?)"},
    };
    for (const auto & c : cases) {
        EXPECT_EQ(estimate_diarization_speaker({c.left, c.right}, c.t0, c.t1, c.id_only), c.speaker);
    }
}

TEST(Transcriber, GuardsRefuseNothingUnlessTheirFlagIsSet) {
    bool flag = false;
    EXPECT_TRUE(encoder_begin_guard(nullptr, nullptr, &flag));
    EXPECT_FALSE(abort_guard(&flag));
    flag = true;
    EXPECT_FALSE(encoder_begin_guard(nullptr, nullptr, &flag));
    EXPECT_TRUE(abort_guard(&flag));
}

} // namespace
