#pragma once

#include <string>

#include "audio_handoff.h"
#include "settings.h"

struct whisper_context;

// Runs one input name: the capture thread and the processing thread over the
// shared standard input, joined by `handoff`, returning once both have ended.
// False, after a message on standard error, when either thread could not be
// started.
bool run_input_pair(whisper_context * ctx, audio_handoff & handoff, whisper_params & params,
                    const std::string & input_name, const std::string & output_name);
