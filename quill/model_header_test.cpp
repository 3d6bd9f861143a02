#include "model_header.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdint>
#include <string>
#include <vector>

#include "temp_dir_test.h"

namespace {

constexpr uint32_t k_magic = 0x67676d6c;
constexpr int32_t k_f32 = 0;
constexpr int32_t k_f16 = 1;

struct sample_tensor {
    int32_t type;
    std::vector<int32_t> extents;
    size_t data_bytes;
};

// A model file as the library lays it out, a few hundred bytes long, with
// where each of its parts begins, so a test can cut it inside any of them.
struct sample_model {
    std::string bytes;
    size_t header = 0;
    size_t mel_filters = 0;
    size_t vocabulary = 0;
    size_t first_tensor_name = 0;
    std::vector<size_t> tensor_starts;
    std::vector<size_t> tensor_data;
};

void put_u32(std::string & out, uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) {
        out += static_cast<char>(value >> shift);
    }
}

void put_i32(std::string & out, int32_t value) {
    put_u32(out, static_cast<uint32_t>(value));
}

// Text decoder of 3 layers of width 24; 2 mel bands of 3 bins; 3 tokens.
sample_model make_sample_model(const std::vector<sample_tensor> & tensors) {
    sample_model m;
    put_u32(m.bytes, k_magic);
    m.header = m.bytes.size();
    for (int32_t field : {51864, 1500, 24, 2, 1, 448, 24, 2, 3, 2, k_f16}) {
        put_i32(m.bytes, field);
    }
    m.mel_filters = m.bytes.size();
    put_i32(m.bytes, 2);
    put_i32(m.bytes, 3);
    m.bytes.append(2 * 3 * 4, '\0');
    m.vocabulary = m.bytes.size();
    put_i32(m.bytes, 3);
    for (const char * token : {"a", " hello", " world"}) {
        put_u32(m.bytes, static_cast<uint32_t>(std::string(token).size()));
        m.bytes += token;
    }
    for (size_t t = 0; t < tensors.size(); ++t) {
        const sample_tensor & tensor = tensors[t];
        const std::string name = "tensor." + std::to_string(t);
        m.tensor_starts.push_back(m.bytes.size());
        put_i32(m.bytes, static_cast<int32_t>(tensor.extents.size()));
        put_i32(m.bytes, static_cast<int32_t>(name.size()));
        put_i32(m.bytes, tensor.type);
        for (int32_t extent : tensor.extents) {
            put_i32(m.bytes, extent);
        }
        if (t == 0) {
            m.first_tensor_name = m.bytes.size();
        }
        m.bytes += name;
        m.tensor_data.push_back(m.bytes.size());
        m.bytes.append(tensor.data_bytes, '\x01');
    }
    return m;
}

// An F32 matrix, an F16 one whose data is long enough to be sought over, and
// another F32 one that is only found where that seek lands right.
sample_model three_tensor_model() {
    return make_sample_model({{k_f32, {3, 2}, 24}, {k_f16, {300, 2}, 1200}, {k_f32, {2, 2}, 16}});
}

void put_i32_at(std::string & bytes, size_t offset, int32_t value) {
    std::string field;
    put_i32(field, value);
    bytes.replace(offset, 4, field);
}

const char * state_name(model_file_state state) {
    switch (state) {
    case model_file_state::complete:
        return "complete";
    case model_file_state::incomplete:
        return "incomplete";
    case model_file_state::not_a_model:
        return "not a model";
    case model_file_state::unjudged:
        return "unjudged";
    }
    return "?";
}

class read_model_layout_test : public temp_dir_test {
protected:
    model_file_layout layout_of(const std::string & bytes) const {
        return read_model_layout(file_with("model.bin", bytes));
    }
    std::string state_of(const std::string & bytes) const { return state_name(layout_of(bytes).state); }
    // The state with the field a refusal names, as "not a model: dimensions 0".
    std::string verdict_of(const std::string & bytes) const {
        const model_file_layout layout = layout_of(bytes);
        const std::string state = state_name(layout.state);
        return layout.flaw.empty() ? state : state + ": " + layout.flaw;
    }
};

