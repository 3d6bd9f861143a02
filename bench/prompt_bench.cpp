// What a long "--prompt" costs. First the library's tokeniser on its own: the
// stack it needs per byte of a run of one character class (the quantity the
// transcriber's prompt limit and tokenising stack are sized from) and its
// time, on a thread whose stack is painted beforehand so the deepest byte
// written shows. Then the transcriber itself: the wall time per transcription
// of a stream that never falls silent, with a short and with a long prompt.
//
//   prompt_bench [--model PATH] [--cycles N] [--max-run BYTES]
//
// Nothing here may use std::regex itself: the library's matcher must be the
// one linked, as it is in the transcriber.

#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "process.h"
#include "quill_session.h"
#include "speech.h"
#include "whisper.h"

namespace {

using clock_type = std::chrono::steady_clock;

constexpr unsigned char k_paint = 0xA5;
// Roomy enough for the deepest run measured in any build; touched only as
// deep as the tokeniser goes, apart from the painting.
constexpr size_t k_probe_stack_bytes = size_t{1} << 30;

struct probe_job {
    whisper_context * ctx;
    const std::string * text;
    int n_tokens;
    double seconds;
};

void * probe_body(void * arg) {
    probe_job & job = *static_cast<probe_job *>(arg);
    std::vector<whisper_token> tokens(job.text->size() + 1);
    const auto start = clock_type::now();
    job.n_tokens = whisper_tokenize(job.ctx, job.text->c_str(), tokens.data(), static_cast<int>(tokens.size()));
    job.seconds = std::chrono::duration<double>(clock_type::now() - start).count();
    return nullptr;
}

struct probe_result {
    size_t stack_bytes;
    double seconds;
    int n_tokens;
};

// The stack grows down on every platform the transcriber runs on, so the
// lowest byte that lost its paint marks the deepest point reached.
probe_result tokenize_on_painted_stack(whisper_context * ctx, const std::string & text, size_t paint_bytes) {
    void * stack = mmap(nullptr, k_probe_stack_bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANON, -1, 0);
    if (stack == MAP_FAILED) {
        perror("prompt_bench: mmap");
        std::exit(1);
    }
    unsigned char * bytes = static_cast<unsigned char *>(stack);
    const size_t painted_from = k_probe_stack_bytes - std::min(paint_bytes, k_probe_stack_bytes);
    std::memset(bytes + painted_from, k_paint, k_probe_stack_bytes - painted_from);

    probe_job job{ctx, &text, 0, 0.0};
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstack(&attr, stack, k_probe_stack_bytes);
    pthread_t thread;
    if (pthread_create(&thread, &attr, probe_body, &job) != 0) {
        fprintf(stderr, "prompt_bench: cannot start the probe thread\n");
        std::exit(1);
    }
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attr);

    size_t untouched = painted_from;
    while (untouched < k_probe_stack_bytes && bytes[untouched] == k_paint) {
        ++untouched;
    }
    munmap(stack, k_probe_stack_bytes);
    return {k_probe_stack_bytes - untouched, job.seconds, job.n_tokens};
}

std::string repeated(const std::string & unit, size_t bytes) {
    std::string text;
    while (text.size() + unit.size() <= bytes) {
        text += unit;
    }
    return text;
}

// One run of each class the library's word pattern tells apart; CJK text
// without spaces is one run of its "other" class, byte by byte.
struct run_kind {
    const char * name;
    const char * unit;
};
constexpr run_kind k_runs[] = {
    {"letters", "x"}, {"digits", "7"}, {"punctuation", "."}, {"spaces", " "}, {"CJK", "\xE4\xB8\xAD"},
};

void print_tokenizer_figures(whisper_context * ctx, size_t max_run) {
    printf("library tokeniser: stack and time against the length of one run of a character class\n");
    printf("  %-12s %9s %12s %12s %10s\n", "run", "bytes", "stack KiB", "stack/byte", "ms");
    // Reference: what the call needs with no run to speak of.
    const probe_result base = tokenize_on_painted_stack(ctx, "hi", size_t{1} << 20);
    printf("  %-12s %9d %12.1f %12s %10.3f\n", "(baseline)", 2, base.stack_bytes / 1024.0, "-", base.seconds * 1000);
    for (const run_kind & kind : k_runs) {
        for (size_t bytes = 1000; bytes <= max_run; bytes *= 2) {
            const std::string text = repeated(kind.unit, bytes);
            // Painting the whole stack for every run would cost more than the
            // runs; 4 KiB a byte is beyond what any build was seen to need.
            const size_t painted = std::min(k_probe_stack_bytes, (size_t{1} << 20) + 4096 * text.size());
            const probe_result r = tokenize_on_painted_stack(ctx, text, painted);
            if (r.stack_bytes >= painted) {
                printf("  %-12s %9zu  more than %.0f KiB\n", kind.name, text.size(), painted / 1024.0);
                continue;
            }
            const double per_byte =
                static_cast<double>(r.stack_bytes - std::min(r.stack_bytes, base.stack_bytes)) / text.size();
            printf("  %-12s %9zu %12.1f %12.1f %10.1f\n", kind.name, text.size(), r.stack_bytes / 1024.0, per_byte,
                   r.seconds * 1000);
        }
    }
}

