#include "text_utils.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

constexpr size_t k_16_mib = 16u << 20;

TEST(trim, removes_ascii_white_space_at_both_ends_only) {
    struct {
        std::string input, expected;
    } const cases[] = {
        {"  a b \n", "a b"},
        {" \t\n\v\f\r", ""},
        {"", ""},
        {"abc", "abc"},
        {"\r\na\n\nb\t\t", "a\n\nb"},
        {"\xC2\xA0" "a", "\xC2\xA0" "a"},          // a no-break space is not ASCII white space
        {" a\xC2\xA0", "a\xC2\xA0"},
        {std::string(" \0 ", 3), std::string("\0", 1)},  // NUL is an ordinary byte
    };
    for (const auto & c : cases) {
        EXPECT_EQ(trim(c.input), c.expected) << "input: \"" << c.input << "\"";
    }
}

TEST(trim, handles_16_mib_runs_of_white_space) {
    EXPECT_EQ(trim(std::string(k_16_mib, ' ')), "");

    const std::string inner = "a" + std::string(k_16_mib, '\t') + "b";
    EXPECT_EQ(trim(" \n" + inner + "\r "), inner);
}

TEST(convert_to_wstring, decodes_each_sequence_length) {
    struct {
        std::string bytes;
        std::wstring expected;
    } const cases[] = {
        {"", L""},
        {std::string("a\0b", 3), std::wstring(L"a\0b", 3)},
        {"\xC3\xA9", L"\u00E9"},
        {"\xEF\xBB\xBF" "a", L"\uFEFFa"},  // a leading byte-order mark is an ordinary character
        {"\xF0\x9F\x98\x80", L"\U0001F600"},
    };
    for (const auto & c : cases) {
        EXPECT_EQ(convert_to_wstring(c.bytes), c.expected);
    }
}

TEST(convert_to_wstring, rejects_what_is_not_well_formed_utf8) {
    const char * const cases[] = {
        "\x80",              // continuation byte without a lead
        "\xC3",              // cut off at the end of the input
        "\xE2\x82",
        "\xF0\x9F\x98",
        "\xE2\x82z",         // cut off before an ordinary byte
        "\xC3\x28",          // continuation byte expected
        "\xC0\x80",          // overlong forms
        "\xC1\xBF",
        "\xE0\x9F\xBF",
        "\xF0\x8F\xBF\xBF",
        "\xED\xA0\x80",      // surrogates
        "\xED\xBF\xBF",
        "\xF4\x90\x80\x80",  // above U+10FFFF
        "\xF5\x80\x80\x80",
        "\xFF",
        "valid prefix \xC3",
    };
    for (const char * bytes : cases) {
        try {
            convert_to_wstring(bytes);
            ADD_FAILURE() << "accepted: " << testing::PrintToString(std::string(bytes));
        } catch (const std::range_error & error) {
            EXPECT_STREQ(error.what(), "wstring_convert: from_bytes error");
        }
    }
}

TEST(convert_to_utf8, rejects_elements_that_are_no_scalar_value) {
    const wchar_t cases[] = {0xD800, 0xDBFF, 0xDC00, 0xDFFF, 0x110000, 0x7FFFFFFF, -1};
    for (const wchar_t element : cases) {
        try {
            convert_to_utf8(std::wstring(L"ok") + element);
            ADD_FAILURE() << "accepted: " << static_cast<int64_t>(element);
        } catch (const std::range_error & error) {
            EXPECT_STREQ(error.what(), "wstring_convert: to_bytes error");
        }
    }
}

