#include "prompt_tokens.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "quill_session.h"

namespace {

TEST(PromptTokens, RefusedOnlyBeyondTheBound) {
    EXPECT_EQ(prompt_refusal(""), "");
    EXPECT_EQ(prompt_refusal(std::string(k_max_prompt_bytes, 'x')), "");
    EXPECT_EQ(prompt_refusal(std::string(k_max_prompt_bytes + 1, 'x')),
              "is 8193 bytes long, more than the 8192 bytes that can be tokenised");
    EXPECT_EQ(prompt_refusal(std::string(30000, ' ')),
              "is 30000 bytes long, more than the 8192 bytes that can be tokenised");
}

void ignore_log(enum ggml_log_level, const char *, void *) {}

// What the library makes of the text when asked on this thread, whose stack
// is ample for these texts.
std::vector<whisper_token> library_tokens(whisper_context * ctx, const std::string & text) {
    std::vector<whisper_token> tokens(text.size() + 16);
    const int n = whisper_tokenize(ctx, text.c_str(), tokens.data(), static_cast<int>(tokens.size()));
    tokens.resize(n < 0 ? 0 : static_cast<size_t>(n));
    return tokens;
}

// The test model's vocabulary holds every byte and " hello" and " world", so
// a run of one letter takes exactly as many tokens as bytes: the buffer sized
// from the text is just enough.
TEST(PromptTokens, TheLibrarysTokensOfTheWholeText) {
    whisper_log_set(ignore_log, nullptr);
    whisper_context * ctx =
        whisper_init_from_file_with_params(test_model("fixed.bin").c_str(), whisper_context_default_params());
    ASSERT_NE(ctx, nullptr);
    std::string chinese;
    for (int i = 0; i < 350; ++i) {
        chinese += "\xE4\xB8\xAD\xE6\x96\x87";
    }
    const std::string texts[] = {" hello world", "x", std::string(1000, 'x'), chinese, "a 12 ,. \t\n b"};
    for (const std::string & text : texts) {
        const prompt_tokenization result = tokenize_prompt(ctx, text);
        EXPECT_TRUE(result.started);
        EXPECT_EQ(result.failure, "");
        EXPECT_EQ(result.tokens, library_tokens(ctx, text)) << text.substr(0, 20);
    }
    EXPECT_EQ(tokenize_prompt(ctx, std::string(1000, 'x')).tokens->size(), 1000u);
    EXPECT_EQ(tokenize_prompt(ctx, " hello world").tokens->size(), 2u);
    const prompt_tokenization empty = tokenize_prompt(ctx, "");
    EXPECT_TRUE(empty.started);
    EXPECT_FALSE(empty.tokens.has_value());
    whisper_free(ctx);
}

// Tokenised, but into nothing: the caller must tell that from a prompt that
// was never tokenised, or the library would tokenise it again every time.
TEST(PromptTokens, TextTheModelHasNoPieceOfIsTokenisedIntoNothing) {
    whisper_log_set(ignore_log, nullptr);
    whisper_context * ctx =
        whisper_init_from_file_with_params(test_model("fixed-ascii.bin").c_str(), whisper_context_default_params());
    ASSERT_NE(ctx, nullptr);
    const prompt_tokenization result = tokenize_prompt(ctx, "\xE4\xB8\xAD\xE6\x96\x87");
    EXPECT_EQ(result.failure, "");
    ASSERT_TRUE(result.tokens.has_value());
    EXPECT_TRUE(result.tokens->empty());
    whisper_free(ctx);
}

} // namespace
