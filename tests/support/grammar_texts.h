#pragma once

// Grammar texts at the edges of what the grammar parser lets through to the
// library, shared by the parser's own tests and those through the program.

#include <string>

// r0 ::= r1 "x", r1 ::= r2 "x", ...: every rule begins with the next, so the
// library nests one level per rule.
inline std::string leftmost_chain(int rules) {
    std::string text;
    for (int i = 0; i + 1 < rules; ++i) {
        text += "r" + std::to_string(i) + " ::= r" + std::to_string(i + 1) + " \"x\"\n";
    }
    return text + "r" + std::to_string(rules - 1) + " ::= \"y\"\n";
}

// root ::= "w0" | "w1" | ...
inline std::string one_rule_with_alternatives(int count) {
    std::string text = "root ::= \"w0\"";
    for (int i = 1; i < count; ++i) {
        text += " | \"w" + std::to_string(i) + "\"";
    }
    return text + "\n";
}
