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
// and a partly downloaded model makes it crash or load as an empty model; nor
// does it bound the fields it indexes tables with or divides by, and a model
// with one of those out of range crashes it.
enum class model_file_state {
    // Every part the header announces and at least one tensor record, each
    // in full; a file cut exactly between two records is complete too, and
    // so are fewer stray bytes after the last one than a record's start.
    complete,
    incomplete, // ends inside a part, or announces more bytes than it holds
    // Holds a field that no model the library loads can have (a dimension
    // below one, a negative count, a head count that does not divide its
    // width, a weight or element type ggml does not store): `flaw` names it.
    not_a_model,
    // Not a regular file (a FIFO would lose the bytes read here), no model
    // header, or rows of a quantised type that are not whole blocks: the
    // library judges the file itself.
    unjudged,
};

struct model_file_layout {
    model_file_state state = model_file_state::unjudged;
    // Known once the header has been read, whatever follows it.
    std::optional<text_decoder_shape> decoder;
    // With `not_a_model`: the field and its value, as "element type -1".
    std::string flaw;
};

// Walks the model file at `path` from its header through the mel filters, the
// vocabulary and every tensor record, seeking over the tensor data: the time
// grows with the number of tokens and records, not with the bytes of data, so
// a real model of gigabytes, about 1,300 records, is judged in a few
// milliseconds, while a file of 12 million empty 16-byte records takes about
// a second.
model_file_layout read_model_layout(const std::string & path);
