#include "grammar_parser.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ostream>
#include <string>

#include "grammar_capture.h"

bool operator==(const whisper_grammar_element & a, const whisper_grammar_element & b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

void PrintTo(const whisper_grammar_element & elem, std::ostream * os) {
    uint32_t kind;
    std::memcpy(&kind, &elem.type, sizeof kind);
    static const char * const k_kind_names[] = {"END", "ALT", "RULE_REF", "CHAR", "CHAR_NOT", "CHAR_RNG_UPPER", "CHAR_ALT"};
    *os << (kind < 7 ? k_kind_names[kind] : "kind " + std::to_string(kind)) << " " << elem.value;
}

namespace {

using grammar_parser::parse_state;
using rule = std::vector<whisper_grammar_element>;
using rules = std::vector<rule>;
using names = std::map<std::string, uint32_t>;

const whisper_grammar_element k_end = {WHISPER_GRETYPE_END, 0};
const whisper_grammar_element k_alt = {WHISPER_GRETYPE_ALT, 0};
whisper_grammar_element ref(uint32_t id) { return {WHISPER_GRETYPE_RULE_REF, id}; }
whisper_grammar_element chr(uint32_t c) { return {WHISPER_GRETYPE_CHAR, c}; }
whisper_grammar_element chr_not(uint32_t c) { return {WHISPER_GRETYPE_CHAR_NOT, c}; }
whisper_grammar_element upper(uint32_t c) { return {WHISPER_GRETYPE_CHAR_RNG_UPPER, c}; }
whisper_grammar_element chr_alt(uint32_t c) { return {WHISPER_GRETYPE_CHAR_ALT, c}; }

// A kind the library does not name; written bytewise because a C++ enum
// object may not be given a value outside its range.
whisper_grammar_element unnamed_kind(uint32_t kind) {
    whisper_grammar_element elem = {WHISPER_GRETYPE_END, 0};
    std::memcpy(&elem.type, &kind, sizeof kind);
    return elem;
}

struct listing {
    std::string out;
    std::string err;
};

listing print_capturing(const parse_state & state) {
    char * buffer = nullptr;
    size_t size = 0;
    FILE * file = open_memstream(&buffer, &size);
    testing::internal::CaptureStderr();
    grammar_parser::print_grammar(file, state);
    listing result;
    result.err = testing::internal::GetCapturedStderr();
    fclose(file);
    result.out.assign(buffer, size);
    free(buffer);
    return result;
}

const char k_worked_example[] = "root ::= (\"yes\" | \"no\") [ \\t]* item+\nitem ::= [a-z]\n";

TEST(GrammarParser, WorkedExampleIdsAndRules) {
    const parsed result = parse_capturing(k_worked_example);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.state.symbol_ids, (names{{"root", 0}, {"root_1", 1}, {"root_2", 2}, {"item", 3}, {"root_4", 4}}));
    EXPECT_EQ(result.state.rules, (rules{
        {ref(1), ref(2), ref(4), k_end},
        {chr('y'), chr('e'), chr('s'), k_alt, chr('n'), chr('o'), k_end},
        {chr(' '), chr_alt('\t'), ref(2), k_alt, k_end},
        {chr('a'), upper('z'), k_end},
        {ref(3), ref(4), k_alt, ref(3), k_end},
    }));
}

TEST(GrammarPrinter, WorkedExampleListing) {
    const listing result = print_capturing(grammar_parser::parse(k_worked_example));
    EXPECT_EQ(result.out,
              "root ::= root_1 root_2 root_4 \n"
              "root_1 ::= [y] [e] [s] | [n] [o] \n"
              "root_2 ::= [ <U+0009>] root_2 | \n"
              "item ::= [a-z] \n"
              "root_4 ::= item root_4 | item \n");
    EXPECT_EQ(result.err, "");
}

struct accepted_case {
    const char * text;
    names symbol_ids;
    rules expected_rules;
};

// How the text is read: rule ends, blanks, classes, repetitions, escapes and
// the lenient UTF-8 decoding.
const accepted_case k_accepted[] = {
    {"", {}, {}},
    {"  # only a comment\n", {}, {}},
    {"root ::= \"a\"\r\nnext ::= \"b\"", {{"root", 0}, {"next", 1}}, {{chr('a'), k_end}, {chr('b'), k_end}}},
    {"root ::= \"a\"\rnext ::= \"b\"", {{"root", 0}, {"next", 1}}, {{chr('a'), k_end}, {chr('b'), k_end}}},
    {"root ::= \"a\" |\n  \"b\"\n", {{"root", 0}}, {{chr('a'), k_alt, chr('b'), k_end}}},
    {"root ::= (\"a\"\n | \"b\")\n", {{"root", 0}, {"root_1", 1}}, {{ref(1), k_end}, {chr('a'), k_alt, chr('b'), k_end}}},
    {"root ::= # the body may start on the next line\n  \"a\"", {{"root", 0}}, {{chr('a'), k_end}}},
    {"root ::= \"a\" # comment\n", {{"root", 0}}, {{chr('a'), k_end}}},
    {"root ::=", {{"root", 0}}, {{k_end}}},
    {"root ::= | \"a\" |", {{"root", 0}}, {{k_alt, chr('a'), k_alt, k_end}}},
    {"root ::= []", {{"root", 0}}, {{k_end}}},
    {"root ::= [^]", {{"root", 0}}, {{k_end}}},
    {"root ::= \"\"", {{"root", 0}}, {{k_end}}},
    {"root ::= ()", {{"root", 0}, {"root_1", 1}}, {{ref(1), k_end}, {k_end}}},
    {"root ::= \"ab\"+", {{"root", 0}, {"root_1", 1}},
     {{ref(1), k_end}, {chr('a'), chr('b'), ref(1), k_alt, chr('a'), chr('b'), k_end}}},
    {"root ::= [ab]?", {{"root", 0}, {"root_1", 1}}, {{ref(1), k_end}, {chr('a'), chr_alt('b'), k_alt, k_end}}},
    {"root ::= \"a\" *?", {{"root", 0}, {"root_1", 1}, {"root_2", 2}},
     {{ref(2), k_end}, {chr('a'), ref(1), k_alt, k_end}, {ref(1), k_alt, k_end}}},
    {"root ::= \"a\" | \"b\"*", {{"root", 0}, {"root_1", 1}},
     {{chr('a'), k_alt, ref(1), k_end}, {chr('b'), ref(1), k_alt, k_end}}},
    {"root ::= ((\"a\")*)", {{"root", 0}, {"root_1", 1}, {"root_2", 2}, {"root_3", 3}},
     {{ref(1), k_end}, {ref(3), k_end}, {chr('a'), k_end}, {ref(2), ref(3), k_alt, k_end}}},
    {"x ::= y\ny-2 ::= \"a\"\ny ::= y-2", {{"x", 0}, {"y", 1}, {"y-2", 2}},
     {{ref(1), k_end}, {ref(2), k_end}, {chr('a'), k_end}}},
    {"root ::= [a-]", {{"root", 0}}, {{chr('a'), chr_alt('-'), k_end}}},
    {"root ::= [-a]", {{"root", 0}}, {{chr('-'), chr_alt('a'), k_end}}},
    {"root ::= [a-c-e]", {{"root", 0}}, {{chr('a'), upper('c'), chr_alt('-'), chr_alt('e'), k_end}}},
    {"root ::= [z-a]", {{"root", 0}}, {{chr('z'), upper('a'), k_end}}},
    {"root ::= [^\\]\\[^]", {{"root", 0}}, {{chr_not(']'), chr_alt('['), chr_alt('^'), k_end}}},
    {"root ::= \"a\"\nroot ::= \"b\"\n", {{"root", 0}}, {{chr('b'), k_end}}},
    {"root ::= (\"a\")\nroot ::= \"b\"\n", {{"root", 0}, {"root_1", 1}}, {{chr('b'), k_end}, {chr('a'), k_end}}},
    {"root ::= \"\\x41\\u00e9\\U0001F600\\UFFFFFFFF\\n\\r\\t\\\\\\\"\\[\\]\"", {{"root", 0}},
     {{chr('A'), chr(0xE9), chr(0x1F600), chr(0xFFFFFFFF), chr('\n'), chr('\r'), chr('\t'), chr('\\'), chr('"'),
       chr('['), chr(']'), k_end}}},
    {"root ::= \"\xC3\xA9\xF0\x9F\x98\x80\"", {{"root", 0}}, {{chr(0xE9), chr(0x1F600), k_end}}},
    {"root ::= \"\xA9\"", {{"root", 0}}, {{chr(0x29), k_end}}},
    {"root ::= \"\xC3\"x\"", {{"root", 0}}, {{chr(0xE2), chr('x'), k_end}}},
    {"root ::= \"a\nb\"", {{"root", 0}}, {{chr('a'), chr('\n'), chr('b'), k_end}}},
};

TEST(GrammarParser, AcceptedTexts) {
    for (const accepted_case & c : k_accepted) {
        SCOPED_TRACE(testing::PrintToString(std::string(c.text)));
        const parsed result = parse_capturing(c.text);
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(result.state.symbol_ids, c.symbol_ids);
        EXPECT_EQ(result.state.rules, c.expected_rules);
    }
}

struct rejected_case {
    const char * text;
    const char * message;
};

// Every message quotes the rest of the text from where the reading broke.
const rejected_case k_rejected[] = {
    {"root ::= \"a\"\n  | \"b\"\n", "expecting name at | \"b\"\n"},
    {"::= \"a\"", "expecting name at ::= \"a\""},
    {"my_rule ::= \"x\"", "expecting ::= at _rule ::= \"x\""},
    {"root\n::= \"a\"", "expecting ::= at \n::= \"a\""},
    {"root ::=\nitem ::= \"x\"\n", "expecting newline or end at ::= \"x\"\n"},
    {"root ::= \"a\")", "expecting newline or end at )"},
    {"root ::=\v\"a\"", "expecting newline or end at \v\"a\""},
    {"root ::= (\"a\"", "expecting ')' at "},
    {"root ::= (\"a\"]\n", "expecting ')' at ]\n"},
    {"root ::= \"\"*", "expecting preceding item to */+/? at *"},
    {"root ::= []+ \"a\"", "expecting preceding item to */+/? at + \"a\""},
    {"root ::= \"a\" | ?", "expecting preceding item to */+/? at ?"},
    {"root ::= (+)", "expecting preceding item to */+/? at +)"},
    {"root ::= \"\\q\"", "unknown escape at \\q\""},
    {"root ::= [\\-]", "unknown escape at \\-]"},
    {"root ::= \"\\\xC3\xA9\"", "unknown escape at \\\xC3\xA9\""},
    {"root ::= \"\\", "unknown escape at \\"},
    {"root ::= \"abc", "unexpected end of input"},
    {"root ::= [a", "unexpected end of input"},
    {"root ::= [a-", "unexpected end of input"},
    {"root ::= \"\xC3\"", "unexpected end of input"},
    {"root ::= \"\\x4g\"", "expecting 2 hex chars at 4g\""},
    {"root ::= \"\\u12\"", "expecting 4 hex chars at 12\""},
    {"root ::= \"\\U0001F60\"", "expecting 8 hex chars at 0001F60\""},
    {"root ::= \"\\x", "expecting 2 hex chars at "},
    // Only referenced, never defined: the library would follow a null rule.
    {"root ::= other\n", "reference to undefined rule 'other'"},
    {"root ::= b a\na ::= \"x\"\n", "reference to undefined rule 'b'"},
    {"root ::= zeta alpha\n", "reference to undefined rule 'zeta'"},
};

TEST(GrammarParser, RejectedTextsReportAndYieldNothing) {
    for (const rejected_case & c : k_rejected) {
        expect_rejected(c.text, c.message);
    }
}

TEST(GrammarParser, NulEndsTheText) {
    const std::string text("root ::= \"a\"\0garbage", 20);
    const parsed result = parse_capturing(text);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.state.rules, (rules{{chr('a'), k_end}}));
}

