#include "usage_text.h"

#include "command_line.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "settings_test_helpers.h"

namespace {

std::string read_golden(const std::string & name) {
    std::ifstream file(std::string(GOLDEN_DIR) + "/" + name, std::ios::binary);
    std::ostringstream contents;
    contents << file.rdbuf();
    return contents.str();
}

TEST(format_usage, matches_the_golden_texts) {
    whisper_params defaults;
    defaults.n_threads = 4;  // the real default follows the machine
    EXPECT_EQ(format_usage("lanternwick-quill", defaults), read_golden("usage_default.txt"));

    whisper_params threads8;
    ASSERT_FALSE(parse_command_line(command({"-t", "8"}), threads8).finished);
    EXPECT_EQ(format_usage("lanternwick-quill", threads8), read_golden("usage_threads8.txt"));
}

TEST(format_usage, shows_current_values) {
    whisper_params p;
    ASSERT_FALSE(parse_command_line(command({"-ng", "-l", "DE", "-wt", "0.126", "--grammar-penalty", "2.26", "-of",
                                             "x", "-f", "y", "-dtw", "tiny.en", "-ojf", "--stereo"}),
                                    p)
                     .finished);
    const std::string usage = format_usage("prog", p);
    for (const char * line : {
             "  -ng,       --no-gpu            [true   ] disable GPU\n",
             "  -l LANG,   --language LANG     [de     ] spoken language ('auto' for auto-detect)\n",
             "  -wt N,     --word-thold N      [0.13   ] word timestamp probability threshold\n",
             "  --grammar-penalty N            [2.3    ] scales down logits of nongrammar tokens\n",
             "  -of FNAME, --output-file FNAME [       ] output file path (without file extension)\n",
             "  -f FNAME,  --file FNAME        [       ] input audio file path\n",
             "  -dtw MODEL --dtw MODEL         [tiny.en] compute token-level timestamps\n",
             "  -oj,       --output-json       [true   ] output result in a JSON file\n",
             "  -ojf,      --output-json-full  [true   ] include more information in the JSON file\n",
             "usage: prog [options] file0 file1 ...\n",
         }) {
        EXPECT_NE(usage.find(line), std::string::npos) << line;
    }
    EXPECT_EQ(usage.find("--stereo"), std::string::npos);
    EXPECT_EQ(usage.find("--mono"), std::string::npos);
}

} // namespace