TEST_F(read_model_layout_test, a_file_cut_inside_any_part_is_incomplete) {
    const sample_model m = three_tensor_model();
    struct {
        const char * where;
        size_t cut;
        const char * state;
    } const cases[] = {
        {"nothing at all", 0, "unjudged"},
        {"inside the magic", 2, "incomplete"},
        {"after the magic", m.header, "incomplete"},
        {"inside the header", m.header + 14, "incomplete"},
        {"after the header", m.mel_filters, "incomplete"},
        {"inside the mel filter sizes", m.mel_filters + 6, "incomplete"},
        {"inside the mel filters", m.mel_filters + 8 + 5, "incomplete"},
        {"inside the vocabulary count", m.vocabulary + 3, "incomplete"},
        {"inside a token's length", m.vocabulary + 4 + 2, "incomplete"},
        {"inside a token's text", m.vocabulary + 4 + 4 + 1 + 4 + 3, "incomplete"},
        {"after the vocabulary, before any tensor", m.tensor_starts[0], "incomplete"},
        {"inside a tensor record", m.tensor_starts[0] + 10, "incomplete"},
        {"inside a tensor's extents", m.tensor_starts[0] + 12 + 5, "incomplete"},
        {"inside a tensor's name", m.first_tensor_name + 3, "incomplete"},
        {"inside a tensor's data", m.tensor_data[0] + 23, "incomplete"},
        {"inside a long tensor's data", m.tensor_data[1] + 600, "incomplete"},
        {"inside the record after a long tensor", m.tensor_starts[2] + 12 + 5, "incomplete"},
        // Too short for a record's start: the library stops there as at the
        // end of a file, and refuses the model for the tensors it lacks.
        {"exactly between two records", m.tensor_starts[2], "complete"},
        {"just inside a later record", m.tensor_starts[2] + 11, "complete"},
        {"one byte short", m.bytes.size() - 1, "incomplete"},
        {"the whole file", m.bytes.size(), "complete"},
    };
    for (const auto & c : cases) {
        EXPECT_EQ(state_of(m.bytes.substr(0, c.cut)), c.state) << c.where << " (" << c.cut << " bytes)";
    }
}

TEST_F(read_model_layout_test, the_decoder_is_known_once_the_header_is_read) {
    const sample_model m = three_tensor_model();
    EXPECT_FALSE(layout_of(m.bytes.substr(0, m.mel_filters - 1)).decoder.has_value());
    for (size_t cut : {m.mel_filters, m.tensor_data[0], m.bytes.size()}) {
        const model_file_layout layout = layout_of(m.bytes.substr(0, cut));
        ASSERT_TRUE(layout.decoder.has_value()) << cut;
        EXPECT_EQ(layout.decoder->layers, 3) << cut;
        EXPECT_EQ(layout.decoder->width, 24) << cut;
    }
}

// Counts and sizes beyond what the file holds, as a cut download leaves
// them: each refused without reading, seeking or allocating beyond the file,
// however large the number.
TEST_F(read_model_layout_test, sizes_beyond_the_file_are_incomplete) {
    const sample_model m = three_tensor_model();
    const size_t first_extent = m.tensor_starts[0] + 12;
    struct {
        const char * what;
        size_t offset;
        int32_t value;
    } const cases[] = {
        {"mel filters beyond the file", m.mel_filters + 4, 0x7fffffff},
        {"2^31 - 1 tokens", m.vocabulary, 0x7fffffff},
        {"a token longer than the file", m.vocabulary + 4, -1},
        {"name longer than the file", m.tensor_starts[0] + 4, 0x7fffffff},
        {"data beyond the file", first_extent + 4, 0x7fffffff},
    };
    for (const auto & c : cases) {
        std::string bytes = m.bytes;
        put_i32_at(bytes, c.offset, c.value);
        EXPECT_EQ(verdict_of(bytes), "incomplete") << c.what;
    }

    // 2^30 x 2^30 x 8 F16 elements are 2^64 bytes, which wrap to none at all
    // in 64 bits.
    EXPECT_EQ(state_of(make_sample_model({{k_f16, {1 << 30, 1 << 30, 8}, 0}}).bytes), "incomplete");
}

