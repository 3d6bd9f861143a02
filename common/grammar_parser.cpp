#include "grammar_parser.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <utility>

namespace grammar_parser {
namespace {

using rule_elements = std::vector<whisper_grammar_element>;
using parsed_char = std::pair<uint32_t, const char *>;

// Every level of parentheses costs a nested parse_alternates and
// parse_sequence; the bound keeps hostile input from exhausting the stack.
constexpr int k_max_group_depth = 256;

// The library's grammar sampling expands the rules that a decoding can begin
// with by recursion, one level per rule entered (through rules that match
// nothing, too), and keeps one stack for every way of beginning, each held
// against every token at every step. A chain of thousands of rules overflows
// its stack, and a few thousand ways to begin already cost seconds per
// transcription; grammars written for speech stay far below these bounds.
constexpr size_t k_max_rules = 4096;
constexpr int k_max_begin_depth = 1000;
constexpr uint64_t k_max_ways_to_begin = 4096;

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

// Read through a plain integer: a C++ enum object may not hold kinds beyond
// the named ones, yet a state can carry any 32-bit kind.
uint32_t element_kind(const whisper_grammar_element & elem) {
    static_assert(sizeof(elem.type) == sizeof(uint32_t), "the library's element kind is 32 bits");
    uint32_t kind;
    std::memcpy(&kind, &elem.type, sizeof kind);
    return kind;
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

// An alternative as far as the start of a decoding sees it: the rules it
// begins with, up to its first character, if it has one.
struct alternative_start {
    std::vector<uint32_t> leading_refs;
    bool reaches_char = false;
};

// How a rule begins when the library expands it: the longest chain of rules
// entered before a character is reached (stop) or while it matches nothing
// (pass), -1 when it cannot, and the number of ways of each, held at one
// above the bound so that products cannot overflow.
struct begin_measure {
    int stop_depth = -1;
    int pass_depth = -1;
    uint64_t stop_ways = 0;
    uint64_t pass_ways = 0;
};

uint64_t capped_ways(uint64_t ways) { return std::min(ways, k_max_ways_to_begin + 1); }
int capped_depth(int depth) { return std::min(depth, k_max_begin_depth + 1); }

std::vector<std::vector<alternative_start>> alternative_starts(const parse_state & state) {
    std::vector<std::vector<alternative_start>> starts(state.rules.size());
    for (size_t id = 0; id < state.rules.size(); ++id) {
        starts[id].emplace_back();
        for (const whisper_grammar_element & elem : state.rules[id]) {
            alternative_start & current = starts[id].back();
            const uint32_t kind = element_kind(elem);
            if (kind == WHISPER_GRETYPE_ALT) {
                starts[id].emplace_back();
            } else if (kind == WHISPER_GRETYPE_RULE_REF && !current.reaches_char) {
                current.leading_refs.push_back(elem.value);
            } else if (kind == WHISPER_GRETYPE_CHAR || kind == WHISPER_GRETYPE_CHAR_NOT) {
                current.reaches_char = true;
            }
        }
    }
    return starts;
}

// The rules that can match nothing, found from the alternatives without a
// character, each waiting for its rules to be found empty in turn.
std::vector<bool> empty_matching_rules(const std::vector<std::vector<alternative_start>> & starts) {
    std::vector<bool> matches_empty(starts.size(), false);
    std::vector<std::pair<uint32_t, size_t>> waiting;  // (rule, rules still unproven) per alternative
    std::vector<std::vector<size_t>> waiting_on(starts.size());
    std::vector<uint32_t> found;
    for (uint32_t id = 0; id < starts.size(); ++id) {
        for (const alternative_start & alt : starts[id]) {
            if (alt.reaches_char) {
                continue;
            }
            waiting.emplace_back(id, alt.leading_refs.size());
            for (const uint32_t ref : alt.leading_refs) {
                waiting_on[ref].push_back(waiting.size() - 1);
            }
            if (alt.leading_refs.empty() && !matches_empty[id]) {
                matches_empty[id] = true;
                found.push_back(id);
            }
        }
    }
    while (!found.empty()) {
        const uint32_t id = found.back();
        found.pop_back();
        for (const size_t index : waiting_on[id]) {
            auto & [owner, unproven] = waiting[index];
            if (--unproven == 0 && !matches_empty[owner]) {
                matches_empty[owner] = true;
                found.push_back(owner);
            }
        }
    }
    return matches_empty;
}

// The rules that a rule can begin with: its leading rules up to the first one
// that cannot match nothing.
std::vector<std::vector<uint32_t>> begin_edges(const std::vector<std::vector<alternative_start>> & starts,
                                               const std::vector<bool> & matches_empty) {
    std::vector<std::vector<uint32_t>> edges(starts.size());
    for (size_t id = 0; id < starts.size(); ++id) {
        for (const alternative_start & alt : starts[id]) {
            for (const uint32_t ref : alt.leading_refs) {
                edges[id].push_back(ref);
                if (!matches_empty[ref]) {
                    break;
                }
            }
        }
    }
    return edges;
}

std::map<uint32_t, std::string> names_by_id(const parse_state & state) {
    std::map<uint32_t, std::string> names;
    for (const auto & [name, id] : state.symbol_ids) {
        names[id] = name;
    }
    return names;
}

// Left recursion sends the library's expansion round the cycle until memory
// runs out. A depth-first walk without recursion (chains may be long) finds a
// cycle, or else gives the rules with every rule after those it begins with.
std::vector<uint32_t> rules_after_their_beginnings(const parse_state & state,
                                                   const std::vector<std::vector<uint32_t>> & edges) {
    enum class mark { unseen, open, done };
    std::vector<mark> marks(edges.size(), mark::unseen);
    std::vector<uint32_t> order;
    std::vector<std::pair<uint32_t, size_t>> path;  // rule and its next edge
    for (uint32_t root = 0; root < edges.size(); ++root) {
        if (marks[root] != mark::unseen) {
            continue;
        }
        marks[root] = mark::open;
        path.emplace_back(root, 0);
        while (!path.empty()) {
            auto & [id, next] = path.back();
            if (next == edges[id].size()) {
                marks[id] = mark::done;
                order.push_back(id);
                path.pop_back();
                continue;
            }
            const uint32_t ref = edges[id][next++];
            if (marks[ref] == mark::open) {
                const std::map<uint32_t, std::string> names = names_by_id(state);
                std::string cycle = names.at(ref);
                auto at = std::find_if(path.begin(), path.end(), [&](const auto & step) { return step.first == ref; });
                for (++at; at != path.end(); ++at) {
                    cycle += " -> " + names.at(at->first);
                }
                throw std::runtime_error("rule '" + names.at(ref) + "' is left-recursive: " + cycle + " -> " +
                                         names.at(ref));
            }
            if (marks[ref] == mark::unseen) {
                marks[ref] = mark::open;
                path.emplace_back(ref, 0);
            }
        }
    }
    return order;
}

begin_measure measure_rule(const std::vector<alternative_start> & alternatives,
                           const std::vector<begin_measure> & measures) {
    int stop_depth = -1;
    int pass_depth = -1;
    uint64_t stop_ways = 0;
    uint64_t pass_ways = 0;
    for (const alternative_start & alt : alternatives) {
        int depth = 0;    // rules entered on the longest way through the refs so far
        uint64_t ways = 1;  // ways through them that match nothing
        bool passes = true;
        for (const uint32_t ref : alt.leading_refs) {
            const begin_measure & m = measures[ref];
            if (m.stop_ways > 0) {
                stop_depth = std::max(stop_depth, depth + m.stop_depth);
                stop_ways = capped_ways(stop_ways + ways * m.stop_ways);
            }
            if (m.pass_ways == 0) {
                passes = false;
                break;
            }
            depth = capped_depth(depth + m.pass_depth);
            ways = capped_ways(ways * m.pass_ways);
        }
        if (passes && alt.reaches_char) {
            stop_depth = std::max(stop_depth, depth);
            stop_ways = capped_ways(stop_ways + ways);
        } else if (passes) {
            pass_depth = std::max(pass_depth, depth);
            pass_ways = capped_ways(pass_ways + ways);
        }
    }
    begin_measure m;
    m.stop_depth = stop_depth < 0 ? -1 : capped_depth(stop_depth + 1);
    m.pass_depth = pass_depth < 0 ? -1 : capped_depth(pass_depth + 1);
    m.stop_ways = stop_ways;
    m.pass_ways = pass_ways;
    return m;
}

// Refuses what the library's grammar sampling cannot survive: too many rules,
// left recursion, and rules that begin too deep or in too many ways. Needs
// every referenced rule defined.
void check_grammar_bounds(const parse_state & state) {
    if (state.symbol_ids.size() > k_max_rules) {
        throw std::runtime_error("more than " + std::to_string(k_max_rules) + " rules");
    }
    const std::vector<std::vector<alternative_start>> starts = alternative_starts(state);
    const std::vector<std::vector<uint32_t>> edges = begin_edges(starts, empty_matching_rules(starts));
    std::vector<begin_measure> measures(starts.size());
    for (const uint32_t id : rules_after_their_beginnings(state, edges)) {
        measures[id] = measure_rule(starts[id], measures);
        const begin_measure & m = measures[id];
        if (std::max(m.stop_depth, m.pass_depth) > k_max_begin_depth) {
            throw std::runtime_error("rule '" + names_by_id(state).at(id) + "' nests more than " +
                                     std::to_string(k_max_begin_depth) + " rules deep before its first character");
        }
        if (m.stop_ways + m.pass_ways > k_max_ways_to_begin) {
            throw std::runtime_error("rule '" + names_by_id(state).at(id) + "' can begin in more than " +
                                     std::to_string(k_max_ways_to_begin) + " ways");
        }
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
