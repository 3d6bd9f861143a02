#pragma once

#include <string>

#include "dtw_presets.h"

// Reads the text decoder's layer count and width from the header of the
// model file at `path`, without loading the model. False when the path is no
// regular file (a FIFO would lose the bytes read here) or does not start with
// the library's header; the library then judges the file itself.
bool read_model_decoder(const std::string & path, text_decoder_shape & shape);
