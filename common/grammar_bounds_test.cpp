#include "grammar_parser.h"

#include <gtest/gtest.h>

#include <string>

#include "grammar_capture.h"
#include "grammar_texts.h"

// The bound checks are reached through the parser's entry point, which runs
// them on every grammar it reads and turns their refusal into its message.

namespace {

TEST(GrammarParser, RefusesLeftRecursionNamingItsCycle) {
    // Directly, through other rules, and behind rules that can match nothing.
    const struct {
        const char * text;
        const char * message;
    } cases[] = {
        {"root ::= root \"a\" | \"b\"\n", "rule 'root' is left-recursive: root -> root"},
        {"root ::= a \"x\" | \"y\"\na ::= b\nb ::= root \"z\"\n",
         "rule 'root' is left-recursive: root -> a -> b -> root"},
        {"root ::= \"x\"* root | \"y\"\n", "rule 'root' is left-recursive: root -> root"},
        {"root ::= ( | \"x\") ([a-z]? expr)\nexpr ::= root\n",
         "rule 'root' is left-recursive: root -> root_2 -> expr -> root"},
    };
    for (const auto & c : cases) {
        expect_rejected(c.text, c.message);
    }
}

std::string numbered_rules(int count, const std::string & body_of_rule) {
    std::string text;
    for (int i = 0; i < count; ++i) {
        text += "r" + std::to_string(i) + " ::= " + body_of_rule + "\n";
    }
    return text;
}

// Each "a" begins either way or matches nothing, so the ways to begin double
// with every "a" the root begins with.
std::string doubling_choices(int count) {
    std::string text = "root ::=";
    for (int i = 0; i < count; ++i) {
        text += " a";
    }
    return text + " \"z\"\na ::= [x]? | [y]?\n";
}

TEST(GrammarParser, BoundsWhatTheLibraryExpands) {
    struct bound_case {
        std::string at_bound;
        std::string beyond;
        std::string message;
    };
    const bound_case cases[] = {
        {numbered_rules(4096, "\"x\""), numbered_rules(4097, "\"x\""), "more than 4096 rules"},
        {leftmost_chain(1000), leftmost_chain(1001),
         "rule 'r0' nests more than 1000 rules deep before its first character"},
        {one_rule_with_alternatives(4096), one_rule_with_alternatives(4097),
         "rule 'root' can begin in more than 4096 ways"},
        {doubling_choices(10), doubling_choices(12), "rule 'root' can begin in more than 4096 ways"},
    };
    for (const bound_case & c : cases) {
        SCOPED_TRACE(c.message);
        const parsed at_bound = parse_capturing(c.at_bound);
        EXPECT_EQ(at_bound.err, "");
        EXPECT_FALSE(at_bound.state.rules.empty());

        const parsed beyond = parse_capturing(c.beyond);
        EXPECT_EQ(beyond.err, "parse: error parsing grammar: " + c.message + "\n");
        EXPECT_TRUE(beyond.state.rules.empty());
    }
}

} // namespace
