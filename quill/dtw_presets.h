#pragma once

#include <string>

#include "model_header.h"
#include "whisper.h"

// The alignment-head preset that a "-dtw" name selects, compared exactly;
// WHISPER_AHEADS_NONE when the name is not a known model size.
whisper_alignment_heads_preset dtw_preset_for(const std::string & name);

// The text decoder that a known preset's alignment heads are numbered for;
// zeros for WHISPER_AHEADS_NONE. A model of another size lacks those layers
// or heads, and the library fails inside loading it.
text_decoder_shape dtw_preset_decoder(whisper_alignment_heads_preset preset);
