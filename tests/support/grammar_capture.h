#pragma once

// The grammar parser's verdict on a text, with what it wrote on standard
// error, for the parser's tests and those of its bound checks.

#include <gtest/gtest.h>

#include <string>

#include "grammar_parser.h"

struct parsed {
    grammar_parser::parse_state state;
    std::string err;
};

inline parsed parse_capturing(const std::string & text) {
    testing::internal::CaptureStderr();
    grammar_parser::parse_state state = grammar_parser::parse(text.c_str());
    return {state, testing::internal::GetCapturedStderr()};
}

// A refused text yields its one message and nothing parsed.
inline void expect_rejected(const std::string & text, const std::string & message) {
    SCOPED_TRACE(testing::PrintToString(text));
    const parsed result = parse_capturing(text);
    EXPECT_EQ(result.err, "parse: error parsing grammar: " + message + "\n");
    EXPECT_TRUE(result.state.symbol_ids.empty());
    EXPECT_TRUE(result.state.rules.empty());
}