// Fields that no model the library loads holds, whatever the file's length:
// each refused with its name, and never called incomplete.
TEST_F(read_model_layout_test, fields_no_model_holds_are_refused_by_name) {
    const sample_model m = three_tensor_model();
    const auto header_field = [&](int index) { return m.header + 4 * static_cast<size_t>(index); };
    const size_t second_type = m.tensor_starts[1] + 8;
    const size_t last_type = m.tensor_starts[2] + 8;
    struct {
        size_t offset;
        int32_t value;
        const char * flaw;
    } const cases[] = {
        {header_field(0), 0, "vocabulary size 0"},
        {header_field(1), -1, "audio context -1"},
        {header_field(2), 0, "audio width 0"},
        {header_field(3), 0, "audio heads 0"},
        {header_field(3), -2, "audio heads -2"},
        {header_field(3), 5, "audio heads 5 for audio width 24"},
        {header_field(3), 48, "audio heads 48 for audio width 24"},
        {header_field(4), 0, "audio layers 0"},
        {header_field(5), -448, "text context -448"},
        {header_field(6), 0, "text width 0"},
        {header_field(7), 0, "text heads 0"},
        {header_field(7), 7, "text heads 7 for text width 24"},
        {header_field(8), -1, "text layers -1"},
        {header_field(9), 0, "mel bands 0"},
        {header_field(10), -1, "weight type -1"},
        {header_field(10), 4, "weight type 4"},
        {header_field(10), 5, "weight type 5"},
        {header_field(10), 6, "weight type 6"},
        {header_field(10), 28, "weight type 28"},
        {header_field(10), 1005, "weight type 1005"},
        {header_field(10), -1001, "weight type -1001"},
        {m.mel_filters, -2, "mel filter bands -2"},
        {m.mel_filters + 4, -1, "mel filter bins -1"},
        {m.vocabulary, -1, "token count -1"},
        {m.tensor_starts[0], 0, "dimensions 0"},
        {m.tensor_starts[0], 5, "dimensions 5"},
        {m.tensor_starts[0], -1, "dimensions -1"},
        {m.tensor_starts[0] + 4, -3, "name length -3"},
        {m.tensor_starts[0] + 12, -3, "extent -3"},
        {m.tensor_starts[0] + 8, -1, "element type -1"},
        {second_type, -2, "element type -2"},
        {last_type, -1000000, "element type -1000000"},
        {second_type, 0x7fffffff, "element type 2147483647"},
        {last_type, INT32_MIN, "element type -2147483648"},
        {m.tensor_starts[0] + 8, 42, "element type 42"},
    };
    for (const auto & c : cases) {
        std::string bytes = m.bytes;
        put_i32_at(bytes, c.offset, c.value);
        EXPECT_EQ(verdict_of(bytes), std::string("not a model: ") + c.flaw);
    }
}

// Types whose ids ggml keeps but no longer stores: the library would measure
// them as zero bytes.
TEST_F(read_model_layout_test, element_types_ggml_no_longer_stores_are_refused) {
    for (const int32_t removed : {4, 5, 31, 32, 33, 36, 37, 38}) {
        EXPECT_EQ(verdict_of(make_sample_model({{removed, {32}, 20}}).bytes),
                  "not a model: element type " + std::to_string(removed));
    }
}

// The weight types that name one element type, written down here rather than
// asked of ggml, bare and with the quantisation version a converter adds in
// thousands: every one the library loads passes.
TEST_F(read_model_layout_test, every_single_type_weight_type_passes) {
    const int32_t weight_types[] = {0,  1,  2,  3,  7,  8,  9,  10, 11, 12, 13, 14, 15,
                                    16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27};
    const sample_model m = three_tensor_model();
    for (const int32_t type : weight_types) {
        for (const int32_t version : {0, 1000, 2000}) {
            std::string bytes = m.bytes;
            put_i32_at(bytes, m.header + 4 * 10, version + type);
            EXPECT_EQ(verdict_of(bytes), "complete") << version + type;
        }
    }
    // Heads that divide the width, from one of the whole width to one per element.
    for (const int32_t heads : {1, 3, 24}) {
        std::string bytes = m.bytes;
        put_i32_at(bytes, m.header + 4 * 3, heads);
        put_i32_at(bytes, m.header + 4 * 7, heads);
        EXPECT_EQ(verdict_of(bytes), "complete") << heads;
    }
}

// Element types as the file numbers them, with the elements in one block and
// the bytes the block is stored in, written down here rather than asked of
// ggml, so that a size the check takes wrongly shows.
struct stored_type {
    const char * name;
    int32_t type;
    int32_t block_elements;
    size_t block_bytes;
};

