#pragma once

#include <cstdint>
#include <string>

// A model's text decoder: its layer count and the width of each layer.
struct text_decoder_shape {
    int32_t layers = 0;
    int32_t width = 0;
};

// Reads the text decoder's layer count and width from the header of the
// model file at `path`, without loading the model. False when the path is no
// regular file (a FIFO would lose the bytes read here) or does not start with
// the library's header; the library then judges the file itself.
bool read_model_decoder(const std::string & path, text_decoder_shape & shape);
