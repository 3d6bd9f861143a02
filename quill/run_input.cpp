#include "run_input.h"

void run_input_pair(whisper_context *, whisper_params &, const std::string &, const std::string &) {}