// A stream that never falls silent, so each cycle transcribes the whole
// open chunk again; trickled so that every cycle finds new samples.
double seconds_per_transcription(const std::string & model, const std::string & prompt, int cycles) {
    quill_session s = start_quill({"-np", "-t", "4", "-m", model, "--prompt", prompt, "-"});
    const std::string first = pcm16_bytes(tone(1500));
    const std::string trickle = pcm16_bytes(tone(20));
    const auto transcriptions = [&] { return count_of(s.out, "\"transcription\""); };
    write_to_child(s.child, first);
    if (!pump(s, clock_type::now() + std::chrono::minutes(10), [&] { return transcriptions() >= 1; })) {
        fprintf(stderr, "prompt_bench: no transcription\n%s\n", s.err.c_str());
        std::exit(1);
    }
    const auto start = clock_type::now();
    const size_t wanted = 1 + static_cast<size_t>(cycles);
    while (transcriptions() < wanted) {
        if (!write_to_child(s.child, trickle)) {
            fprintf(stderr, "prompt_bench: the transcriber stopped reading\n%s\n", s.err.c_str());
            std::exit(1);
        }
        pump(s, clock_type::now() + std::chrono::milliseconds(20), [&] { return transcriptions() >= wanted; });
    }
    const double seconds = std::chrono::duration<double>(clock_type::now() - start).count();
    finish_quill(s, std::chrono::minutes(2));
    return seconds / cycles;
}

// Start-up with the whole prompt in hand: no audio, so no transcription.
double seconds_to_start_and_end(const std::string & model, const std::string & prompt, int runs) {
    const auto start = clock_type::now();
    for (int i = 0; i < runs; ++i) {
        run_quill({"-np", "-m", model, "--prompt", prompt, "-"}, "", "", std::chrono::minutes(10));
    }
    return std::chrono::duration<double>(clock_type::now() - start).count() / runs;
}

void print_transcriber_figures(const std::string & model, int cycles) {
    const std::string chinese = repeated("\xE4\xB8\xAD\xE6\x96\x87", 2100);  // 700 characters
    // Short runs, cheap to tokenise, but as many tokens as the Chinese: what
    // the decoder pays for the longest prompt it keeps.
    const std::string prose = repeated("The quick brown fox jumps over the lazy dog. ", 2100);
    struct {
        const char * name;
        std::string prompt;
    } const prompts[] = {
        {"short prompt", "Meeting notes."}, {"700 CJK characters", chinese}, {"2,100 bytes of prose", prose}};
    printf("\ntranscriber, %d cycles of a stream without silence (wall time includes the 50 ms pause)\n", cycles);
    printf("  %-20s %16s %16s\n", "prompt", "ms per cycle", "ms start-up");
    for (const auto & p : prompts) {
        const double cycle = seconds_per_transcription(model, p.prompt, cycles);
        const double startup = seconds_to_start_and_end(model, p.prompt, 10);
        printf("  %-20s %16.1f %16.1f\n", p.name, cycle * 1000, startup * 1000);
    }
}

void ignore_log(enum ggml_log_level, const char *, void *) {}

} // namespace

int main(int argc, char ** argv) {
    std::string model = test_model("fixed.bin");
    int cycles = 20;
    size_t max_run = 32000;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--model") {
            model = argv[i + 1];
        } else if (option == "--cycles") {
            cycles = std::atoi(argv[i + 1]);
        } else if (option == "--max-run") {
            max_run = static_cast<size_t>(std::atol(argv[i + 1]));
        } else {
            fprintf(stderr, "usage: prompt_bench [--model PATH] [--cycles N] [--max-run BYTES]\n");
            return 1;
        }
    }
    if (access(model.c_str(), R_OK) != 0 &&
        run_process({MAKE_TEST_MODEL_BINARY, "fixed", model}, "", std::chrono::minutes(2)).exit_status != 0) {
        fprintf(stderr, "prompt_bench: cannot make %s\n", model.c_str());
        return 1;
    }

    whisper_log_set(ignore_log, nullptr);
    whisper_context * ctx = whisper_init_from_file_with_params(model.c_str(), whisper_context_default_params());
    if (ctx == nullptr) {
        fprintf(stderr, "prompt_bench: cannot load %s\n", model.c_str());
        return 1;
    }
    print_tokenizer_figures(ctx, max_run);
    whisper_free(ctx);

    print_transcriber_figures(model, cycles);
    return 0;
}
