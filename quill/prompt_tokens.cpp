#include "prompt_tokens.h"

#include <pthread.h>

#include <exception>

#include "error_text.h"

namespace {

// The library splits the text into words with std::regex. libstdc++'s
// matcher recurses once per byte of a run of one character class (a word, a
// run of digits, of spaces or of other bytes; text in Chinese or Japanese
// without ASCII between is one such run), so the stack it needs grows with
// the longest run; libc++'s matcher needs almost none. With either library
// the time grows with the square of the run.
//
// Measured with bench/prompt_bench, which links the same library code:
//   libstdc++, plain and AddressSanitizer builds (the library is built
//     without sanitizers): 75 KiB, then 320 bytes per byte of the run;
//   libstdc++, ThreadSanitizer build (the library instrumented too): 840 KiB
//     of the runtime's own, then 320 bytes per byte;
//   libc++: under 10 KiB whatever the run.
// At the bound of 8192 bytes that is 3.4 MiB at most. 64 MiB leaves a factor
// of 19 for a compiler or a build with larger frames (a library built with
// AddressSanitizer, say); only the pages the matcher reaches are ever backed
// by memory.
//
// Time, not stack, sets the bound: one run of 8192 bytes takes 3 to 4 s with
// libstdc++ and 7 to 8 s with libc++ on one core of the development machine
// (2,100 bytes take 0.15 and 0.45 s), and that is paid at start-up. 8192
// bytes still admit several kilobytes of prose, whose runs are short, and
// far more than the library keeps: at most whisper_n_text_ctx()/2 tokens,
// typically 224.
constexpr size_t k_tokenizer_stack_bytes = size_t{64} << 20;

struct tokenize_job {
    whisper_context * ctx;
    const std::string & prompt;
    prompt_tokenization & result;
};

// Every token stands for at least one byte of the text, so as many slots as
// bytes are enough; the library's contract is to return the count it needs,
// negated, should they not be.
std::vector<whisper_token> tokens_of(whisper_context * ctx, const std::string & prompt) {
    std::vector<whisper_token> tokens(prompt.size());
    int n = whisper_tokenize(ctx, prompt.c_str(), tokens.data(), static_cast<int>(tokens.size()));
    if (n < 0) {
        tokens.resize(static_cast<size_t>(-n));
        n = whisper_tokenize(ctx, prompt.c_str(), tokens.data(), static_cast<int>(tokens.size()));
    }
    tokens.resize(n < 0 ? 0 : static_cast<size_t>(n));
    return tokens;
}

// The standard's matcher may throw (out of memory, or too complex a match);
// out of a thread's body that would end the process without a word.
void * tokenize_body(void * arg) {
    tokenize_job & job = *static_cast<tokenize_job *>(arg);
    try {
        job.result.tokens = tokens_of(job.ctx, job.prompt);
    } catch (const std::exception & failure) {
        job.result.failure = failure.what();
    }
    return nullptr;
}

} // namespace

std::string prompt_refusal(const std::string & prompt) {
    if (prompt.size() <= k_max_prompt_bytes) {
        return "";
    }
    return "is " + std::to_string(prompt.size()) + " bytes long, more than the " +
           std::to_string(k_max_prompt_bytes) + " bytes that can be tokenised";
}

prompt_tokenization tokenize_prompt(whisper_context * ctx, const std::string & prompt) {
    prompt_tokenization result;
    if (prompt.empty()) {
        return result;
    }
    tokenize_job job{ctx, prompt, result};
    pthread_attr_t attr;
    int error = pthread_attr_init(&attr);
    if (error == 0) {
        error = pthread_attr_setstacksize(&attr, k_tokenizer_stack_bytes);
        pthread_t thread;
        if (error == 0) {
            error = pthread_create(&thread, &attr, tokenize_body, &job);
        }
        if (error == 0) {
            pthread_join(thread, nullptr);
        }
        pthread_attr_destroy(&attr);
    }
    if (error != 0) {
        result.started = false;
        result.failure = error_text(error);
    }
    return result;
}
