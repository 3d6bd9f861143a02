#include "gpt_params.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <variant>
#include <vector>

namespace {

struct flag_option {
    bool gpt_params::* field;
};
struct interactive_port_option {};
struct help_option {};
struct file_option {};

using option_action = std::variant<int32_t gpt_params::*, float gpt_params::*, std::string gpt_params::*,
                                   flag_option, interactive_port_option, help_option, file_option>;

struct option_entry {
    std::vector<std::string> texts;
    option_action action;
};

using gp = gpt_params;

// Compared in this order; the first entry that names the argument acts.
const option_entry k_options[] = {
    {{"-s", "--seed"}, &gp::seed},
    {{"-t", "--threads"}, &gp::n_threads},
    {{"-p", "--prompt"}, &gp::prompt},
    {{"-n", "--n_predict"}, &gp::n_predict},
    {{"-np", "--n_parallel"}, &gp::n_parallel},
    {{"--top_k"}, &gp::top_k},
    {{"--top_p"}, &gp::top_p},
    {{"--temp"}, &gp::temp},
    {{"--repeat-last-n"}, &gp::repeat_last_n},
    {{"--repeat-penalty"}, &gp::repeat_penalty},
    {{"-b", "--batch_size"}, &gp::n_batch},
    {{"-c", "--context"}, &gp::n_ctx},
    {{"-ngl", "--gpu-layers", "--n-gpu-layers"}, &gp::n_gpu_layers},
    {{"--ignore-eos"}, flag_option{&gp::ignore_eos}},
    {{"-m", "--model"}, &gp::model},
    {{"-i", "--interactive"}, flag_option{&gp::interactive}},
    {{"-ip", "--interactive-port"}, interactive_port_option{}},
    {{"-h", "--help"}, help_option{}},
    {{"-f", "--file"}, file_option{}},
    {{"-tt", "--token_test"}, &gp::token_test},
};

const option_entry * find_option(const std::string & arg) {
    for (const option_entry & entry : k_options) {
        for (const std::string & text : entry.texts) {
            if (arg == text) {
                return &entry;
            }
        }
    }
    return nullptr;
}

[[noreturn]] void end_with_usage(int argc, char ** argv, const gpt_params & params) {
    gpt_print_usage(argc, argv, params);
    std::exit(0);
}

// A value that begins with "-" counts as missing, so negative numbers cannot
// be given: the next option is never swallowed as a value by mistake.
std::string get_next_arg(int & i, int argc, char ** argv, const std::string & flag, gpt_params & params) {
    if (i + 1 < argc && argv[i + 1][0] != '-') {
        return std::string(argv[++i]);
    }
    std::fprintf(stderr, "error: %s requires one argument.\n", flag.c_str());
    end_with_usage(argc, argv, params);
}

// The text goes after whatever prompt is already there; one trailing newline,
// which every editor adds, is not part of the prompt.
bool append_file_to_prompt(const std::string & path, gpt_params & params) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        std::fprintf(stderr, "error: failed to open file '%s'\n", path.c_str());
        return false;
    }
    params.prompt.append(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    if (!params.prompt.empty() && params.prompt.back() == '\n') {
        params.prompt.pop_back();
    }
    return true;
}

// Applies one option; false stops parsing. Conversion errors of std::stoi and
// std::stof are left to the caller.
struct apply_option {
    int & i;
    int argc;
    char ** argv;
    const std::string & arg;
    gpt_params & params;

    std::string next_value() const { return get_next_arg(i, argc, argv, arg, params); }

    bool operator()(int32_t gpt_params::* field) const {
        params.*field = std::stoi(next_value());
        return true;
    }
    bool operator()(float gpt_params::* field) const {
        params.*field = std::stof(next_value());
        return true;
    }
    bool operator()(std::string gpt_params::* field) const {
        params.*field = next_value();
        return true;
    }
    bool operator()(flag_option flag) const {
        params.*flag.field = true;
        return true;
    }
    bool operator()(interactive_port_option) const {
        params.interactive = true;
        params.interactive_port = std::stoi(next_value());
        return true;
    }
    bool operator()(help_option) const { end_with_usage(argc, argv, params); }
    bool operator()(file_option) const { return append_file_to_prompt(next_value(), params); }
};

} // namespace

bool gpt_params_parse(int argc, char ** argv, gpt_params & params) {
    for (int i = 1; i < argc; i++) {
        const std::string arg = argv[i];
        const option_entry * entry = find_option(arg);
        if (entry == nullptr) {
            std::fprintf(stderr, "error: unknown argument: %s\n", arg.c_str());
            end_with_usage(argc, argv, params);
        }
        if (!std::visit(apply_option{i, argc, argv, arg, params}, entry->action)) {
            break;
        }
    }
    return true;
}

void gpt_print_usage(int /*argc*/, char ** argv, const gpt_params & params) {
    const gpt_params & p = params;
    std::fprintf(stderr, "usage: %s [options]\n", argv[0]);
    std::fprintf(stderr, "\n");
    std::fprintf(stderr, "options:\n");
    std::fprintf(stderr, "  -h, --help            show this help message and exit\n");
    std::fprintf(stderr, "  -s SEED, --seed SEED  RNG seed (default: -1)\n");
    std::fprintf(stderr, "  -t N, --threads N     number of threads to use during computation (default: %d)\n", p.n_threads);
    std::fprintf(stderr, "  -p PROMPT, --prompt PROMPT\n");
    std::fprintf(stderr, "                        prompt to start generation with (default: random)\n");
    std::fprintf(stderr, "  -f FNAME, --file FNAME\n");
    std::fprintf(stderr, "                        load prompt from a file\n");
    std::fprintf(stderr, "  -tt TOKEN_TEST, --token_test TOKEN_TEST\n");
    std::fprintf(stderr, "                        test tokenization\n");
    std::fprintf(stderr, "  -n N, --n_predict N   number of tokens to predict (default: %d)\n", p.n_predict);
    std::fprintf(stderr, "  --top_k N             top-k sampling (default: %d)\n", p.top_k);
    std::fprintf(stderr, "  --top_p N             top-p sampling (default: %.1f)\n", p.top_p);
    std::fprintf(stderr, "  --temp N              temperature (default: %.1f)\n", p.temp);
    std::fprintf(stderr, "  --repeat-last-n N     last n tokens to consider for penalize (default: %d, 0 = disabled)\n", p.repeat_last_n);
    std::fprintf(stderr, "  --repeat-penalty N    penalize repeat sequence of tokens (default: %.2f, 1.0 = disabled)\n", p.repeat_penalty);
    std::fprintf(stderr, "  -b N, --batch_size N  batch size for prompt processing (default: %d)\n", p.n_batch);
    std::fprintf(stderr, "  -c N, --context N     context / KV cache size (default: %d)\n", p.n_ctx);
    std::fprintf(stderr, "  --ignore-eos          ignore EOS token during generation\n");
    std::fprintf(stderr, "  -ngl N, --gpu-layers N  number of layers to offload to GPU on supported models (default: %d)\n", p.n_gpu_layers);
    std::fprintf(stderr, "  -m FNAME, --model FNAME\n");
    std::fprintf(stderr, "                        model path (default: %s)\n", p.model.c_str());
    std::fprintf(stderr, "\n");
}

std::string gpt_random_prompt(std::mt19937 & rng) {
    static const char * const k_prompts[10] = {
        "So", "Once upon a time", "When", "The", "After", "If", "import", "He", "She", "They",
    };
    return k_prompts[rng() % 10];
}
