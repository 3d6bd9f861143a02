#include "grammar_setup.h"

#include <cerrno>
#include <cstdio>
#include <string>

#include "common.h"
#include "error_text.h"
#include "grammar_parser.h"

namespace {

// The parser takes a NUL-terminated text, so a NUL byte would end the
// grammar there and what follows would never be looked at.
bool holds_nul_byte(const std::string & path, const std::string & contents) {
    const size_t at = contents.find('\0');
    if (at == std::string::npos) {
        return false;
    }
    fprintf(stderr, "%s: error reading grammar: %s: NUL byte at offset %zu\n", "read_grammar_file", path.c_str(),
            at);
    return true;
}

// A file that fails part-way would hand the parser a prefix, which may well
// parse and then constrain decoding to something the user never wrote; so
// the text counts only when the read reached the end of the file.
bool read_grammar_file(const std::string & path, std::string & contents) {
    contents.clear();
    int error = 0;
    FILE * file = fopen(path.c_str(), "rb");
    if (file == nullptr) {
        error = errno;
    } else {
        char buffer[4096];
        size_t n;
        while ((n = fread(buffer, 1, sizeof buffer, file)) > 0) {
            contents.append(buffer, n);
        }
        if (ferror(file)) {
            error = errno != 0 ? errno : EIO;
        }
        fclose(file);
    }
    if (error != 0) {
        fprintf(stderr, "%s: error reading grammar: %s: %s\n", "read_grammar_file", path.c_str(),
                error_text(error).c_str());
        return false;
    }
    return !holds_nul_byte(path, contents);
}

} // namespace

bool load_grammar(whisper_params & params) {
    if (params.grammar.empty()) {
        return true;
    }
    // The option names a file when one opens under that name; any other text
    // is taken as the grammar itself.
    std::string text = params.grammar;
    if (!is_file_exist(params.grammar.c_str()) || read_grammar_file(params.grammar, text)) {
        params.parsed_grammar = grammar_parser::parse(text.c_str());
    }
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
