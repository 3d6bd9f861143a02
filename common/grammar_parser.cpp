#include "grammar_parser.h"

#include <exception>
#include <stdexcept>
#include <utility>

#include "grammar_bounds.h"
#include "grammar_state.h"

namespace grammar_parser {
namespace {

using rule_elements = std::vector<whisper_grammar_element>;
using parsed_char = std::pair<uint32_t, const char *>;

// Every level of parentheses costs a nested parse_alternates and
// parse_sequence; the bound keeps hostile input from exhausting the stack.
constexpr int k_max_group_depth = 256;

// Syntax errors quote the rest of the text, so the user sees where it broke.
std::runtime_error error_at(const std::string & what, const char * rest) {
    return std::runtime_error(what + rest);
}

uint32_t get_symbol_id(parse_state & state, const char * src, size_t len) {
    const uint32_t next_id = static_cast<uint32_t>(state.symbol_ids.size());
    return state.symbol_ids.emplace(std::string(src, len), next_id).first->second;
}

// Generated names hold "_", which written names cannot, so they never clash.
uint32_t generate_symbol_id(parse_state & state, const std::string & base_name) {
    const uint32_t next_id = static_cast<uint32_t>(state.symbol_ids.size());
    state.symbol_ids[base_name + '_' + std::to_string(next_id)] = next_id;
    return next_id;
}

void add_rule(parse_state & state, uint32_t rule_id, const rule_elements & rule) {
    if (state.rules.size() <= rule_id) {
        state.rules.resize(rule_id + 1);
    }
    state.rules[rule_id] = rule;
}

bool is_word_char(char c) {
    return ('a' <= c && c <= 'z') || ('A' <= c && c <= 'Z') || c == '-' || ('0' <= c && c <= '9');
}

parsed_char parse_hex(const char * src, int size) {
    const char * pos = src;
    uint32_t value = 0;
    int read = 0;
    for (; read < size && *pos; ++read, ++pos) {
        const char c = *pos;
        uint32_t digit;
        if ('a' <= c && c <= 'f') {
            digit = c - 'a' + 10;
        } else if ('A' <= c && c <= 'F') {
            digit = c - 'A' + 10;
        } else if ('0' <= c && c <= '9') {
            digit = c - '0';
        } else {
            break;
        }
        value = (value << 4) + digit;
    }
    if (read != size) {
        throw std::runtime_error("expecting " + std::to_string(size) + " hex chars at " + src);
    }
    return {value, pos};
}

// Deliberately lenient: continuation bytes are not checked, and a sequence
// cut short by the end of the text keeps the bits gathered so far.
parsed_char decode_utf8(const char * src) {
    static const int k_lengths_by_high_bits[] = {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 2, 2, 3, 4};
    const uint8_t first_byte = static_cast<uint8_t>(*src);
    const int length = k_lengths_by_high_bits[first_byte >> 4];
    uint32_t value = first_byte & ((1u << (8 - length)) - 1);
    const char * pos = src + 1;
    for (int used = 1; used < length && *pos; ++used, ++pos) {
        value = (value << 6) + (static_cast<uint8_t>(*pos) & 0x3F);
    }
    return {value, pos};
}

parsed_char parse_char(const char * src) {
    if (*src == '\\') {
        switch (src[1]) {
            case 'x': return parse_hex(src + 2, 2);
            case 'u': return parse_hex(src + 2, 4);
            case 'U': return parse_hex(src + 2, 8);
            case 't': return {'\t', src + 2};
            case 'r': return {'\r', src + 2};
            case 'n': return {'\n', src + 2};
            case '\\':
            case '"':
            case '[':
            case ']':
                return {static_cast<uint8_t>(src[1]), src + 2};
            default:
                throw error_at("unknown escape at ", src);
        }
    }
    if (*src) {
        return decode_utf8(src);
    }
    throw std::runtime_error("unexpected end of input");
}

const char * parse_space(const char * src, bool newline_ok) {
    const char * pos = src;
    while (*pos == ' ' || *pos == '\t' || *pos == '#' || (newline_ok && (*pos == '\r' || *pos == '\n'))) {
        if (*pos == '#') {
            while (*pos && *pos != '\r' && *pos != '\n') {
                ++pos;
            }
        } else {
            ++pos;
        }
    }
    return pos;
}

const char * parse_name(const char * src) {
    const char * pos = src;
    while (is_word_char(*pos)) {
        ++pos;
    }
    if (pos == src) {
        throw error_at("expecting name at ", src);
    }
    return pos;
}

const char * parse_alternates(parse_state & state, const char * src, const std::string & rule_name,
                              uint32_t rule_id, int depth);

// Replaces the most recent item S of `out_elements` by a reference to a new
// rule: S* as R ::= S R |, S+ as R ::= S R | S, S? as R ::= S |.
void rewrite_repetition(parse_state & state, char op, const std::string & rule_name,
                        rule_elements & out_elements, size_t last_sym_start) {
    const uint32_t sub_rule_id = generate_symbol_id(state, rule_name);
    const rule_elements item(out_elements.begin() + last_sym_start, out_elements.end());
    rule_elements sub_rule = item;
    if (op == '*' || op == '+') {
        sub_rule.push_back({WHISPER_GRETYPE_RULE_REF, sub_rule_id});
    }
    sub_rule.push_back({WHISPER_GRETYPE_ALT, 0});
    if (op == '+') {
        sub_rule.insert(sub_rule.end(), item.begin(), item.end());
    }
    sub_rule.push_back({WHISPER_GRETYPE_END, 0});
    add_rule(state, sub_rule_id, sub_rule);
    out_elements.resize(last_sym_start);
    out_elements.push_back({WHISPER_GRETYPE_RULE_REF, sub_rule_id});
}

// Line ends only count as blanks inside parentheses (depth above 0): at the
// top level a line end ends the rule.
const char * parse_sequence(parse_state & state, const char * src, const std::string & rule_name,
                            rule_elements & out_elements, int depth) {
    const bool is_nested = depth > 0;
    // Starts at the current length so that nothing of an earlier alternative
    // can be taken as the item of a repetition.
    size_t last_sym_start = out_elements.size();
    const char * pos = src;
    while (*pos) {
        if (*pos == '"') {
            ++pos;
            last_sym_start = out_elements.size();
            while (*pos != '"') {
                const parsed_char c = parse_char(pos);
                pos = c.second;
                out_elements.push_back({WHISPER_GRETYPE_CHAR, c.first});
            }
            pos = parse_space(pos + 1, is_nested);
        } else if (*pos == '[') {
            ++pos;
            whisper_gretype start_type = WHISPER_GRETYPE_CHAR;
            if (*pos == '^') {
                ++pos;
                start_type = WHISPER_GRETYPE_CHAR_NOT;
            }
            last_sym_start = out_elements.size();
            while (*pos != ']') {
                const parsed_char c = parse_char(pos);
                pos = c.second;
                const whisper_gretype type =
                    last_sym_start < out_elements.size() ? WHISPER_GRETYPE_CHAR_ALT : start_type;
                out_elements.push_back({type, c.first});
                if (pos[0] == '-' && pos[1] != ']') {
                    const parsed_char upper = parse_char(pos + 1);
                    pos = upper.second;
                    out_elements.push_back({WHISPER_GRETYPE_CHAR_RNG_UPPER, upper.first});
                }
            }
            pos = parse_space(pos + 1, is_nested);
        } else if (is_word_char(*pos)) {
            const char * name_end = parse_name(pos);
            const uint32_t ref_rule_id = get_symbol_id(state, pos, name_end - pos);
            pos = parse_space(name_end, is_nested);
            last_sym_start = out_elements.size();
            out_elements.push_back({WHISPER_GRETYPE_RULE_REF, ref_rule_id});
        } else if (*pos == '(') {
            if (depth >= k_max_group_depth) {
                throw error_at("parentheses nested deeper than " + std::to_string(k_max_group_depth) +
                                   " levels at ", pos);
            }
            pos = parse_space(pos + 1, true);
            const uint32_t sub_rule_id = generate_symbol_id(state, rule_name);
            pos = parse_alternates(state, pos, rule_name, sub_rule_id, depth + 1);
            last_sym_start = out_elements.size();
            out_elements.push_back({WHISPER_GRETYPE_RULE_REF, sub_rule_id});
            if (*pos != ')') {
                throw error_at("expecting ')' at ", pos);
            }
            pos = parse_space(pos + 1, is_nested);
        } else if (*pos == '*' || *pos == '+' || *pos == '?') {
            if (last_sym_start == out_elements.size()) {
                throw error_at("expecting preceding item to */+/? at ", pos);
            }
            rewrite_repetition(state, *pos, rule_name, out_elements, last_sym_start);
            pos = parse_space(pos + 1, is_nested);
        } else {
            break;
        }
    }
    return pos;
}

const char * parse_alternates(parse_state & state, const char * src, const std::string & rule_name,
                              uint32_t rule_id, int depth) {
    rule_elements rule;
    const char * pos = parse_sequence(state, src, rule_name, rule, depth);
    while (*pos == '|') {
        rule.push_back({WHISPER_GRETYPE_ALT, 0});
        pos = parse_space(pos + 1, true);
        pos = parse_sequence(state, pos, rule_name, rule, depth);
    }
    rule.push_back({WHISPER_GRETYPE_END, 0});
    add_rule(state, rule_id, rule);
    return pos;
}

const char * parse_rule(parse_state & state, const char * src) {
    const char * name_end = parse_name(src);
    const char * pos = parse_space(name_end, false);
    const size_t name_len = name_end - src;
    const uint32_t rule_id = get_symbol_id(state, src, name_len);
    const std::string name(src, name_len);

    if (!(pos[0] == ':' && pos[1] == ':' && pos[2] == '=')) {
        throw error_at("expecting ::= at ", pos);
    }
    pos = parse_space(pos + 3, true);
    pos = parse_alternates(state, pos, name, rule_id, 0);

    if (*pos == '\r') {
        pos += pos[1] == '\n' ? 2 : 1;
    } else if (*pos == '\n') {
        ++pos;
    } else if (*pos) {
        throw error_at("expecting newline or end at ", pos);
    }
    return parse_space(pos, true);
}

// The library follows every reference as an index into the rules and expects
// a rule there that ends properly, so a name that is only referenced must not
// get through. The first such name in the text is reported.
void check_all_rules_defined(const parse_state & state) {
    const std::string * undefined_name = nullptr;
    uint32_t undefined_id = 0;
    for (const auto & [name, id] : state.symbol_ids) {
        const bool defined = id < state.rules.size() && !state.rules[id].empty();
        if (!defined && (undefined_name == nullptr || id < undefined_id)) {
            undefined_name = &name;
            undefined_id = id;
        }
    }
    if (undefined_name != nullptr) {
        throw std::runtime_error("reference to undefined rule '" + *undefined_name + "'");
    }
}

bool is_char_element(const whisper_grammar_element & elem) {
    switch (element_kind(elem)) {
        case WHISPER_GRETYPE_CHAR:
        case WHISPER_GRETYPE_CHAR_NOT:
        case WHISPER_GRETYPE_CHAR_ALT:
        case WHISPER_GRETYPE_CHAR_RNG_UPPER:
            return true;
        default:
            return false;
    }
}

void print_grammar_char(FILE * file, uint32_t c) {
    if (0x20 <= c && c <= 0x7f) {
        fputc(static_cast<int>(c), file);
    } else {
        fprintf(file, "<U+%04X>", c);
    }
}

std::string element_position(size_t rule_index, size_t element_index) {
    return std::to_string(rule_index) + "," + std::to_string(element_index);
}

void print_rule(FILE * file, size_t rule_index, const rule_elements & rule,
                const std::map<uint32_t, std::string> & symbol_id_names) {
    if (rule.empty() || element_kind(rule.back()) != WHISPER_GRETYPE_END) {
        throw std::runtime_error("malformed rule, does not end with WHISPER_GRETYPE_END: " +
                                 std::to_string(rule_index));
    }
    fprintf(file, "%s ::= ", symbol_id_names.at(static_cast<uint32_t>(rule_index)).c_str());
    for (size_t i = 0, end = rule.size() - 1; i < end; ++i) {
        const whisper_grammar_element & elem = rule[i];
        const bool follows_char = i > 0 && is_char_element(rule[i - 1]);
        switch (element_kind(elem)) {
            case WHISPER_GRETYPE_END:
                throw std::runtime_error("unexpected end of rule: " + element_position(rule_index, i));
            case WHISPER_GRETYPE_ALT:
                fprintf(file, "| ");
                break;
            case WHISPER_GRETYPE_RULE_REF:
                fprintf(file, "%s ", symbol_id_names.at(elem.value).c_str());
                break;
            case WHISPER_GRETYPE_CHAR:
                fprintf(file, "[");
                print_grammar_char(file, elem.value);
                break;
            case WHISPER_GRETYPE_CHAR_NOT:
                fprintf(file, "[^");
                print_grammar_char(file, elem.value);
                break;
            case WHISPER_GRETYPE_CHAR_RNG_UPPER:
                if (!follows_char) {
                    throw std::runtime_error("WHISPER_GRETYPE_CHAR_RNG_UPPER without preceding char: " +
                                             element_position(rule_index, i));
                }
                fprintf(file, "-");
                print_grammar_char(file, elem.value);
                break;
            case WHISPER_GRETYPE_CHAR_ALT:
                if (!follows_char) {
                    throw std::runtime_error("WHISPER_GRETYPE_CHAR_ALT without preceding char: " +
                                             element_position(rule_index, i));
                }
                print_grammar_char(file, elem.value);
                break;
            default:
                break;
        }
        if (is_char_element(elem)) {
            const uint32_t next_kind = element_kind(rule[i + 1]);
            if (next_kind != WHISPER_GRETYPE_CHAR_ALT && next_kind != WHISPER_GRETYPE_CHAR_RNG_UPPER) {
                fprintf(file, "] ");
            }
        }
    }
    fprintf(file, "\n");
}

} // namespace

parse_state parse(const char * src) {
    try {
        parse_state state;
        const char * pos = parse_space(src, true);
        while (*pos) {
            pos = parse_rule(state, pos);
        }
        check_all_rules_defined(state);
        check_grammar_bounds(state);
        return state;
    } catch (const std::exception & err) {
        fprintf(stderr, "%s: error parsing grammar: %s\n", "parse", err.what());
        return parse_state();
    }
}

void print_grammar(FILE * file, const parse_state & state) {
    try {
        const std::map<uint32_t, std::string> symbol_id_names = names_by_id(state);
        for (size_t i = 0; i < state.rules.size(); ++i) {
            print_rule(file, i, state.rules[i], symbol_id_names);
        }
    } catch (const std::exception & err) {
        fprintf(stderr, "\n%s: error printing grammar: %s\n", "print_grammar", err.what());
    }
}

std::vector<const whisper_grammar_element *> parse_state::c_rules() const {
    std::vector<const whisper_grammar_element *> pointers;
    pointers.reserve(rules.size());
    for (const auto & rule : rules) {
        pointers.push_back(rule.empty() ? nullptr : rule.data());
    }
    return pointers;
}

} // namespace grammar_parser
