#include "usage_text.h"

#include <cstdio>

#include "append_format.h"
#include "option_table.h"

namespace {

const char * bool_text(bool value) { return value ? "true" : "false"; }

// The value column of one row: the setting as it stands now.
struct current_value {
    const whisper_params & params;
    int decimals;

    std::string operator()(help_request) const { return "default"; }

    // "-ng" clears `use_gpu`, so its column says whether the option is in effect.
    std::string operator()(const flag_setting & flag) const { return bool_text(params.*flag.field == flag.value); }

    std::string operator()(int32_t whisper_params::* field) const { return std::to_string(params.*field); }

    std::string operator()(float whisper_params::* field) const {
        std::string text;
        append_format(text, "%.*f", decimals, static_cast<double>(params.*field));
        return text;
    }

    std::string operator()(std::string whisper_params::* field) const { return params.*field; }
    std::string operator()(const lowercase_text & text) const { return params.*text.field; }
    std::string operator()(const regex_text & text) const { return params.*text.field; }
    std::string operator()(const checked_text & text) const { return params.*text.field; }

    // The names given so far are not shown: the column stays empty.
    std::string operator()(std::vector<std::string> whisper_params::*) const { return ""; }
};

} // namespace

std::string format_usage(const std::string & program_name, const whisper_params & params) {
    std::string usage;
    append_format(usage, "\n");
    append_format(usage, "usage: %s [options] file0 file1 ...\n", program_name.c_str());
    append_format(usage, "supported audio formats: flac, mp3, ogg, wav\n");
    append_format(usage, "\n");
    append_format(usage, "options:\n");
    for (const option_entry & entry : k_options) {
        if (entry.usage_names == nullptr) {
            continue;
        }
        const std::string value = std::visit(current_value{params, entry.usage_decimals}, entry.action);
        append_format(usage, "  %-*s [%-7s] %s\n", static_cast<int>(k_usage_names_width), entry.usage_names,
                      value.c_str(), entry.help);
    }
    append_format(usage, "\n");
    return usage;
}

void whisper_print_usage(int /*argc*/, char ** argv, const whisper_params & params) {
    const std::string usage = format_usage(argv[0] != nullptr ? argv[0] : "", params);
    std::fwrite(usage.data(), 1, usage.size(), stderr);
}
