#include "text_utils.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <vector>

namespace {

// The ECMAScript "\s" class under the C locale; written out because the
// regular-expression engine recurses once per matched byte and overflows the
// stack on long runs of white space.
bool is_ascii_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

constexpr uint32_t k_max_code_point = 0x10FFFF;

bool is_surrogate(uint32_t code_point) { return code_point >= 0xD800 && code_point <= 0xDFFF; }

[[noreturn]] void fail_from_bytes() { throw std::range_error("wstring_convert: from_bytes error"); }

// The lead byte's sequence length and payload bits, or length 0 for a byte
// that cannot start a sequence (a continuation byte, C0, C1, F5 to FF).
struct lead_byte {
    int length;
    uint32_t bits;
};

lead_byte decode_lead_byte(uint8_t byte) {
    if (byte < 0x80) {
        return {1, byte};
    }
    if (byte >= 0xC2 && byte <= 0xDF) {
        return {2, byte & 0x1Fu};
    }
    if (byte >= 0xE0 && byte <= 0xEF) {
        return {3, byte & 0x0Fu};
    }
    if (byte >= 0xF0 && byte <= 0xF4) {
        return {4, byte & 0x07u};
    }
    return {0, 0};
}

// The least code point that needs a sequence of each length: anything below it
// is an overlong form.
constexpr uint32_t k_min_code_point_for_length[] = {0, 0, 0x80, 0x800, 0x10000};

}  // namespace

std::string trim(const std::string & s) {
    const auto first = std::find_if_not(s.begin(), s.end(), is_ascii_space);
    const auto last = std::find_if_not(s.rbegin(), std::string::const_reverse_iterator(first), is_ascii_space);
    return std::string(first, last.base());
}

std::string convert_to_utf8(const std::wstring & input) {
    std::string out;
    out.reserve(input.size());
    for (const wchar_t element : input) {
        if (element < 0 || static_cast<uint32_t>(element) > k_max_code_point ||
            is_surrogate(static_cast<uint32_t>(element))) {
            throw std::range_error("wstring_convert: to_bytes error");
        }
        const uint32_t cp = static_cast<uint32_t>(element);
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }
    return out;
}

std::wstring convert_to_wstring(const std::string & input) {
    std::wstring out;
    out.reserve(input.size());
    const size_t size = input.size();
    for (size_t i = 0; i < size;) {
        const lead_byte lead = decode_lead_byte(static_cast<uint8_t>(input[i]));
        if (lead.length == 0 || size - i < static_cast<size_t>(lead.length)) {
            fail_from_bytes();
        }
        uint32_t cp = lead.bits;
        for (int k = 1; k < lead.length; ++k) {
            const uint8_t byte = static_cast<uint8_t>(input[i + k]);
            if ((byte & 0xC0) != 0x80) {
                fail_from_bytes();
            }
            cp = (cp << 6) | (byte & 0x3Fu);
        }
        if (cp < k_min_code_point_for_length[lead.length] || cp > k_max_code_point || is_surrogate(cp)) {
            fail_from_bytes();
        }
        out += static_cast<wchar_t>(cp);
        i += lead.length;
    }
    return out;
}

float similarity(const std::string & s0, const std::string & s1) {
    const size_t m = s0.size();
    const size_t n = s1.size();
    if (m == 0 && n == 0) {
        // 0 / 0, without asking the hardware (or a sanitizer) to divide by zero.
        return std::numeric_limits<float>::quiet_NaN();
    }
    // Two rows of the edit-distance table are enough: each row needs only the
    // one before it, so memory stays linear in the second text's length.
    std::vector<int32_t> previous(n + 1);
    std::vector<int32_t> current(n + 1);
    for (size_t j = 0; j <= n; ++j) {
        previous[j] = static_cast<int32_t>(j);
    }
    for (size_t i = 1; i <= m; ++i) {
        current[0] = static_cast<int32_t>(i);
        for (size_t j = 1; j <= n; ++j) {
            const int32_t substitution = previous[j - 1] + (s0[i - 1] == s1[j - 1] ? 0 : 1);
            current[j] = std::min(std::min(current[j - 1], previous[j]) + 1, substitution);
        }
        std::swap(previous, current);
    }
    const int32_t distance = previous[n];
    return 1.0f - static_cast<float>(distance) / static_cast<float>(std::max(m, n));
}
