#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "audio_handoff.h"
#include "settings.h"
#include "whisper.h"

// Forces what a model without other languages can do; true when the caller
// must warn that the language and translation options were ignored.
bool rewrite_language(whisper_params & params, bool multilingual);

// Rule-constrained decoding needs both rules and a start rule to begin from.
bool grammar_in_use(const whisper_params & params);

// The library's parameters for one transcription, callbacks and grammar left
// out. `params` must outlive the result: texts and the prompt's tokens are
// passed by pointer.
whisper_full_params build_full_params(const whisper_params & params);

// How much of `n_samples` of audio the library is asked to transcribe, and on
// how many processors.
struct library_window {
    int duration_ms = 0;
    int n_processors = 1;
};

// The library trusts its caller to keep the window inside the audio, and the
// open chunk is often shorter than the options assume: a duration that reaches
// past the end becomes 0 ("to the end", which transcribes the same audio
// without the library running on through padded silence), and an offset at or
// past the end, which leaves nothing to transcribe, runs on one processor (the
// library's path for several processors reads past its buffer then). Fewer
// than one processor becomes one, as the library divides by the count.
library_window fit_window_to_audio(int offset_ms, int duration_ms, int n_processors, size_t n_samples);

// Points the library at the grammar's start rule. False (and no grammar set)
// when the start rule is not defined. `rule_pointers` must outlive the call.
bool apply_grammar(const whisper_params & params, std::vector<const whisper_grammar_element *> & rule_pointers,
                   whisper_full_params & full_params);

std::string format_processing_line(const whisper_params & params, const std::string & input_name, size_t n_samples);

// Which of two channels was louder over a segment (t0, t1 in 10 ms units).
std::string estimate_diarization_speaker(std::vector<std::vector<float>> pcmf32s, int64_t t0, int64_t t1,
                                         bool id_only);

bool encoder_begin_guard(whisper_context * ctx, whisper_state * state, void * user_data);
bool abort_guard(void * user_data);

// Body of the processing thread: takes what capture hands over, cuts the
// stream at silences and transcribes the open chunk every cycle until input
// has ended.
void whisper_processing_thread(whisper_context * ctx, audio_handoff & handoff, whisper_params & params,
                               const std::string & input_name, const std::string & output_name);