TEST(convert_to_utf8, encodes_the_edges_of_every_sequence_length) {
    struct {
        wchar_t code_point;
        std::string bytes;
    } const cases[] = {
        {0x0, std::string(1, '\0')},
        {0x7F, "\x7F"},
        {0x80, "\xC2\x80"},
        {0x7FF, "\xDF\xBF"},
        {0x800, "\xE0\xA0\x80"},
        {0xD7FF, "\xED\x9F\xBF"},
        {0xE000, "\xEE\x80\x80"},
        {0xFEFF, "\xEF\xBB\xBF"},
        {0xFFFF, "\xEF\xBF\xBF"},
        {0x10000, "\xF0\x90\x80\x80"},
        {0x1F600, "\xF0\x9F\x98\x80"},
        {0x10FFFF, "\xF4\x8F\xBF\xBF"},
    };
    for (const auto & c : cases) {
        const std::wstring wide(1, c.code_point);
        EXPECT_EQ(convert_to_utf8(wide), c.bytes) << std::hex << static_cast<uint32_t>(c.code_point);
        EXPECT_EQ(convert_to_wstring(c.bytes), wide) << std::hex << static_cast<uint32_t>(c.code_point);
    }
}

TEST(convert_to_utf8, every_scalar_value_round_trips) {
    std::wstring all;
    for (uint32_t cp = 0; cp <= 0x10FFFF; ++cp) {
        if (cp < 0xD800 || cp > 0xDFFF) {
            all += static_cast<wchar_t>(cp);
        }
    }
    const std::string bytes = convert_to_utf8(all);
    // 128 one-byte, 1,920 two-byte, 61,440 three-byte and 1,048,576 four-byte sequences.
    EXPECT_EQ(bytes.size(), 128u + 1920u * 2 + 61440u * 3 + 1048576u * 4);
    EXPECT_EQ(convert_to_wstring(bytes), all);
}

TEST(similarity, scores_one_minus_distance_over_longer_length) {
    struct {
        std::string a, b;
        float expected;
    } const cases[] = {
        {"saturday", "sunday", 0.625f},
        {"sunday", "saturday", 0.625f},
        {"flaw", "lawn", 0.5f},
        {"lantern", "lantern", 1.0f},
        {"A", "a", 0.0f},
        {"ab", "ba", 0.0f},  // no transposition step
        {"", "abc", 0.0f},
        {"abc", "", 0.0f},
        {"\xC3\xA9", "\xC3\xA8", 0.5f},  // bytes, not code points
        {"kitten", "sitting", 1.0f - 3.0f / 7.0f},
    };
    for (const auto & c : cases) {
        EXPECT_EQ(similarity(c.a, c.b), c.expected) << c.a << " | " << c.b;
    }
    EXPECT_TRUE(std::isnan(similarity("", "")));
}

// Every cell of the table, nothing clever: the reference for the two-row form.
int full_table_distance(const std::string & a, const std::string & b) {
    const size_t width = b.size() + 1;
    std::vector<uint16_t> table((a.size() + 1) * width);
    for (size_t i = 0; i <= a.size(); ++i) {
        for (size_t j = 0; j <= b.size(); ++j) {
            uint16_t & cell = table[i * width + j];
            if (i == 0 || j == 0) {
                cell = static_cast<uint16_t>(i + j);
                continue;
            }
            const int substitution = table[(i - 1) * width + j - 1] + (a[i - 1] != b[j - 1]);
            const int deletion = table[(i - 1) * width + j] + 1;
            const int insertion = table[i * width + j - 1] + 1;
            cell = static_cast<uint16_t>(std::min({substitution, deletion, insertion}));
        }
    }
    return table.back();
}

TEST(similarity, long_texts_agree_with_the_full_table) {
    // A small alphabet and scattered edits keep the distance well below its
    // bound, so every part of the table matters.
    std::mt19937 generator(11);
    std::string a;
    for (int i = 0; i < 5000; ++i) {
        a += static_cast<char>('a' + generator() % 4);
    }
    std::string b = a;
    for (int edit = 0; edit < 600; ++edit) {
        const size_t at = generator() % b.size();
        switch (generator() % 3) {
            case 0: b[at] = static_cast<char>('a' + generator() % 4); break;
            case 1: b.erase(at, 1); break;
            default: b.insert(at, 1, 'e'); break;
        }
    }
    b.resize(5000, 'f');

    const int distance = full_table_distance(a, b);
    ASSERT_GT(distance, 100);
    ASSERT_LT(distance, 2500);
    EXPECT_EQ(similarity(a, b), 1.0f - static_cast<float>(distance) / 5000.0f);
}

}  // namespace
