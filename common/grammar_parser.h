#pragma once

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "whisper.h"

namespace grammar_parser {

// The parsed grammar: every rule name met (defined, referenced or generated)
// with its dense symbol id, and the rule bodies indexed by that id.
struct parse_state {
    std::map<std::string, uint32_t> symbol_ids;
    std::vector<std::vector<whisper_grammar_element>> rules;

    // One pointer per rule to its first element, null for an empty rule: the
    // form the library's grammar sampling takes. The pointers stay valid while
    // this state lives and its rules are not changed.
    std::vector<const whisper_grammar_element *> c_rules() const;
};

// Parses GBNF text (ended by a NUL byte). On any error it writes
// "parse: error parsing grammar: <message>" on standard error and returns an
// empty state, so callers only need to look at `rules`.
parse_state parse(const char * src);

// Writes one readable line per rule to `file`. An inconsistent state is
// reported on standard error; the lines before the fault stay written.
void print_grammar(FILE * file, const parse_state & state);

} // namespace grammar_parser
