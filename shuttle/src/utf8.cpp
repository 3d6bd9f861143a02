#include "utf8.h"

#include <cstddef>

namespace {

bool is_continuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// Length of the sequence that starts at `text[at]`, or 0 when none starts there.
size_t sequence_length(std::string_view text, size_t at) {
    auto byte = [&](size_t i) { return static_cast<unsigned char>(text[at + i]); };
    unsigned char lead = byte(0);
    size_t left = text.size() - at;
    if (lead < 0x80) {
        return 1;
    }
    // The second byte's range carries the rules against overlong forms,
    // surrogates and code points past U+10FFFF.
    unsigned char low = 0x80, high = 0xBF;
    size_t length = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    if (left < length || byte(1) < low || byte(1) > high) {
        return 0;
    }
    for (size_t i = 2; i < length; ++i) {
        if (!is_continuation(byte(i))) {
            return 0;
        }
    }
    return length;
}

} // namespace

bool is_valid_utf8(std::string_view text) {
    for (size_t at = 0; at < text.size();) {
        size_t length = sequence_length(text, at);
        if (length == 0) {
            return false;
        }
        at += length;
    }
    return true;
}

std::string_view utf8_prefix(std::string_view text, size_t limit) {
    if (text.size() <= limit) {
        return text;
    }
    size_t end = limit;
    while (end > 0 && is_continuation(static_cast<unsigned char>(text[end]))) {
        --end;
    }
    return text.substr(0, end);
}
