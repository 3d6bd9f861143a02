// Feeds arbitrary bytes through the grammar reader, the listing and the rule
// export, and insists that every grammar the reader accepts is one the
// library can follow: it indexes rules by reference and walks each to its end
// element without further checks.

#include "grammar_parser.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

void require(bool holds, const char * what) {
    if (!holds) {
        fprintf(stderr, "grammar_fuzzer: %s\n", what);
        abort();
    }
}

uint32_t kind_of(const whisper_grammar_element & elem) {
    uint32_t kind;
    std::memcpy(&kind, &elem.type, sizeof kind);
    return kind;
}

bool is_char_kind(uint32_t kind) {
    return kind == WHISPER_GRETYPE_CHAR || kind == WHISPER_GRETYPE_CHAR_NOT ||
           kind == WHISPER_GRETYPE_CHAR_ALT || kind == WHISPER_GRETYPE_CHAR_RNG_UPPER;
}

void require_rule_well_formed(const std::vector<whisper_grammar_element> & rule, size_t n_rules) {
    require(!rule.empty(), "empty rule");
    require(kind_of(rule.back()) == WHISPER_GRETYPE_END, "rule without end element");
    for (size_t i = 0; i + 1 < rule.size(); ++i) {
        const uint32_t kind = kind_of(rule[i]);
        require(kind <= WHISPER_GRETYPE_CHAR_ALT, "unknown element kind");
        require(kind != WHISPER_GRETYPE_END, "end element before the last place");
        if (kind == WHISPER_GRETYPE_RULE_REF) {
            require(rule[i].value < n_rules, "reference beyond the rules");
        }
        if (kind == WHISPER_GRETYPE_CHAR_ALT || kind == WHISPER_GRETYPE_CHAR_RNG_UPPER) {
            require(i > 0 && is_char_kind(kind_of(rule[i - 1])), "class character without a class");
        }
    }
}

void require_state_usable(const grammar_parser::parse_state & state) {
    const size_t n_rules = state.rules.size();
    require(state.symbol_ids.size() == n_rules, "a name without a rule");
    std::vector<bool> id_seen(n_rules, false);
    for (const auto & entry : state.symbol_ids) {
        require(entry.second < n_rules && !id_seen[entry.second], "symbol ids not dense");
        id_seen[entry.second] = true;
    }
    for (const auto & rule : state.rules) {
        require_rule_well_formed(rule, n_rules);
    }
    const std::vector<const whisper_grammar_element *> exported = state.c_rules();
    require(exported.size() == n_rules, "export length differs from the rules");
    for (size_t i = 0; i < n_rules; ++i) {
        require(exported[i] == state.rules[i].data(), "export entry does not address its rule");
    }
}

// One listing line per rule, and nothing else, means the printer met no fault.
void require_listing_complete(const grammar_parser::parse_state & state) {
    char * buffer = nullptr;
    size_t size = 0;
    FILE * listing = open_memstream(&buffer, &size);
    require(listing != nullptr, "no memory stream");
    grammar_parser::print_grammar(listing, state);
    fclose(listing);
    size_t lines = 0;
    for (size_t i = 0; i < size; ++i) {
        lines += buffer[i] == '\n';
    }
    free(buffer);
    require(lines == state.rules.size(), "listing stopped early");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t * data, size_t size) {
    const std::string text(reinterpret_cast<const char *>(data), size);
    const grammar_parser::parse_state state = grammar_parser::parse(text.c_str());
    require_state_usable(state);
    require_listing_complete(state);
    return 0;
}