constexpr stored_type k_stored_types[] = {
    {"F32", 0, 1, 4},          {"F16", 1, 1, 2},          {"Q4_0", 2, 32, 18},       {"Q4_1", 3, 32, 20},
    {"Q5_0", 6, 32, 22},       {"Q5_1", 7, 32, 24},       {"Q8_0", 8, 32, 34},       {"Q8_1", 9, 32, 36},
    {"Q2_K", 10, 256, 84},     {"Q3_K", 11, 256, 110},    {"Q4_K", 12, 256, 144},    {"Q5_K", 13, 256, 176},
    {"Q6_K", 14, 256, 210},    {"Q8_K", 15, 256, 292},    {"IQ2_XXS", 16, 256, 66},  {"IQ2_XS", 17, 256, 74},
    {"IQ3_XXS", 18, 256, 98},  {"IQ1_S", 19, 256, 50},    {"IQ4_NL", 20, 32, 18},    {"IQ3_S", 21, 256, 110},
    {"IQ2_S", 22, 256, 82},    {"IQ4_XS", 23, 256, 136},  {"I8", 24, 1, 1},          {"I16", 25, 1, 2},
    {"I32", 26, 1, 4},         {"I64", 27, 1, 8},         {"F64", 28, 1, 8},         {"IQ1_M", 29, 256, 56},
    {"BF16", 30, 1, 2},        {"TQ1_0", 34, 256, 54},    {"TQ2_0", 35, 256, 66},    {"MXFP4", 39, 32, 17},
    {"NVFP4", 40, 64, 36},     {"Q1_0", 41, 128, 18},
};

// Each type's data is exactly its size, in one block and in many over four
// dimensions: a byte less or more puts the next record out of place, where
// its fields read as nonsense or as more than the file holds.
TEST_F(read_model_layout_test, tensor_data_is_measured_by_its_element_type) {
    for (const stored_type & t : k_stored_types) {
        const struct {
            std::vector<int32_t> extents;
            size_t blocks;
        } shapes[] = {{{t.block_elements}, 1}, {{2 * t.block_elements, 3, 1, 2}, 12}};
        for (const auto & shape : shapes) {
            const size_t whole = shape.blocks * t.block_bytes;
            for (const size_t bytes : {whole - 1, whole + 1, whole}) {
                const sample_model m = make_sample_model({{t.type, shape.extents, bytes}, {k_f32, {2}, 8}});
                const std::string state = state_of(m.bytes);
                if (bytes == whole) {
                    EXPECT_EQ(state, "complete") << t.name << " in " << shape.blocks << " blocks";
                } else {
                    EXPECT_TRUE(state == "incomplete" || state == "not a model")
                        << t.name << " in " << shape.blocks << " blocks with " << bytes << " bytes: " << state;
                }
            }
        }
    }
    EXPECT_EQ(state_of(make_sample_model({{k_f32, {0, 4}, 0}, {k_f32, {2}, 8}}).bytes), "complete");
}

// The library reads a record only where its start fits, and loads a model
// with fewer bytes after its last tensor; a file with no tensor at all it
// would take for an empty model.
TEST_F(read_model_layout_test, stray_bytes_after_the_last_tensor_are_left_alone) {
    const sample_model m = three_tensor_model();
    const sample_model no_tensor = make_sample_model({});
    struct {
        const char * what;
        std::string bytes;
        const char * state;
    } const cases[] = {
        {"a newline", m.bytes + "\n", "complete"},
        {"a line end", m.bytes + "\r\n", "complete"},
        {"eleven zeros", m.bytes + std::string(11, '\0'), "complete"},
        {"twelve zeros, a record without dimensions", m.bytes + std::string(12, '\0'), "not a model"},
        {"no tensor, then a newline", no_tensor.bytes + "\n", "incomplete"},
        {"no tensor, then eleven zeros", no_tensor.bytes + std::string(11, '\0'), "incomplete"},
    };
    for (const auto & c : cases) {
        EXPECT_EQ(state_of(c.bytes), c.state) << c.what;
    }
}

// What the walk cannot measure is left to the library, as before the check.
TEST_F(read_model_layout_test, what_cannot_be_measured_is_left_to_the_library) {
    const sample_model f32_first = three_tensor_model();
    std::string other_magic = f32_first.bytes;
    other_magic[0] = 'x';
    struct {
        const char * what;
        std::string bytes;
    } const cases[] = {
        {"another magic", other_magic},
        {"another magic's first bytes", other_magic.substr(0, 3)},
        {"quantised rows that are not whole blocks", make_sample_model({{2, {33}, 20}}).bytes},
    };
    for (const auto & c : cases) {
        EXPECT_EQ(state_of(c.bytes), "unjudged") << c.what;
    }
    // Past a partial block the header has still been read.
    EXPECT_TRUE(layout_of(cases[2].bytes).decoder.has_value());
}

TEST_F(read_model_layout_test, paths_that_are_no_regular_file_are_left_to_the_library) {
    const std::string fifo = dir + "/model.fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string & path : {fifo, dir, dir + "/missing.bin"}) {
        const model_file_layout layout = read_model_layout(path);
        EXPECT_STREQ(state_name(layout.state), "unjudged") << path;
        EXPECT_FALSE(layout.decoder.has_value()) << path;
    }
}

} // namespace
