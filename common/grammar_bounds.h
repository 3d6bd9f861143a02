#pragma once

#include "grammar_parser.h"

namespace grammar_parser {

// Refuses what the library's grammar sampling cannot survive: too many rules,
// left recursion, and rules that begin too deep or in too many ways. Needs
// every referenced rule defined. Throws std::runtime_error with the reason.
void check_grammar_bounds(const parse_state & state);

} // namespace grammar_parser
