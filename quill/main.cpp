#include <signal.h>

#include <cstdio>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "audio_handoff.h"
#include "command_line.h"
#include "common.h"
#include "dtw_presets.h"
#include "exit_status.h"
#include "grammar_setup.h"
#include "model_header.h"
#include "prompt_tokens.h"
#include "response_file.h"
#include "run_input.h"
#include "settings.h"
#include "signal_notice.h"
#include "standard_descriptors.h"
#include "usage_text.h"
#include "whisper.h"

namespace {

void install_signal_handler() {
    struct sigaction action = {};
    action.sa_handler = handle_signal;
    sigemptyset(&action.sa_mask);
    // Restart interrupted calls and keep the handler, so every SIGINT gets
    // its notice and nothing else is disturbed.
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
}

void cb_log_disable(enum ggml_log_level, const char *, void *) {}

void report_no_input(int argc, char ** argv, const whisper_params & params) {
    std::fprintf(stderr, "error: no input files specified\n");
    whisper_print_usage(argc, argv, params);
}

// "-" is standard input, which needs no test; other names must open, since
// they label the run and may be read as the karaoke script's input.
void drop_missing_inputs(whisper_params & params) {
    std::vector<std::string> kept;
    for (const std::string & name : params.input_names) {
        if (name != "-" && !is_file_exist(name.c_str())) {
            std::fprintf(stderr, "error: input file not found '%s'\n", name.c_str());
            continue;
        }
        kept.push_back(name);
    }
    params.input_names = kept;
}

// The library fails inside loading a model whose decoder lacks the preset's
// heads, so the size is taken from the file's header first. A file without
// a readable header is left for the library to refuse.
bool dtw_preset_fits_model(const whisper_params & params, whisper_alignment_heads_preset heads,
                           const std::optional<text_decoder_shape> & model) {
    const text_decoder_shape preset = dtw_preset_decoder(heads);
    if (!model || (model->layers == preset.layers && model->width == preset.width)) {
        return true;
    }
    std::fprintf(stderr,
                 "error: DTW preset '%s' is for a model with %d text layers of width %d, but '%s' has %d of width %d\n",
                 params.dtw.c_str(), preset.layers, preset.width, params.model.c_str(), model->layers, model->width);
    return false;
}

// The checks between the command line and the model: the input names that
// remain, the language and the diarization switches. The status to end with
// when one fails.
std::optional<quill_exit> check_settings(int argc, char ** argv, whisper_params & params) {
    if (params.input_names.empty()) {
        report_no_input(argc, argv, params);
        return quill_exit::no_input;
    }
    drop_missing_inputs(params);
    if (params.input_names.empty()) {
        report_no_input(argc, argv, params);
        return quill_exit::no_input;
    }

    if (params.language != "auto" && whisper_lang_id(params.language.c_str()) == -1) {
        std::fprintf(stderr, "error: unknown language '%s'\n", params.language.c_str());
        whisper_print_usage(argc, argv, params);
        return quill_exit::argument_error;
    }
    if (params.diarize && params.tinydiarize) {
        std::fprintf(stderr, "error: cannot use both --diarize and --tinydiarize\n");
        whisper_print_usage(argc, argv, params);
        return quill_exit::argument_error;
    }
    return std::nullopt;
}

// Null after the line that every model that does not load ends with, one
// the check refuses too: callers match on it.
whisper_context * model_not_loaded() {
    std::fprintf(stderr, "error: failed to initialize whisper context\n");
    return nullptr;
}

// The library's loader trusts the file's length and fields: a partly
// downloaded model would crash it or load as one that transcribes nothing, and
// a field out of range would crash it. True after the message for such a file.
bool model_file_refused(const std::string & path, const model_file_layout & layout) {
    switch (layout.state) {
    case model_file_state::incomplete:
        std::fprintf(stderr, "error: model file '%s' is incomplete\n", path.c_str());
        return true;
    case model_file_state::not_a_model:
        std::fprintf(stderr, "error: model file '%s' is not a model: %s\n", path.c_str(), layout.flaw.c_str());
        return true;
    case model_file_state::complete:
    case model_file_state::unjudged:
        break;
    }
    return false;
}

// The recognition context, or null after the message when the DTW preset is
// unknown or made for another model size, or the model file is refused or
// does not load.
whisper_context * load_model(const whisper_params & params) {
    whisper_context_params cparams = whisper_context_default_params();
    cparams.use_gpu = params.use_gpu;
    cparams.flash_attn = params.flash_attn;
    // Checked before loading so that a misspelt preset never costs a model load.
    if (!params.dtw.empty()) {
        cparams.dtw_token_timestamps = true;
        cparams.dtw_aheads_preset = dtw_preset_for(params.dtw);
        if (cparams.dtw_aheads_preset == WHISPER_AHEADS_NONE) {
            std::fprintf(stderr, "error: unknown DTW preset '%s'\n", params.dtw.c_str());
            return nullptr;
        }
    }
    const model_file_layout layout = read_model_layout(params.model);
    if (model_file_refused(params.model, layout)) {
        return model_not_loaded();
    }
    if (!params.dtw.empty() && !dtw_preset_fits_model(params, cparams.dtw_aheads_preset, layout.decoder)) {
        return nullptr;
    }

    whisper_context * ctx = whisper_init_from_file_with_params(params.model.c_str(), cparams);
    if (ctx == nullptr) {
        return model_not_loaded();
    }
    // Without an OpenVINO build this fails, and the ordinary encoder is used.
    whisper_ctx_init_openvino_encoder(ctx, nullptr, params.ov_e_device.c_str(), nullptr);
    return ctx;
}

// The prompt's tokens into the settings, once for every transcription. The
// status to end with when that fails.
std::optional<quill_exit> load_prompt_tokens(whisper_context * ctx, whisper_params & params) {
    prompt_tokenization tokenized = tokenize_prompt(ctx, params.prompt);
    if (!tokenized.started) {
        std::fprintf(stderr, "error: failed to start a thread: %s\n", tokenized.failure.c_str());
        return quill_exit::thread_not_started;
    }
    if (!tokenized.failure.empty()) {
        std::fprintf(stderr, "error: argument --prompt: value cannot be tokenised: %s\n", tokenized.failure.c_str());
        return quill_exit::argument_error;
    }
    params.prompt_tokens = std::move(tokenized.tokens);
    return std::nullopt;
}

} // namespace

