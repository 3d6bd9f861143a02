#pragma once

#include <cstdint>
#include <random>
#include <string>

// Options of the text-generation routines. Only `seed` has a default that the
// usage text promises (-1); the others are what the usage prints as defaults.
struct gpt_params {
    int32_t seed = -1;
    int32_t n_threads = 4;
    int32_t n_predict = 200;
    int32_t n_parallel = 1;
    int32_t n_batch = 8;
    int32_t n_ctx = 2048;
    int32_t n_gpu_layers = 0;

    bool ignore_eos = false;

    int32_t top_k = 40;
    float top_p = 0.9f;
    float temp = 0.9f;
    int32_t repeat_last_n = 64;
    float repeat_penalty = 1.00f;

    std::string model = "models/ggml-model.bin";
    std::string prompt;
    std::string token_test;

    bool interactive = false;
    int32_t interactive_port = -1;
};

// Fills `params` from argv[1..argc-1]. "-h", a missing value and an unknown
// argument print the usage text and end the process with status 0; a bad
// number throws the standard conversion exception; an "-f" file that does not
// open stops parsing. Returns true on every return.
bool gpt_params_parse(int argc, char ** argv, gpt_params & params);

// Writes the usage text, with the current values as defaults, on stderr.
void gpt_print_usage(int argc, char ** argv, const gpt_params & params);

// One of ten fixed opening prompts, chosen by one draw of `rng`.
std::string gpt_random_prompt(std::mt19937 & rng);
