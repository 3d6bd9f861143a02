#include "command_line.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <regex>

#include "append_format.h"
#include "option_table.h"

namespace {

// The library compiles the pattern with std::regex at the first
// transcription and has no answer to one that does not compile. Compiling
// recurses about once per byte of the pattern in some standard libraries,
// and the library does it on the processing thread, whose stack may be as
// small as 512 KiB: the length bound keeps that well clear of the end.
constexpr size_t k_max_regex_bytes = 1024;

// No usage text here: the option was recognised, only its value is missing.
command_line_result requires_value_error(const std::string & option) {
    std::string message;
    append_format(message, "error: argument %s requires value\n", option.c_str());
    return stop_with(quill_exit::argument_error, message, false);
}

command_line_result bad_value_error(const std::string & option, const std::string & value,
                                    const std::string & problem) {
    std::string message;
    append_format(message, "error: argument %s: value '%s' %s\n", option.c_str(), value.c_str(), problem.c_str());
    return stop_with(quill_exit::argument_error, message, false);
}

// Like the C conversions the options have always used (leading blanks, a sign,
// trailing junk ignored), but a value without a number or beyond the field's
// range is reported instead of being stored as garbage.
bool convert_value(const std::string & text, int32_t & out, bool & out_of_range) {
    const char * start = text.c_str();
    char * end = nullptr;
    errno = 0;
    const long value = std::strtol(start, &end, 10);
    if (end == start) {
        out_of_range = false;
        return false;
    }
    if (errno == ERANGE || value < std::numeric_limits<int32_t>::min() ||
        value > std::numeric_limits<int32_t>::max()) {
        out_of_range = true;
        return false;
    }
    out = static_cast<int32_t>(value);
    return true;
}

bool convert_value(const std::string & text, float & out, bool & out_of_range) {
    const char * start = text.c_str();
    char * end = nullptr;
    errno = 0;
    const float value = std::strtof(start, &end);
    if (end == start) {
        out_of_range = false;
        return false;
    }
    // Underflow rounds toward zero, which is harmless; only an overflow to
    // infinity from finite digits is refused ("inf" itself is accepted).
    if (errno == ERANGE && std::isinf(value)) {
        out_of_range = true;
        return false;
    }
    out = value;
    return true;
}

struct apply_option {
    whisper_params & params;
    const std::string & option;
    const std::string & value;
    value_refusal refusal;
    command_line_result & result;

    void operator()(help_request) const {}

    void operator()(const flag_setting & flag) const {
        params.*flag.field = flag.value;
        if (flag.also_set != nullptr) {
            params.*flag.also_set = true;
        }
    }

    template <typename number> void operator()(number whisper_params::* field) const {
        bool out_of_range = false;
        if (!convert_value(value, params.*field, out_of_range)) {
            result = bad_value_error(option, value, out_of_range ? "is out of range" : "is not a number");
            return;
        }
        const std::string problem = refusal != nullptr ? refusal(params.*field) : "";
        if (!problem.empty()) {
            result = bad_value_error(option, value, problem);
        }
    }

    void operator()(std::string whisper_params::* field) const { params.*field = value; }

    void operator()(const lowercase_text & text) const {
        std::string lowered = value;
        whisper_param_turn_lowercase(&lowered[0]);
        params.*text.field = lowered;
    }

    void operator()(const regex_text & text) const {
        if (value.size() > k_max_regex_bytes) {
            result = bad_value_error(option, value, "is longer than " + std::to_string(k_max_regex_bytes) + " bytes");
            return;
        }
        try {
            const std::regex compiled(value);
        } catch (const std::regex_error &) {
            result = bad_value_error(option, value, "is not a valid regular expression");
            return;
        }
        params.*text.field = value;
    }

    // The value may be far too long to echo: the problem says what it is.
    void operator()(const checked_text & text) const {
        const std::string problem = text.refusal(value);
        if (!problem.empty()) {
            result = stop_with(quill_exit::argument_error, "error: argument " + option + ": value " + problem + "\n",
                               false);
            return;
        }
        params.*text.field = value;
    }

    void operator()(std::vector<std::string> whisper_params::* field) const { (params.*field).push_back(value); }
};

} // namespace

command_line_result stop_with(quill_exit status, std::string message, bool show_usage) {
    command_line_result result;
    result.finished = true;
    result.exit_status = exit_code(status);
    result.message = std::move(message);
    result.show_usage = show_usage;
    return result;
}

command_line_result parse_command_line(const std::vector<std::string> & args, whisper_params & params) {
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string & arg = args[i];
        if (arg.empty() || arg[0] != '-' || arg == "-") {
            params.input_names.push_back(arg);
            continue;
        }
        const option_entry * entry = find_option(arg);
        if (entry == nullptr) {
            std::string message;
            append_format(message, "error: unknown argument: %s\n", arg.c_str());
            return stop_with(quill_exit::argument_error, message, true);
        }
        if (std::holds_alternative<help_request>(entry->action)) {
            return stop_with(quill_exit::success, "", true);
        }
        static const std::string k_no_value;
        const std::string * value = &k_no_value;
        if (takes_value(entry->action)) {
            if (i + 1 >= args.size()) {
                return requires_value_error(arg);
            }
            value = &args[++i];
        }
        command_line_result result;
        std::visit(apply_option{params, arg, *value, entry->refusal, result}, entry->action);
        if (result.finished) {
            return result;
        }
    }
    return {};
}

char * whisper_param_turn_lowercase(char * s) {
    for (char * p = s; *p != '\0'; ++p) {
        *p = static_cast<char>(std::tolower(static_cast<unsigned char>(*p)));
    }
    return s;
}

