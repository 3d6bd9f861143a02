#pragma once

#include <string>

#include "whisper.h"

// The alignment-head preset that a "-dtw" name selects, compared exactly;
// WHISPER_AHEADS_NONE when the name is not a known model size.
whisper_alignment_heads_preset dtw_preset_for(const std::string & name);
