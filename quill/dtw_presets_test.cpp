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

} // namespace
