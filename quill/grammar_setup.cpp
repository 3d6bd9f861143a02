#include "grammar_setup.h"

#include <cstdio>
#include <string>

#include "common.h"
#include "grammar_parser.h"

namespace {

// A read error (a directory opens but cannot be read) ends the text there;
// what was read, possibly nothing, is then parsed and judged like any text.
std::string read_whole_file(const std::string & path) {
    std::string contents;
    FILE * file = fopen(path.c_str(), "rb");
    if (file == nullptr) {
        return contents;
    }
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, file)) > 0) {
        contents.append(buffer, n);
    }
    fclose(file);
    return contents;
}

} // namespace

bool load_grammar(whisper_params & params) {
    if (params.grammar.empty()) {
        return true;
    }
    // The option names a file when one opens under that name; any other text
    // is taken as the grammar itself.
    const std::string text = is_file_exist(params.grammar.c_str()) ? read_whole_file(params.grammar) : params.grammar;
    params.parsed_grammar = grammar_parser::parse(text.c_str());
    if (params.parsed_grammar.rules.empty()) {
        fprintf(stderr, "error: failed to parse grammar \"%s\"\n", params.grammar.c_str());
        return false;
    }
    // Echoed even with "--no-prints": the caller asked for the constraint and
    // should see what it became.
    fprintf(stderr, "%s: grammar:\n", "main");
    grammar_parser::print_grammar(stderr, params.parsed_grammar);
    fprintf(stderr, "\n");
    return true;
}
