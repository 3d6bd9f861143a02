#include "model_header.h"

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <limits>

namespace {

constexpr uint32_t k_model_magic = 0x67676d6c;

// After the magic: vocabulary, audio context, audio width, audio heads, audio
// layers, text context, text width, text heads, text layers, mel bands, type.
constexpr int k_header_fields = 11;
constexpr int k_text_width_field = 6;
constexpr int k_text_layers_field = 8;

// The library's tensors have at most this many dimensions; it reads a
// record's extents into an array of that size.
constexpr int32_t k_max_tensor_dims = 4;

// Storage of the element types whose size is certain: whole blocks of
// `block_elements` elements, `block_bytes` each. Numbered as in the file.
struct element_storage {
    int32_t type;
    uint64_t block_elements;
    uint64_t block_bytes;
};

constexpr element_storage k_element_storage[] = {
    {0, 1, 4},      // F32
    {1, 1, 2},      // F16
    {2, 32, 18},    // Q4_0
    {3, 32, 20},    // Q4_1
    {6, 32, 22},    // Q5_0
    {7, 32, 24},    // Q5_1
    {8, 32, 34},    // Q8_0
    {10, 256, 84},  // Q2_K
    {11, 256, 110}, // Q3_K
    {12, 256, 144}, // Q4_K
    {13, 256, 176}, // Q5_K
    {14, 256, 210}, // Q6_K
    {15, 256, 292}, // Q8_K
    {30, 1, 2},     // BF16
};

// Skips up to this many bytes by reading them through the stream's buffer (a
// token's text); longer stretches (tensor data) are sought over unread.
constexpr uint64_t k_longest_read_skip = 256;

// More bytes than any file holds: what a size that overflows stands for.
constexpr uint64_t k_beyond_any_file = std::numeric_limits<uint64_t>::max();

// The file is little-endian whatever the machine.
uint32_t little_endian_u32(const unsigned char * bytes) {
    return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
           static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

// The file read front to back, with the place it has reached, so every part
// is measured against what the file still holds before it is read or
// skipped: no count in the file can make us read, skip or loop past its end.
struct model_reader {
    FILE * file;
    uint64_t size;
    uint64_t offset = 0;
};

bool holds(const model_reader & reader, uint64_t bytes) {
    return reader.size - reader.offset >= bytes;
}

bool read_bytes(model_reader & reader, unsigned char * into, uint64_t bytes) {
    if (!holds(reader, bytes) || std::fread(into, 1, bytes, reader.file) != bytes) {
        return false;
    }
    reader.offset += bytes;
    return true;
}

bool read_u32(model_reader & reader, uint32_t & value) {
    unsigned char bytes[4];
    if (!read_bytes(reader, bytes, sizeof bytes)) {
        return false;
    }
    value = little_endian_u32(bytes);
    return true;
}

bool read_i32(model_reader & reader, int32_t & value) {
    uint32_t bits = 0;
    if (!read_u32(reader, bits)) {
        return false;
    }
    value = static_cast<int32_t>(bits);
    return true;
}

bool read_count(model_reader & reader, uint64_t & count) {
    int32_t value = 0;
    if (!read_i32(reader, value) || value < 0) {
        return false;
    }
    count = static_cast<uint64_t>(value);
    return true;
}

bool skip_bytes(model_reader & reader, uint64_t bytes) {
    if (!holds(reader, bytes)) {
        return false;
    }
    if (bytes <= k_longest_read_skip) {
        unsigned char scratch[k_longest_read_skip];
        return read_bytes(reader, scratch, bytes);
    }
    reader.offset += bytes;
    return fseeko(reader.file, static_cast<off_t>(reader.offset), SEEK_SET) == 0;
}

uint64_t saturating_product(uint64_t a, uint64_t b) {
    return b != 0 && a > k_beyond_any_file / b ? k_beyond_any_file : a * b;
}

const element_storage * storage_of(int32_t type) {
    for (const element_storage & storage : k_element_storage) {
        if (storage.type == type) {
            return &storage;
        }
    }
    return nullptr;
}

// Stages of the walk: `complete` when the part is whole and the walk goes on.
model_file_state read_magic(model_reader & reader) {
    unsigned char magic[4];
    const uint64_t present = reader.size < sizeof magic ? reader.size : sizeof magic;
    if (present == 0 || !read_bytes(reader, magic, present)) {
        return model_file_state::unjudged;
    }
    for (uint64_t i = 0; i < present; ++i) {
        if (magic[i] != static_cast<unsigned char>(k_model_magic >> (8 * i))) {
            return model_file_state::unjudged;
        }
    }
    return present == sizeof magic ? model_file_state::complete : model_file_state::incomplete;
}

model_file_state read_header(model_reader & reader, text_decoder_shape & decoder) {
    int32_t fields[k_header_fields];
    for (int32_t & field : fields) {
        if (!read_i32(reader, field)) {
            return model_file_state::incomplete;
        }
    }
    decoder.layers = fields[k_text_layers_field];
    decoder.width = fields[k_text_width_field];
    return model_file_state::complete;
}

model_file_state read_mel_filters(model_reader & reader) {
    uint64_t bands = 0;
    uint64_t bins = 0;
    if (!read_count(reader, bands) || !read_count(reader, bins) ||
        !skip_bytes(reader, saturating_product(saturating_product(bands, bins), sizeof(float)))) {
        return model_file_state::incomplete;
    }
    return model_file_state::complete;
}

model_file_state read_vocabulary(model_reader & reader) {
    uint64_t tokens = 0;
    constexpr uint64_t k_token_length_bytes = 4;
    // Every token takes at least its length field: a count beyond that is
    // refused at once rather than after a walk over gigabytes.
    if (!read_count(reader, tokens) || !holds(reader, saturating_product(tokens, k_token_length_bytes))) {
        return model_file_state::incomplete;
    }
    for (uint64_t i = 0; i < tokens; ++i) {
        uint32_t length = 0;
        if (!read_u32(reader, length) || !skip_bytes(reader, length)) {
            return model_file_state::incomplete;
        }
    }
    return model_file_state::complete;
}

// One tensor record: dimension count, name length, element type, the
// extents (fastest first), the name, then the data.
model_file_state read_tensor(model_reader & reader) {
    int32_t dims = 0;
    uint64_t name_length = 0;
    int32_t type = 0;
    if (!read_i32(reader, dims) || !read_count(reader, name_length) || !read_i32(reader, type) || dims < 1 ||
        dims > k_max_tensor_dims) {
        return model_file_state::incomplete;
    }
    uint64_t extents[k_max_tensor_dims];
    for (int32_t d = 0; d < dims; ++d) {
        if (!read_count(reader, extents[d])) {
            return model_file_state::incomplete;
        }
    }
    if (!skip_bytes(reader, name_length)) {
        return model_file_state::incomplete;
    }
    const element_storage * storage = storage_of(type);
    if (storage == nullptr || extents[0] % storage->block_elements != 0) {
        return model_file_state::unjudged;
    }
    uint64_t bytes = extents[0] / storage->block_elements * storage->block_bytes;
    for (int32_t d = 1; d < dims; ++d) {
        bytes = saturating_product(bytes, extents[d]);
    }
    return skip_bytes(reader, bytes) ? model_file_state::complete : model_file_state::incomplete;
}

// Tensor records follow one another to the end of the file. A file without
// any holds no model: the library would take it for an empty one and
// transcribe nothing.
model_file_state read_tensors(model_reader & reader) {
    bool any = false;
    while (reader.offset < reader.size) {
        const model_file_state tensor = read_tensor(reader);
        if (tensor != model_file_state::complete) {
            return tensor;
        }
        any = true;
    }
    return any ? model_file_state::complete : model_file_state::incomplete;
}

model_file_layout read_layout(model_reader & reader) {
    model_file_layout layout;
    layout.state = read_magic(reader);
    if (layout.state != model_file_state::complete) {
        return layout;
    }
    text_decoder_shape decoder;
    layout.state = read_header(reader, decoder);
    if (layout.state != model_file_state::complete) {
        return layout;
    }
    layout.decoder = decoder;
    for (model_file_state (*stage)(model_reader &) : {read_mel_filters, read_vocabulary, read_tensors}) {
        layout.state = stage(reader);
        if (layout.state != model_file_state::complete) {
            break;
        }
    }
    return layout;
}

} // namespace

model_file_layout read_model_layout(const std::string & path) {
    struct stat info;
    if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
        return {};
    }
    FILE * file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        return {};
    }
    model_reader reader{file, static_cast<uint64_t>(info.st_size)};
    const model_file_layout layout = read_layout(reader);
    std::fclose(file);
    return layout;
}
