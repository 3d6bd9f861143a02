// Prints the cost of the string utilities: similarity of two 10,000-byte
// texts, and the throughput of both UTF-8 conversions over 16 MiB of mixed
// one- to four-byte sequences.
//
//   text_utils_bench

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>

#include "text_utils.h"

namespace {

using clock_type = std::chrono::steady_clock;

double seconds_since(clock_type::time_point start) {
    return std::chrono::duration<double>(clock_type::now() - start).count();
}

std::string random_text(std::mt19937 & source, size_t size) {
    std::string text;
    while (text.size() < size) {
        text += static_cast<char>('a' + source() % 26);
    }
    return text;
}

// Mostly ASCII, like transcribed text, with accented letters, CJK and emoji.
std::wstring mixed_text(std::mt19937 & source, size_t utf8_bytes) {
    const wchar_t samples[] = {L'e', L' ', L't', L'a', L'o', L'n', L'\u00E9', L'\u00FC', L'\u4E2D', L'\U0001F600'};
    std::wstring text;
    for (size_t bytes = 0; bytes < utf8_bytes;) {
        const wchar_t c = samples[source() % (sizeof samples / sizeof samples[0])];
        text += c;
        bytes += c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
    }
    return text;
}

}  // namespace

int main() {
    std::mt19937 source(7);

    const std::string a = random_text(source, 10000);
    const std::string b = random_text(source, 10000);
    constexpr int k_similarity_calls = 5;
    float score = 0.0f;
    auto start = clock_type::now();
    for (int i = 0; i < k_similarity_calls; ++i) {
        score += similarity(a, b);
    }
    std::printf("similarity, two 10,000-byte texts: %.1f ms/call (score %.4f)\n",
                seconds_since(start) * 1000.0 / k_similarity_calls, score / k_similarity_calls);

    const std::wstring wide = mixed_text(source, 16u << 20);
    constexpr int k_conversion_rounds = 5;
    size_t bytes = 0;
    start = clock_type::now();
    for (int i = 0; i < k_conversion_rounds; ++i) {
        bytes += convert_to_utf8(wide).size();
    }
    const double mib = static_cast<double>(bytes) / (1u << 20);
    std::printf("convert_to_utf8:    %7.1f MiB/s of UTF-8\n", mib / seconds_since(start));

    const std::string utf8 = convert_to_utf8(wide);
    size_t elements = 0;
    start = clock_type::now();
    for (int i = 0; i < k_conversion_rounds; ++i) {
        elements += convert_to_wstring(utf8).size();
    }
    std::printf("convert_to_wstring: %7.1f MiB/s of UTF-8 (%zu code points per round)\n",
                mib / seconds_since(start), elements / k_conversion_rounds);
    return 0;
}
