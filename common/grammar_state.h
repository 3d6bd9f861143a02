#pragma once

// Readers of a parsed grammar shared by its printer and its bound checks.

#include <cstdint>
#include <cstring>
#include <map>
#include <string>

#include "grammar_parser.h"

namespace grammar_parser {

// Read through a plain integer: a C++ enum object may not hold kinds beyond
// the named ones, yet a state can carry any 32-bit kind.
inline uint32_t element_kind(const whisper_grammar_element & elem) {
    static_assert(sizeof(elem.type) == sizeof(uint32_t), "the library's element kind is 32 bits");
    uint32_t kind;
    std::memcpy(&kind, &elem.type, sizeof kind);
    return kind;
}

// Rule names by symbol id, for messages and the listing.
inline std::map<uint32_t, std::string> names_by_id(const parse_state & state) {
    std::map<uint32_t, std::string> names;
    for (const auto & [name, id] : state.symbol_ids) {
        names[id] = name;
    }
    return names;
}

} // namespace grammar_parser
