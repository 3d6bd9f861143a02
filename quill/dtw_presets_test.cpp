#include "dtw_presets.h"

#include <gtest/gtest.h>

namespace {

TEST(dtw_preset_for, names_select_their_alignment_heads) {
    struct {
        const char * name;
        int preset;
    } const cases[] = {
        {"tiny", 4},      {"tiny.en", 3},   {"base", 6},      {"base.en", 5},
        {"small", 8},     {"small.en", 7},  {"medium", 10},   {"medium.en", 9},
        {"large.v1", 11}, {"large.v2", 12}, {"large.v3", 13}, {"large.v3.turbo", 14},
        // Compared exactly: no case folding, no prefixes, no other spellings.
        {"Tiny.en", 0},   {"tiny.", 0},     {"tiny.en ", 0},  {"large", 0},
        {"large-v3", 0},  {"", 0},
    };
    for (const auto & c : cases) {
        EXPECT_EQ(static_cast<int>(dtw_preset_for(c.name)), c.preset) << c.name;
    }
}

TEST(dtw_preset_decoder, each_preset_names_its_model_size) {
    struct {
        const char * name;
        int layers;
        int width;
    } const cases[] = {
        {"tiny", 4, 384},       {"tiny.en", 4, 384},   {"base", 6, 512},      {"base.en", 6, 512},
        {"small", 12, 768},     {"small.en", 12, 768}, {"medium", 24, 1024},  {"medium.en", 24, 1024},
        {"large.v1", 32, 1280}, {"large.v2", 32, 1280}, {"large.v3", 32, 1280}, {"large.v3.turbo", 4, 1280},
        {"nonsense", 0, 0},
    };
    for (const auto & c : cases) {
        const text_decoder_shape shape = dtw_preset_decoder(dtw_preset_for(c.name));
        EXPECT_EQ(shape.layers, c.layers) << c.name;
        EXPECT_EQ(shape.width, c.width) << c.name;
    }
}

} // namespace
