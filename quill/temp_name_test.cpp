#include "temp_name.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace {

TEST(TempName, CutsTheLastComponentToTheLimit) {
    const struct {
        std::string path;
        size_t name_max;
        std::string expected;
    } cases[] = {
        {"dir/out.txt", 255, "dir/out.txt.7-0.tmp"},
        {"out.txt", 255, "out.txt.7-0.tmp"},
        {"out.txt", 15, "out.txt.7-0.tmp"},  // fits exactly
        {"out.txt", 14, "out.tx.7-0.tmp"},
        {"out.txt", 10, "ou.7-0.tmp"},
        {"dir/out.txt", 10, "dir/ou.7-0.tmp"},  // the directory does not count
        {"/out.txt", 10, "/ou.7-0.tmp"},
        {"long-directory-name/a", 10, "long-directory-name/a.7-0.tmp"},
        {"out.txt", 8, ".7-0.tmp"},  // nothing of the name left
        {"out.txt", 7, ".7-0.tmp"},
        {"out.txt", 6, "out.txt.7-0.tmp"},  // too long by itself: left whole
    };
    for (const auto & c : cases) {
        EXPECT_EQ(temp_path_beside(c.path, ".7-0.tmp", c.name_max), c.expected) << c.path << " " << c.name_max;
    }
}

// Each character is cut off whole: "é" is 2 bytes, "€" 3 and "𝄞" 4.
TEST(TempName, NeverCutsACharacterInTwo) {
    const struct {
        std::string name;
        size_t name_max;
        std::string expected;
    } cases[] = {
        {"ab\xC3\xA9.txt", 12, "ab\xC3\xA9.7-0.tmp"},
        {"ab\xC3\xA9.txt", 11, "ab.7-0.tmp"},
        {"ab\xC3\xA9.txt", 10, "ab.7-0.tmp"},
        {"ab\xC3\xA9.txt", 9, "a.7-0.tmp"},
        {"a\xE2\x82\xAC.txt", 12, "a\xE2\x82\xAC.7-0.tmp"},
        {"a\xE2\x82\xAC.txt", 11, "a.7-0.tmp"},
        {"a\xE2\x82\xAC.txt", 10, "a.7-0.tmp"},
        {"a\xE2\x82\xAC.txt", 9, "a.7-0.tmp"},
        {"a\xF0\x9D\x84\x9E.txt", 13, "a\xF0\x9D\x84\x9E.7-0.tmp"},
        {"a\xF0\x9D\x84\x9E.txt", 12, "a.7-0.tmp"},
        {"a\xF0\x9D\x84\x9E.txt", 10, "a.7-0.tmp"},
        {"\xF0\x9D\x84\x9E.txt", 11, ".7-0.tmp"},
    };
    for (const auto & c : cases) {
        EXPECT_EQ(temp_path_beside("d/" + c.name, ".7-0.tmp", c.name_max), "d/" + c.expected)
            << c.name << " " << c.name_max;
    }
}

TEST(TempName, SuffixSpellsTheRandomBytesInHex) {
    EXPECT_EQ(temp_suffix({0x00, 0x01, 0x7f, 0x80, 0xa5, 0x5a, 0xfe, 0xff}), ".00017f80a55afeff.tmp");
}

// Names drawn one after the other share nothing a squatter could use.
TEST(TempName, RandomSuffixesDiffer) {
    std::set<std::string> seen;
    for (int i = 0; i < 100; ++i) {
        std::string suffix;
        ASSERT_TRUE(random_temp_suffix(suffix));
        ASSERT_EQ(suffix.size(), 1 + 2 * k_temp_random_bytes + 4) << suffix;
        EXPECT_TRUE(seen.insert(suffix).second) << suffix;
    }
}

TEST(TempName, LimitOfTheDirectory) {
    EXPECT_EQ(name_max_beside("/tmp/out.txt"), 255u);
    EXPECT_EQ(name_max_beside("out.txt"), 255u);
    // A directory that does not exist tells nothing; the usual limit stands.
    EXPECT_EQ(name_max_beside("/no/such/directory/out.txt"), 255u);
}

}  // namespace
