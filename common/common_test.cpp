#include "common.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <string>
#include <sys/stat.h>

#include "temp_dir_test.h"

namespace {

using is_file_exist_test = temp_dir_test;

TEST_F(is_file_exist_test, true_only_for_paths_that_open_for_reading) {
    const std::string present = dir + "/present";
    std::FILE * file = std::fopen(present.c_str(), "w");
    ASSERT_NE(file, nullptr);
    std::fclose(file);

    EXPECT_TRUE(is_file_exist(present.c_str()));
    EXPECT_FALSE(is_file_exist((dir + "/absent").c_str()));
    EXPECT_FALSE(is_file_exist(""));
}

TEST_F(is_file_exist_test, an_unreadable_file_counts_as_missing) {
    if (geteuid() == 0) {
        GTEST_SKIP() << "root reads every file";
    }
    const std::string locked = dir + "/locked";
    std::FILE * file = std::fopen(locked.c_str(), "w");
    ASSERT_NE(file, nullptr);
    std::fclose(file);
    chmod(locked.c_str(), 0);
    EXPECT_FALSE(is_file_exist(locked.c_str()));
}

TEST(set_xterm256_foreground, picks_the_nearest_cube_or_gray_index) {
    struct {
        int r, g, b;
        const char * escape;
    } const cases[] = {
        {0, 0, 0, "\033[38;5;16m"},
        {255, 255, 255, "\033[38;5;231m"},
        {128, 128, 128, "\033[38;5;244m"},
        {8, 8, 8, "\033[38;5;232m"},
        {238, 238, 238, "\033[38;5;255m"},
        {250, 250, 250, "\033[38;5;231m"},  // gray error 432 exceeds cube error 75
        {4, 4, 4, "\033[38;5;16m"},         // tie (48 each) goes to the cube
        {255, 47, 0, "\033[38;5;196m"},  // channel level edges: 47 | 48, 114 | 115, 154 | 155, 234 | 235
        {255, 48, 0, "\033[38;5;202m"},
        {255, 114, 0, "\033[38;5;202m"},
        {255, 115, 0, "\033[38;5;208m"},
        {255, 154, 0, "\033[38;5;208m"},
        {255, 155, 0, "\033[38;5;214m"},
        {0, 234, 255, "\033[38;5;45m"},
        {0, 235, 255, "\033[38;5;51m"},
        {12, 12, 12, "\033[38;5;232m"},  // gray step edge: 12 | 13
        {13, 13, 13, "\033[38;5;233m"},
        {300, -5, 0, "\033[38;5;196m"},  // channels outside 0..255 are clamped
        {1000, 1000, 1000, "\033[38;5;231m"},
    };
    for (const auto & c : cases) {
        EXPECT_EQ(set_xterm256_foreground(c.r, c.g, c.b), c.escape) << c.r << "," << c.g << "," << c.b;
    }
}

TEST(k_colors, runs_from_red_to_green_before_main) {
    const std::vector<std::string> expected = {
        "\033[38;5;160m", "\033[38;5;166m", "\033[38;5;208m", "\033[38;5;215m",
        "\033[38;5;227m", "\033[38;5;114m", "\033[38;5;71m",
    };
    EXPECT_EQ(k_colors, expected);
}

} // namespace
