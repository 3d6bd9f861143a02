#include "grammar_bounds.h"

#include <algorithm>
#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "grammar_state.h"

namespace grammar_parser {
namespace {

// The library's grammar sampling expands the rules that a decoding can begin
// with by recursion, one level per rule entered (through rules that match
// nothing, too), and keeps one stack for every way of beginning, each held
// against every token at every step. A chain of thousands of rules overflows
// its stack, and a few thousand ways to begin already cost seconds per
// transcription; grammars written for speech stay far below these bounds.
constexpr size_t k_max_rules = 4096;
constexpr int k_max_begin_depth = 1000;
constexpr uint64_t k_max_ways_to_begin = 4096;

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

} // namespace

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

} // namespace grammar_parser