int main(int argc, char ** argv) {
    open_closed_standard_descriptors();
    install_signal_handler();

    whisper_params params;
    std::vector<std::string> args;
    const command_line_result expansion = expand_response_file(std::vector<std::string>(argv, argv + argc), args);
    const command_line_result parsed = expansion.finished ? expansion : parse_command_line(args, params);
    if (parsed.finished) {
        std::fputs(parsed.message.c_str(), stderr);
        if (parsed.show_usage) {
            whisper_print_usage(argc, argv, params);
        }
        return parsed.exit_status;
    }
    if (const std::optional<quill_exit> refused = check_settings(argc, argv, params)) {
        return exit_code(*refused);
    }

    if (params.no_prints) {
        whisper_log_set(cb_log_disable, nullptr);
    }
    whisper_context * ctx = load_model(params);
    if (ctx == nullptr) {
        return exit_code(quill_exit::model_failed);
    }

    // The grammar, when one is given, is parsed here: after the model has
    // loaded and before any audio is read.
    if (!load_grammar(params)) {
        whisper_free(ctx);
        return exit_code(quill_exit::grammar_failed);
    }
    if (const std::optional<quill_exit> failed = load_prompt_tokens(ctx, params)) {
        whisper_free(ctx);
        return exit_code(*failed);
    }

    // One hand-off for every pair, never reset: a pair after the end of input
    // sees at once that no more audio comes.
    audio_handoff handoff;
    // One pair of threads at a time: every input name shares standard input.
    for (size_t f = 0; f < params.input_names.size(); ++f) {
        const std::string input_name = params.input_names[f];
        const std::string output_name = output_name_for(params, f);
        if (!run_input_pair(ctx, handoff, params, input_name, output_name)) {
            whisper_free(ctx);
            return exit_code(quill_exit::thread_not_started);
        }
    }

    if (!params.no_prints) {
        whisper_print_timings(ctx);
    }
    whisper_free(ctx);
    return exit_code(handoff.audio_input_failed ? quill_exit::stdin_failed : quill_exit::success);
}
