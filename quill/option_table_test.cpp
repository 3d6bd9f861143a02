#include "option_table.h"

#include <gtest/gtest.h>

#include <set>
#include <sstream>

namespace {

std::set<std::string> words_of(const std::string & column) {
    std::string spaced = column;
    for (char & c : spaced) {
        if (c == ',') {
            c = ' ';
        }
    }
    std::istringstream in(spaced);
    std::set<std::string> words;
    for (std::string word; in >> word;) {
        words.insert(word);
    }
    return words;
}

// The parser finds an option by the names in its row and the usage text shows
// the names column of the same row: the two must tell the same names.
TEST(option_table, usage_names_show_the_names_the_parser_takes) {
    for (const option_entry & entry : k_options) {
        if (entry.usage_names == nullptr) {
            EXPECT_EQ(entry.help, nullptr) << entry.long_name;
            continue;
        }
        ASSERT_NE(entry.help, nullptr) << entry.long_name;
        const std::set<std::string> shown = words_of(entry.usage_names);
        EXPECT_EQ(shown.count(entry.long_name), 1u) << entry.usage_names;
        if (entry.short_name != nullptr) {
            EXPECT_EQ(shown.count(entry.short_name), 1u) << entry.usage_names;
        }
        EXPECT_LE(std::string(entry.usage_names).size(), k_usage_names_width) << entry.usage_names;
    }
}

// The table is kept in the order of the usage text, not of comparison: that
// is only safe while every name belongs to one option.
TEST(option_table, no_two_options_share_a_name) {
    std::set<std::string> seen;
    for (const option_entry & entry : k_options) {
        for (const char * name : {entry.short_name, entry.long_name}) {
            if (name != nullptr) {
                EXPECT_TRUE(seen.insert(name).second) << name;
                EXPECT_EQ(find_option(name), &entry) << name;
            }
        }
    }
}

} // namespace
