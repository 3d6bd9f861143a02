// Prints the cost of one call of each sampler over the speech model's
// vocabulary size, with the usual top_k of 40 and with top_k = n (every
// candidate sorted), on one core.
//
//   sampling_bench

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <random>
#include <vector>

#include "sampling.h"

namespace {

constexpr int32_t k_vocab_size = 51865;
constexpr int32_t k_recent_count = 64;

struct run {
    const char * name;
    int32_t top_k;
    int calls;
};

template <typename Sample>
double microseconds_per_call(int calls, Sample sample) {
    sample();  // first touch of the allocations outside the timing
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < calls; ++i) {
        sample();
    }
    const std::chrono::duration<double, std::micro> elapsed = std::chrono::steady_clock::now() - start;
    return elapsed.count() / calls;
}

}  // namespace

int main() {
    gpt_vocab vocab;
    std::mt19937 source(1);
    std::vector<float> logits(k_vocab_size);
    for (int32_t i = 0; i < k_vocab_size; ++i) {
        vocab.id_to_token[i] = "t" + std::to_string(i);
        logits[i] = static_cast<float>(source() % 20000) / 1000.0f - 10.0f;
    }
    std::vector<int32_t> recent(k_recent_count);
    for (int32_t & id : recent) {
        id = static_cast<int32_t>(source() % k_vocab_size);
    }

    std::mt19937 generator(42);
    int64_t checksum = 0;
    const run runs[] = {{"top_k 40", 40, 5000}, {"top_k n", k_vocab_size, 300}};
    std::printf("%d logits, top_p 0.95, temp 0.8; repeat variant: %d recent tokens, penalty 1.1\n", k_vocab_size,
                k_recent_count);
    for (const run & r : runs) {
        const double plain = microseconds_per_call(r.calls, [&] {
            checksum += gpt_sample_top_k_top_p(vocab, logits.data(), r.top_k, 0.95, 0.8, generator);
        });
        const double repeat = microseconds_per_call(r.calls, [&] {
            checksum += gpt_sample_top_k_top_p_repeat(vocab, logits.data(), recent.data(), recent.size(), r.top_k,
                                                      0.95, 0.8, k_recent_count, 1.1f, generator);
        });
        std::printf("%-9s plain %8.1f us/call   repeat %8.1f us/call\n", r.name, plain, repeat);
    }
    std::printf("(checksum %lld)\n", static_cast<long long>(checksum));
    return 0;
}