std::string nested_groups(int depth) {
    return "root ::= " + std::string(depth, '(') + "\"a\"" + std::string(depth, ')');
}

TEST(GrammarParser, BoundsParenthesisNesting) {
    const parsed deepest = parse_capturing(nested_groups(256));
    EXPECT_EQ(deepest.err, "");
    EXPECT_EQ(deepest.state.rules.size(), 257u);

    const parsed too_deep = parse_capturing(nested_groups(257));
    EXPECT_EQ(too_deep.err, "parse: error parsing grammar: parentheses nested deeper than 256 levels at (\"a\"" +
                                std::string(257, ')') + "\n");
    EXPECT_TRUE(too_deep.state.rules.empty());
}

struct listed_case {
    const char * text;
    const char * listing;
};

// Characters come out bare or as code points, never escaped.
const listed_case k_listed[] = {
    {"root ::= \"a\"\n", "root ::= [a] \n"},
    {"root ::=", "root ::= \n"},
    {"root ::= \"abc\"", "root ::= [a] [b] [c] \n"},
    {"root ::= [\\]]", "root ::= []] \n"},
    {"root ::= [\\\\^-]", "root ::= [\\^-] \n"},
    {"root ::= [^a-z0-9]", "root ::= [^a-z0-9] \n"},
    {"root ::= [\\x1F\\x20\\x7F\\x80]", "root ::= [<U+001F> \x7F<U+0080>] \n"},
    {"root ::= \"\\U0010FFFF\\U0001F600\\t\"", "root ::= [<U+10FFFF>] [<U+1F600>] [<U+0009>] \n"},
    {"root ::= \"a\" | [b-c] | ", "root ::= [a] | [b-c] | \n"},
};

