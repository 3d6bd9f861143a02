#include "speech_command.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "process.h"
#include "temp_dir_test.h"

namespace {

namespace fs = std::filesystem;

// The speech command is a script that records the arguments it was given,
// one a line, and what the speak file held when it ran.
class speak_with_file_test : public temp_dir_test {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(temp_dir_test::SetUp());
        recorder = "sh " + file_with("record.sh",
                                     "dir=$(dirname \"$0\")\n"
                                     "printf '%s\\n' \"$@\" > \"$dir/args\"\n"
                                     "cat \"$2\" > \"$dir/contents\"\n");
    }

    struct spoken {
        bool ok;
        std::string err;
    };

    spoken speak(const std::string & command, const std::string & text, const std::string & speak_file, int voice_id) {
        testing::internal::CaptureStderr();
        const bool ok = speak_with_file(command, text, speak_file, voice_id);
        return {ok, testing::internal::GetCapturedStderr()};
    }

    std::string recorder;
};

TEST_F(speak_with_file_test, writes_the_text_first_and_then_runs_the_command_with_voice_and_path) {
    const std::string text = "two lines,\nthe last without its end";
    for (const int voice_id : {2, -1}) {
        const std::string speak_file = dir + "/speak.txt";
        const spoken result = speak(recorder, text, speak_file, voice_id);
        EXPECT_TRUE(result.ok);
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(read_file(dir + "/args"), std::to_string(voice_id) + "\n" + speak_file + "\n");
        EXPECT_EQ(read_file(dir + "/contents"), text);
        EXPECT_EQ(read_file(speak_file), text);  // left in place
    }
}

TEST_F(speak_with_file_test, hands_the_command_a_path_with_shell_characters_as_one_literal_word) {
    const std::string speak_file = dir + "/it's a $(echo injected) `echo too`; file";
    EXPECT_TRUE(speak(recorder, "hello", speak_file, 2).ok);
    EXPECT_EQ(read_file(dir + "/args"), "2\n" + speak_file + "\n");
    EXPECT_EQ(read_file(dir + "/contents"), "hello");
}

TEST_F(speak_with_file_test, reports_a_command_that_fails) {
    const spoken result = speak("false", "hello", dir + "/speak.txt", 2);
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.err, "speak_with_file: failed to speak\n");
    EXPECT_EQ(read_file(dir + "/speak.txt"), "hello");
}

TEST_F(speak_with_file_test, runs_nothing_when_the_speak_file_cannot_be_written) {
    const spoken result = speak(recorder, "hello", dir + "/missing/speak.txt", 2);
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.err, "speak_with_file: failed to open speak_file\n");
    EXPECT_FALSE(fs::exists(dir + "/args"));
}

} // namespace
