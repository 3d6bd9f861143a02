#include "shell_quote.h"

std::string shell_single_quoted(const std::string & word) {
    std::string quoted = "'";
    for (const char c : word) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted += c;
        }
    }
    return quoted + "'";
}

std::string shell_double_quoted(const std::string & text) {
    std::string out;
    for (const char c : text) {
        if (c == '"' || c == '\\' || c == '$' || c == '`') out += '\\';
        out += c;
    }
    return out;
}

std::string shell_word(const std::string & word) {
    static const std::string k_plain =
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789@%+=:,./-_";
    const bool plain = !word.empty() && word.find_first_not_of(k_plain) == std::string::npos;
    return plain ? word : shell_single_quoted(word);
}
