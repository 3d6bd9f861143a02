#include "sampling.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>
#include <vector>

namespace {

// (score, token id)
using candidate = std::pair<double, int32_t>;

constexpr double k_minus_infinity = -std::numeric_limits<double>::infinity();

// A score that is not a number would break the ordering that the top-k
// selection relies on; as minus infinity it simply loses.
double ordered_score(double score) { return std::isnan(score) ? k_minus_infinity : score; }

// The greatest logit, lowest id on a tie; one that is not a number never wins
// over one that is.
int32_t arg_max(const float * logits, int32_t n) {
    int32_t best = 0;
    for (int32_t i = 1; i < n; ++i) {
        if (logits[i] > logits[best] || (std::isnan(logits[best]) && !std::isnan(logits[i]))) {
            best = i;
        }
    }
    return best;
}

template <typename ScoreOf>
std::vector<candidate> build_candidates(int32_t n, ScoreOf score_of) {
    std::vector<candidate> candidates;
    candidates.reserve(n);
    for (int32_t i = 0; i < n; ++i) {
        candidates.emplace_back(ordered_score(score_of(i)), i);
    }
    return candidates;
}

bool greater_score(const candidate & a, const candidate & b) { return a.first > b.first; }

// Restores the heap property below `at` in heap[0, size), a heap whose root
// holds the least score.
void sift_down(std::vector<candidate> & heap, size_t at, size_t size) {
    for (size_t child = 2 * at + 1; child < size; child = 2 * at + 1) {
        if (child + 1 < size && greater_score(heap[child], heap[child + 1])) {
            ++child;
        }
        if (!greater_score(heap[at], heap[child])) {
            return;
        }
        std::swap(heap[at], heap[child]);
        at = child;
    }
}

// Leaves the k greatest scores first, in descending order, and drops the rest.
// A heap of k entries, least score at the root, sees every candidate once, so
// the cost is n log k rather than a full sort's n log n. It is written out
// because standard libraries order equal scores differently, and which of
// several equal scores survive decides the drawn token.
void keep_top_k(std::vector<candidate> & candidates, size_t k) {
    for (size_t i = k / 2; i-- > 0;) {
        sift_down(candidates, i, k);
    }
    for (size_t i = k; i < candidates.size(); ++i) {
        if (greater_score(candidates[i], candidates[0])) {
            std::swap(candidates[i], candidates[0]);
            sift_down(candidates, 0, k);
        }
    }
    for (size_t end = k; end-- > 1;) {
        std::swap(candidates[0], candidates[end]);
        sift_down(candidates, 0, end);
    }
    candidates.resize(k);
}

// Probabilities of the candidates, sorted by descending score. The greatest
// score gets weight 1 exactly, even when it is infinite, so the sum is at
// least 1 and never a division by zero or not a number.
std::vector<double> softmax(const std::vector<candidate> & candidates) {
    double max_score = k_minus_infinity;
    for (const candidate & c : candidates) {
        max_score = std::max(max_score, c.first);
    }
    std::vector<double> probs;
    probs.reserve(candidates.size());
    double sum = 0.0;
    for (const candidate & c : candidates) {
        const double p = c.first == max_score ? 1.0 : std::exp(c.first - max_score);
        probs.push_back(p);
        sum += p;
    }
    for (double & p : probs) {
        p /= sum;
    }
    return probs;
}

// Keeps the shortest head whose probabilities reach top_p and rescales it.
void keep_top_p(std::vector<candidate> & candidates, std::vector<double> & probs, double top_p) {
    if (!(top_p < 1.0)) {
        return;
    }
    double cumulative = 0.0;
    for (size_t i = 0; i < probs.size(); ++i) {
        cumulative += probs[i];
        if (cumulative >= top_p) {
            probs.resize(i + 1);
            candidates.resize(i + 1);
            break;
        }
    }
    const double scale = 1.0 / cumulative;
    for (double & p : probs) {
        p *= scale;
    }
}

// An index drawn with the given weights. Standard libraries draw their
// discrete distributions differently, so the rule is fixed here: u in [0, 1]
// from exactly two 32-bit outputs, and the index is the number of running
// sums of the normalised weights (all but the last) that do not exceed u.
size_t draw_index(const std::vector<double> & weights, std::mt19937 & generator) {
    double total = 0.0;
    for (const double w : weights) {
        total += w;
    }
    const uint64_t low = static_cast<uint32_t>(generator());
    const uint64_t high = static_cast<uint32_t>(generator());
    const double u = static_cast<double>(low | (high << 32)) / 18446744073709551616.0;  // 2^64
    // The running sums never fall, so those not above u are the first ones:
    // counting up to the first sum above u needs no table of them.
    size_t index = 0;
    double running = 0.0;
    for (; index + 1 < weights.size(); ++index) {
        running += weights[index] / total;
        if (running > u) {
            break;
        }
    }
    return index;
}

int32_t sample_candidates(std::vector<candidate> candidates, int32_t top_k, double top_p, std::mt19937 & generator) {
    const int32_t n = static_cast<int32_t>(candidates.size());
    keep_top_k(candidates, static_cast<size_t>(std::clamp(top_k, 1, n)));
    std::vector<double> probs = softmax(candidates);
    keep_top_p(candidates, probs, top_p);
    return candidates[draw_index(probs, generator)].second;
}

int32_t logit_count(const gpt_vocab & vocab) { return static_cast<int32_t>(vocab.id_to_token.size()); }

// Marks the ids among the last repeat_last_n recent tokens; ids outside the
// vocabulary cannot be scored and are passed over.
std::vector<uint8_t> repeated_tokens(int32_t n, const int32_t * recent_tokens, uint64_t recent_count,
                                  int32_t repeat_last_n) {
    std::vector<uint8_t> repeated(n, 0);
    if (repeat_last_n < 1) {
        return repeated;
    }
    const uint64_t window = std::min<uint64_t>(static_cast<uint64_t>(repeat_last_n), recent_count);
    for (uint64_t i = recent_count - window; i < recent_count; ++i) {
        const int32_t id = recent_tokens[i];
        if (id >= 0 && id < n) {
            repeated[id] = 1;
        }
    }
    return repeated;
}

}  // namespace

