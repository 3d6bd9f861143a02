#include "model_header.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <limits>
#include <optional>
#include <string>

#include "ggml.h"

namespace {

// After the magic, in this order.
enum header_field {
    k_vocabulary,
    k_audio_context,
    k_audio_width,
    k_audio_heads,
    k_audio_layers,
    k_text_context,
    k_text_width,
    k_text_heads,
    k_text_layers,
    k_mel_bands,
    k_weight_type,
    k_header_fields,
};

// Names of the fields in a refusal.
constexpr const char * k_header_field_names[k_header_fields] = {
    "vocabulary size", "audio context", "audio width", "audio heads", "audio layers", "text context",
    "text width",      "text heads",    "text layers", "mel bands",   "weight type",
};

// Each width is split evenly among its attention heads.
struct heads_of_width {
    header_field heads;
    header_field width;
};
constexpr heads_of_width k_attention[] = {{k_audio_heads, k_audio_width}, {k_text_heads, k_text_width}};

// The header's weight types that name one element type. ggml maps no other
// to a type (4 is Q4_1 with some F16; 5 and 6 are unused) and asserts when
// the library asks it to.
constexpr ggml_ftype k_single_type_weights[] = {
    GGML_FTYPE_ALL_F32,       GGML_FTYPE_MOSTLY_F16,     GGML_FTYPE_MOSTLY_Q4_0,    GGML_FTYPE_MOSTLY_Q4_1,
    GGML_FTYPE_MOSTLY_Q8_0,   GGML_FTYPE_MOSTLY_Q5_0,    GGML_FTYPE_MOSTLY_Q5_1,    GGML_FTYPE_MOSTLY_Q2_K,
    GGML_FTYPE_MOSTLY_Q3_K,   GGML_FTYPE_MOSTLY_Q4_K,    GGML_FTYPE_MOSTLY_Q5_K,    GGML_FTYPE_MOSTLY_Q6_K,
    GGML_FTYPE_MOSTLY_IQ2_XXS, GGML_FTYPE_MOSTLY_IQ2_XS, GGML_FTYPE_MOSTLY_IQ3_XXS, GGML_FTYPE_MOSTLY_IQ1_S,
    GGML_FTYPE_MOSTLY_IQ4_NL, GGML_FTYPE_MOSTLY_IQ3_S,   GGML_FTYPE_MOSTLY_IQ2_S,   GGML_FTYPE_MOSTLY_IQ4_XS,
    GGML_FTYPE_MOSTLY_IQ1_M,  GGML_FTYPE_MOSTLY_BF16,    GGML_FTYPE_MOSTLY_MXFP4,   GGML_FTYPE_MOSTLY_NVFP4,
    GGML_FTYPE_MOSTLY_Q1_0,
};

// A tensor record starts with its dimension count, name length and element
// type. Fewer bytes than these after the last record are no record at all:
// the library stops reading there and loads the model, so they pass here too.
constexpr uint64_t k_record_start_bytes = 3 * 4;

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
    std::string flaw{}; // set with `not_a_model`
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

// Stages of the walk return `complete` when their part is whole and the walk
// goes on; a part that the file's end cuts short is `incomplete`.
model_file_state whole_unless_cut(bool read) {
    return read ? model_file_state::complete : model_file_state::incomplete;
}

std::string field_value(const std::string & field, int32_t value) {
    return field + " " + std::to_string(value);
}

model_file_state refuse(model_reader & reader, const std::string & flaw) {
    reader.flaw = flaw;
    return model_file_state::not_a_model;
}

// A count of things the file holds next: never negative.
model_file_state read_count(model_reader & reader, const char * field, uint64_t & count) {
    int32_t value = 0;
    if (!read_i32(reader, value)) {
        return model_file_state::incomplete;
    }
    if (value < 0) {
        return refuse(reader, field_value(field, value));
    }
    count = static_cast<uint64_t>(value);
    return model_file_state::complete;
}

// Whole blocks of `block_elements` elements, `block_bytes` each, as ggml
// stores the type.
struct element_storage {
    uint64_t block_elements;
    uint64_t block_bytes;
};

// Sizes come from ggml itself, so every type the library loads is measured
// as the library measures it. An id outside ggml's range, which the library
// would index ggml's type table with unchecked, or one that ggml no longer
// stores (block size 0), has none.
std::optional<element_storage> storage_of(int32_t type) {
    if (type < 0 || type >= GGML_TYPE_COUNT) {
        return std::nullopt;
    }
    const ggml_type known = static_cast<ggml_type>(type);
    const int64_t block_elements = ggml_blck_size(known);
    if (block_elements <= 0) {
        return std::nullopt;
    }
    return element_storage{static_cast<uint64_t>(block_elements), ggml_type_size(known)};
}

model_file_state read_magic(model_reader & reader) {
    unsigned char magic[4];
    const uint64_t present = reader.size < sizeof magic ? reader.size : sizeof magic;
    if (present == 0 || !read_bytes(reader, magic, present)) {
        return model_file_state::unjudged;
    }
    for (uint64_t i = 0; i < present; ++i) {
        if (magic[i] != static_cast<unsigned char>(GGML_FILE_MAGIC >> (8 * i))) {
            return model_file_state::unjudged;
        }
    }
    return whole_unless_cut(present == sizeof magic);
}

model_file_state read_header(model_reader & reader, int32_t (&fields)[k_header_fields]) {
    for (int32_t & field : fields) {
        if (!read_i32(reader, field)) {
            return model_file_state::incomplete;
        }
    }
    return model_file_state::complete;
}

bool single_type_weights(int32_t weight_type) {
    // Above the factor the type carries the quantisation version, which the
    // library takes off the same way.
    const int32_t type = weight_type % GGML_QNT_VERSION_FACTOR;
    for (const ggml_ftype known : k_single_type_weights) {
        if (type == known) {
            return true;
        }
    }
    return false;
}

// Every dimension of a model is at least one: the library divides by the
// head counts and sizes its tensors by the rest.
model_file_state judge_header(model_reader & reader, const int32_t (&fields)[k_header_fields]) {
    for (int field = 0; field < k_weight_type; ++field) {
        if (fields[field] < 1) {
            return refuse(reader, field_value(k_header_field_names[field], fields[field]));
        }
    }
    for (const heads_of_width & attention : k_attention) {
        if (fields[attention.width] % fields[attention.heads] != 0) {
            return refuse(reader, field_value(k_header_field_names[attention.heads], fields[attention.heads]) +
                                      " for " +
                                      field_value(k_header_field_names[attention.width], fields[attention.width]));
        }
    }
    if (!single_type_weights(fields[k_weight_type])) {
        return refuse(reader, field_value(k_header_field_names[k_weight_type], fields[k_weight_type]));
    }
    return model_file_state::complete;
}

model_file_state read_mel_filters(model_reader & reader) {
    uint64_t bands = 0;
    uint64_t bins = 0;
    model_file_state state = read_count(reader, "mel filter bands", bands);
    if (state == model_file_state::complete) {
        state = read_count(reader, "mel filter bins", bins);
    }
    if (state != model_file_state::complete) {
        return state;
    }
    return whole_unless_cut(
        skip_bytes(reader, saturating_product(saturating_product(bands, bins), sizeof(float))));
}

model_file_state read_vocabulary(model_reader & reader) {
    uint64_t tokens = 0;
    const model_file_state state = read_count(reader, "token count", tokens);
    if (state != model_file_state::complete) {
        return state;
    }
    // Every token takes at least its length field: a count beyond that is
    // refused at once rather than after a walk over gigabytes.
    constexpr uint64_t k_token_length_bytes = 4;
    if (!holds(reader, saturating_product(tokens, k_token_length_bytes))) {
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
    if (!read_i32(reader, dims)) {
        return model_file_state::incomplete;
    }
    if (dims < 1 || dims > GGML_MAX_DIMS) {
        return refuse(reader, field_value("dimensions", dims));
    }
    uint64_t name_length = 0;
    model_file_state state = read_count(reader, "name length", name_length);
    if (state != model_file_state::complete) {
        return state;
    }
    int32_t type = 0;
    if (!read_i32(reader, type)) {
        return model_file_state::incomplete;
    }
    const std::optional<element_storage> storage = storage_of(type);
    if (!storage) {
        return refuse(reader, field_value("element type", type));
    }
    uint64_t extents[GGML_MAX_DIMS];
    for (int32_t d = 0; d < dims; ++d) {
        state = read_count(reader, "extent", extents[d]);
        if (state != model_file_state::complete) {
            return state;
        }
    }
    if (!skip_bytes(reader, name_length)) {
        return model_file_state::incomplete;
    }
    // Extents from the file never reach ggml_row_size: it rounds a partial
    // block down, and asserts on one in a debug build.
    if (extents[0] % storage->block_elements != 0) {
        return model_file_state::unjudged;
    }
    uint64_t bytes = extents[0] / storage->block_elements * storage->block_bytes;
    for (int32_t d = 1; d < dims; ++d) {
        bytes = saturating_product(bytes, extents[d]);
    }
    return whole_unless_cut(skip_bytes(reader, bytes));
}

// Tensor records follow one another to the end of the file, where a few
// stray bytes (an appended newline) are left alone as the library leaves
// them. A file without any record holds no model: the library would take it
// for an empty one and transcribe nothing.
model_file_state read_tensors(model_reader & reader) {
    bool any = false;
    while (holds(reader, k_record_start_bytes)) {
        const model_file_state tensor = read_tensor(reader);
        if (tensor != model_file_state::complete) {
            return tensor;
        }
        any = true;
    }
    return whole_unless_cut(any);
}

model_file_layout read_layout(model_reader & reader) {
    model_file_layout layout;
    layout.state = read_magic(reader);
    if (layout.state != model_file_state::complete) {
        return layout;
    }
    int32_t fields[k_header_fields];
    layout.state = read_header(reader, fields);
    if (layout.state != model_file_state::complete) {
        return layout;
    }
    layout.decoder = text_decoder_shape{fields[k_text_layers], fields[k_text_width]};
    layout.state = judge_header(reader, fields);
    for (model_file_state (*stage)(model_reader &) : {read_mel_filters, read_vocabulary, read_tensors}) {
        if (layout.state != model_file_state::complete) {
            break;
        }
        layout.state = stage(reader);
    }
    layout.flaw = reader.flaw;
    return layout;
}

} // namespace

// Opened without waiting for a writer, so that this look never blocks on a
// FIFO; like anything but a regular file, a FIFO is then left to the
// library, which reads it as a stream (so `-m <(zcat model.gz)` works) and
// waits there as long as nobody writes it, where SIGINT still ends the
// program (signal_notice.h). The file is judged by the descriptor, not by
// the name, which could be swapped between a look and the open.
model_file_layout read_model_layout(const std::string & path) {
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        return {};
    }
    struct stat info;
    FILE * file = nullptr;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || (file = fdopen(fd, "rb")) == nullptr) {
        close(fd);
        return {};
    }
    model_reader reader{file, static_cast<uint64_t>(info.st_size)};
    const model_file_layout layout = read_layout(reader);
    std::fclose(file);
    return layout;
}