TEST(GrammarPrinter, ListsParsedRules) {
    for (const listed_case & c : k_listed) {
        SCOPED_TRACE(testing::PrintToString(std::string(c.text)));
        const listing result = print_capturing(grammar_parser::parse(c.text));
        EXPECT_EQ(result.out, c.listing);
        EXPECT_EQ(result.err, "");
    }
}

TEST(GrammarPrinter, EmptyStatePrintsAndExportsNothing) {
    const parse_state empty;
    const listing result = print_capturing(empty);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "");
    EXPECT_TRUE(empty.c_rules().empty());
}

TEST(GrammarPrinter, UnnamedKindPrintsNothing) {
    const parse_state state{{{"root", 0}}, {{chr('a'), unnamed_kind(9), chr('b'), k_end}}};
    const listing result = print_capturing(state);
    EXPECT_EQ(result.out, "root ::= [a] [b] \n");
    EXPECT_EQ(result.err, "");
}

struct malformed_case {
    const char * label;
    parse_state state;
    const char * out;
    const char * message;
};

// States that the parser never returns; the listing stops at the fault and
// what was written before it stays.
const malformed_case k_malformed[] = {
    {"undefined middle rule",
     {{{"root", 0}, {"a", 1}, {"b", 2}}, {{ref(1), ref(2), k_end}, {}, {chr('x'), k_end}}},
     "root ::= a b \n",
     "malformed rule, does not end with WHISPER_GRETYPE_END: 1"},
    {"no end element", {{{"root", 0}}, {{chr('a')}}}, "", "malformed rule, does not end with WHISPER_GRETYPE_END: 0"},
    {"early end element", {{{"root", 0}}, {{chr('a'), k_end, chr('b'), k_end}}}, "root ::= [a] ",
     "unexpected end of rule: 0,1"},
    {"range end first", {{{"root", 0}}, {{upper('z'), k_end}}}, "root ::= ",
     "WHISPER_GRETYPE_CHAR_RNG_UPPER without preceding char: 0,0"},
    {"class character after a reference", {{{"r", 0}, {"s", 1}}, {{k_end}, {ref(0), chr_alt('a'), k_end}}},
     "r ::= \ns ::= r ", "WHISPER_GRETYPE_CHAR_ALT without preceding char: 1,1"},
};

