#include "response_file.h"

#include "command_line.h"

#include <gtest/gtest.h>

#include "temp_dir_test.h"

namespace {

class response_file : public temp_dir_test {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(temp_dir_test::SetUp());
        path = dir + "/args.txt";
    }
    void write(const std::string & contents) { write_file(path, contents); }

    std::string path;
};

TEST_F(response_file, lines_become_the_arguments) {
    struct {
        std::string contents;
        std::vector<std::string> args;
    } const cases[] = {
        {"-m\nmodels/x.bin\n-\n", {"prog", "-m", "models/x.bin", "-"}},
        {"-np\r\n-\r\n", {"prog", "-np\r", "-\r"}},  // carriage returns stay
        {"a\n\nb", {"prog", "a", "", "b"}},          // empty line, and a last line without a line feed
        {"\n", {"prog", ""}},
        {" -np \n", {"prog", " -np "}},  // blanks stay
        {"@nested\n", {"prog", "@nested"}},
        {"", {"prog"}},
    };
    for (const auto & c : cases) {
        write(c.contents);
        std::vector<std::string> expanded;
        const command_line_result result = expand_response_file({"prog", "@" + path}, expanded);
        EXPECT_FALSE(result.finished);
        EXPECT_EQ(expanded, c.args) << c.contents;
    }
}

TEST_F(response_file, applies_only_to_a_single_at_argument) {
    write("-np\n");
    const std::vector<std::vector<std::string>> unchanged = {
        {"prog", "@" + path, "-np"},
        {"prog", "-np", "@" + path},
        {"prog", path},
        {"prog", ""},
        {"prog"},
    };
    for (const auto & args : unchanged) {
        std::vector<std::string> expanded;
        EXPECT_FALSE(expand_response_file(args, expanded).finished);
        EXPECT_EQ(expanded, args);
    }
}

TEST_F(response_file, missing_file_ends_with_status_1) {
    struct {
        std::string arg;
        std::string message;
    } const cases[] = {
        {"@/nonexistent/list.txt", "error: response file '/nonexistent/list.txt' not found\n"},
        {"@", "error: response file '' not found\n"},
    };
    for (const auto & c : cases) {
        std::vector<std::string> expanded;
        const command_line_result result = expand_response_file({"prog", c.arg}, expanded);
        EXPECT_TRUE(result.finished);
        EXPECT_EQ(result.exit_status, 1);
        EXPECT_EQ(result.message, c.message);
        EXPECT_FALSE(result.show_usage);
    }
}

TEST_F(response_file, carriage_return_lines_fail_as_unknown_options) {
    write("-np\r\n-\r\n");
    std::vector<std::string> expanded;
    ASSERT_FALSE(expand_response_file({"prog", "@" + path}, expanded).finished);
    whisper_params parsed;
    const command_line_result result = parse_command_line(expanded, parsed);
    EXPECT_TRUE(result.finished);
    EXPECT_EQ(result.message, "error: unknown argument: -np\r\n");
}

} // namespace
