// The failure files as the whisper library sees them: each is refused, with
// no context and no crash. The library leaks what it allocated for a model
// whose tensors run short, so load_failure_leaks.supp keeps that out of the
// leak report; this lives apart so only these loads pay for the slow
// unwinding the suppression needs.

#include <whisper.h>

#include <gtest/gtest.h>

#include <string>

namespace {

void quiet_log(ggml_log_level, const char *, void *) {}

TEST(TestModelFailure, FailureFilesGiveNoContext) {
    whisper_log_set(quiet_log, nullptr);
    whisper_context_params params = whisper_context_default_params();
    params.use_gpu = false;
    for (const char * file : {"empty.bin", "truncated.bin", "bad-magic.bin", "missing.bin"}) {
        SCOPED_TRACE(file);
        const std::string path = std::string(TEST_MODEL_DIR) + "/" + file;
        whisper_context * ctx = whisper_init_from_file_with_params(path.c_str(), params);
        EXPECT_EQ(ctx, nullptr);
        whisper_free(ctx);
    }
}

} // namespace
