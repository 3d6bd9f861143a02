#pragma once

#include <cstdint>
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
};

} // namespace grammar_parser