int32_t gpt_sample_top_k_top_p(const gpt_vocab & vocab, const float * logits, int32_t top_k, double top_p,
                               double temp, std::mt19937 & generator) {
    const int32_t n = logit_count(vocab);
    const double scale = 1.0 / temp;
    if (!(temp > 0.0) || !std::isfinite(scale)) {
        return arg_max(logits, n);
    }
    if (n < 1) {
        return 0;
    }
    const auto score_of = [&](int32_t i) { return static_cast<double>(logits[i]) * scale; };
    return sample_candidates(build_candidates(n, score_of), top_k, top_p, generator);
}

int32_t gpt_sample_top_k_top_p_repeat(const gpt_vocab & vocab, const float * logits, const int32_t * recent_tokens,
                                      uint64_t recent_count, int32_t top_k, double top_p, double temp,
                                      int32_t repeat_last_n, float repeat_penalty, std::mt19937 & generator) {
    const int32_t n = logit_count(vocab);
    const float scale = static_cast<float>(1.0 / temp);
    if (!(temp > 0.0) || !std::isfinite(scale)) {
        return arg_max(logits, n);
    }
    if (n < 1) {
        return 0;
    }
    const std::vector<uint8_t> repeated = repeated_tokens(n, recent_tokens, recent_count, repeat_last_n);
    const auto score_of = [&](int32_t i) -> double {
        const float x = logits[i];
        if (!repeated[i]) {
            return x * scale;
        }
        // The sign of the raw logit decides: dividing a negative score would
        // raise it, so a negative one is multiplied instead.
        return x < 0.0f ? (x * scale) * repeat_penalty : (x * scale) / repeat_penalty;
    };
    return sample_candidates(build_candidates(n, score_of), top_k, top_p, generator);
}
