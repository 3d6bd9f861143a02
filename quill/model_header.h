#pragma once

#include <cstdint>
#include <optional>
#include <string>

// A model's text decoder: its layer count and the width of each layer.
struct text_decoder_shape {
    int32_t layers = 0;
    int32_t width = 0;
};

// What the model file holds, judged before the library loads it: the
// library's loader does not check that a file is as long as its header says,
// and a partly downloaded model makes it crash or load as an empty model.
enum class model_file_state {
    // Every part the header announces and at least one tensor record, each
    // in full; a file cut exactly between two records is complete too, and
    // so are fewer stray bytes after the last one than a record's start.
    complete,
    incomplete, // ends inside a part, or holds a count or size no model can have
    // Not a regular file (a FIFO would lose the bytes read here), no model
    // header, or a tensor type that ggml does not store: the library judges
    // the file itself.
    unjudged,
};

struct model_file_layout {
    model_file_state state = model_file_state::unjudged;
    // Known once the header has been read, whatever follows it.
    std::optional<text_decoder_shape> decoder;
};

// Walks the model file at `path` from its header through the mel filters, the
// vocabulary and every tensor record, seeking over the tensor data, so even a
// model of gigabytes is judged in a few milliseconds.
model_file_layout read_model_layout(const std::string & path);
