#pragma once

#include <cstddef>
#include <string>
#include <variant>
#include <vector>

#include "settings.h"

// Every option of the command line in one table: what it sets, what it
// refuses and how the usage text shows it, so that the parser and the usage
// text cannot drift apart.

struct flag_setting {
    bool whisper_params::* field;
    bool value;
    bool whisper_params::* also_set;  // "-ojf" implies "-oj"
};

struct lowercase_text {
    std::string whisper_params::* field;
};

// A pattern that the library compiles only at the first transcription, so
// the parser checks it first.
struct regex_text {
    std::string whisper_params::* field;
};

// A text that the library can take only within bounds: what `refusal` finds
// wrong with it ("" when nothing) ends the command line.
struct checked_text {
    std::string whisper_params::* field;
    std::string (*refusal)(const std::string & value);
};

struct help_request {};

using option_action = std::variant<help_request, flag_setting, int32_t whisper_params::*, float whisper_params::*,
                                   std::string whisper_params::*, lowercase_text, regex_text, checked_text,
                                   std::vector<std::string> whisper_params::*>;

// What is wrong with a converted number, or "" when the library can take it.
// The number arrives as a double, which holds every int32_t and float exactly.
using value_refusal = std::string (*)(double value);

struct option_entry {
    const char * short_name;  // nullptr when the option has only its long form
    const char * long_name;
    option_action action;
    // The usage text's names column, placeholders and spacing as shown;
    // nullptr for an option that the usage text does not list.
    const char * usage_names;
    const char * help;
    value_refusal refusal = nullptr;
    int usage_decimals = 2;  // a real value's digits after the point in the usage text
};

// The widest names column; the value column starts after it and one blank.
constexpr size_t k_usage_names_width = 30;

// In the order of the usage text. No two options share a name, so the order
// in which the parser compares them changes nothing.
extern const std::vector<option_entry> k_options;

// The row whose short or long name is `arg` exactly, or nullptr.
const option_entry * find_option(const std::string & arg);

bool takes_value(const option_action & action);
