#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "result_formats.h"
#include "result_json.h"
#include "settings.h"

struct whisper_context;

// The segments (with their tokens) of the transcription just done, copied out
// of the library before the next transcription replaces them.
std::vector<result_segment> read_segments(whisper_context * ctx);

// Model facts and settings for the JSON file.
json_document_facts read_json_facts(whisper_context * ctx, const whisper_params & params);

// Rewrites every result file that the settings ask for, in their fixed order,
// from the transcription of `n_samples` samples just done. Called after every
// successful transcription; a file that cannot be written is reported and
// skipped, never fatal, and its previous contents stay.
void write_result_files(whisper_context * ctx, const whisper_params & params, const std::string & input_name,
                        const std::string & output_name, size_t n_samples);
