#include "json_escape.h"

#include <cstdio>

namespace {

// The well-formed UTF-8 sequences by their first byte: the length, and the
// range the second byte must fall in; every later byte is 80..BF. The narrow
// ranges keep out overlong forms (E0, F0), surrogates (ED) and code points
// beyond U+10FFFF (F4). 80..C1 and F5..FF never begin a character.
struct utf8_lead {
    unsigned char first, last;
    size_t length;
    unsigned char second_low, second_high;
};

constexpr utf8_lead k_utf8_leads[] = {
    {0xC2, 0xDF, 2, 0x80, 0xBF}, {0xE0, 0xE0, 3, 0xA0, 0xBF}, {0xE1, 0xEC, 3, 0x80, 0xBF},
    {0xED, 0xED, 3, 0x80, 0x9F}, {0xEE, 0xEF, 3, 0x80, 0xBF}, {0xF0, 0xF0, 4, 0x90, 0xBF},
    {0xF1, 0xF3, 4, 0x80, 0xBF}, {0xF4, 0xF4, 4, 0x80, 0x8F},
};

constexpr const char * k_replacement_character = "\xEF\xBF\xBD";

// The bytes at `at` (a byte from 0x80 up) that make one character, or, when
// they make none, the maximal subpart that one U+FFFD replaces: the longest
// start of a well-formed sequence, or else the single byte.
struct utf8_step {
    size_t length;
    bool well_formed;
};

utf8_step next_utf8_step(const std::string & text, size_t at) {
    const auto lead = static_cast<unsigned char>(text[at]);
    for (const utf8_lead & entry : k_utf8_leads) {
        if (lead < entry.first || lead > entry.last) {
            continue;
        }
        unsigned char low = entry.second_low;
        unsigned char high = entry.second_high;
        size_t length = 1;
        while (length < entry.length && at + length < text.size()) {
            const auto byte = static_cast<unsigned char>(text[at + length]);
            if (byte < low || byte > high) {
                break;
            }
            low = 0x80;
            high = 0xBF;
            ++length;
        }
        return {length, length == entry.length};
    }
    return {1, false};
}

// Control characters are escaped as well as quotes and backslashes: a raw one
// (a newline token, say) would break a line of the stream in two or make a
// result file unreadable as JSON. Broken characters are replaced because the
// library's tokens can split one (a segment cut inside a Chinese character,
// say), and a strict JSON reader refuses the whole line for it.
std::string escape(const std::string & text, bool quotes_too) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        const char c = text[i];
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x80) {
            const utf8_step step = next_utf8_step(text, i);
            if (step.well_formed) {
                out.append(text, i, step.length);
            } else {
                out += k_replacement_character;
            }
            i += step.length;
            continue;
        }
        if (quotes_too && (c == '"' || c == '\\')) {
            out += '\\';
            out += c;
        } else if (byte < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", byte);
            out += buf;
        } else {
            out += c;
        }
        ++i;
    }
    return out;
}

} // namespace

std::string json_escape(const std::string & text) { return escape(text, true); }

std::string escape_control_bytes(const std::string & text) { return escape(text, false); }