TEST(GrammarPrinter, MalformedStatesStopTheListing) {
    for (const malformed_case & c : k_malformed) {
        SCOPED_TRACE(c.label);
        const listing result = print_capturing(c.state);
        EXPECT_EQ(result.out, c.out);
        EXPECT_EQ(result.err, std::string("\nprint_grammar: error printing grammar: ") + c.message + "\n");
    }
}

TEST(GrammarPrinter, NamelessReferenceStopsTheListing) {
    const parse_state state{{{"root", 0}}, {{ref(7), k_end}}};
    const listing result = print_capturing(state);
    EXPECT_EQ(result.out, "root ::= ");
    EXPECT_THAT(result.err, testing::StartsWith("\nprint_grammar: error printing grammar: "));
}

TEST(GrammarExport, PointsAtEachRuleAndNullForEmptyOnes) {
    const parse_state state{{{"root", 0}, {"a", 1}, {"b", 2}, {"c", 3}}, {{ref(1), ref(2), k_end}, {}, {chr('x'), k_end}}};
    const std::vector<const whisper_grammar_element *> exported = state.c_rules();
    ASSERT_EQ(exported.size(), 3u);
    EXPECT_EQ(exported[0], state.rules[0].data());
    EXPECT_EQ(exported[1], nullptr);
    EXPECT_EQ(exported[2], state.rules[2].data());
}

} // namespace
