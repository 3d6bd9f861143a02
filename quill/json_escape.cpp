#include "json_escape.h"

#include <cstdio>

namespace {

// Control characters are escaped as well as quotes and backslashes: a raw one
// (a newline token, say) would break a line of the stream in two or make a
// result file unreadable as JSON.
std::string escape(const std::string & text, bool quotes_too) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
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
    }
    return out;
}

} // namespace

std::string json_escape(const std::string & text) { return escape(text, true); }

std::string escape_control_bytes(const std::string & text) { return escape(text, false); }
