#pragma once

#include <cstdint>
#include <string>

#include "whisper.h"

// The alignment-head preset that a "-dtw" name selects, compared exactly;
// WHISPER_AHEADS_NONE when the name is not a known model size.
whisper_alignment_heads_preset dtw_preset_for(const std::string & name);

// The text decoder that a preset's alignment heads are numbered for. A model
// of another size lacks those layers or heads, and the library fails inside
// loading it.
struct text_decoder_shape {
    int32_t layers = 0;
    int32_t width = 0;
};

// The decoder a known preset is made for; zeros for WHISPER_AHEADS_NONE.
text_decoder_shape dtw_preset_decoder(whisper_alignment_heads_preset preset);
