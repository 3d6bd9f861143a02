#include "result_formats.h"

#include <gtest/gtest.h>

#include <functional>

#include "result_test_records.h"

namespace {

// A short first segment and one at 20 minutes 34.56 seconds whose text holds
// the characters that each format treats specially.
std::vector<result_segment> two_segments() {
    return {segment(" hello", 0, 150), segment(" say \"hi\", a\\b", 123456, 123500)};
}

TEST(ResultFormats, LineFormats) {
    const auto segments = two_segments();
    EXPECT_EQ(format_txt(segments), " hello\n say \"hi\", a\\b\n");
    EXPECT_EQ(format_vtt(segments),
              "WEBVTT\n\n"
              "00:00:00.000 --> 00:00:01.500\n hello\n\n"
              "00:20:34.560 --> 00:20:35.000\n say \"hi\", a\\b\n\n");
    EXPECT_EQ(format_srt(segments, 0),
              "1\n00:00:00,000 --> 00:00:01,500\n hello\n\n"
              "2\n00:20:34,560 --> 00:20:35,000\n say \"hi\", a\\b\n\n");
    EXPECT_EQ(format_csv(segments),
              "start,end,text\n"
              "0,1500,\" hello\"\n"
              "1234560,1235000,\" say \"\"hi\"\", a\\b\"\n");
    EXPECT_EQ(format_lrc(segments),
              "[by:whisper.cpp]\n"
              "[00:00.00] hello\n"
              "[20:34.56] say \"hi\", a\\b\n");
}

TEST(ResultFormats, SubRipNumbersStartAfterOffset) {
    EXPECT_EQ(format_srt({segment(" a", 0, 100)}, 10), "11\n00:00:00,000 --> 00:00:01,000\n a\n\n");
}

TEST(ResultFormats, NoSegmentsLeavesOnlyTheFixedStart) {
    const std::vector<result_segment> none;
    EXPECT_EQ(format_txt(none), "");
    EXPECT_EQ(format_vtt(none), "WEBVTT\n\n");
    EXPECT_EQ(format_srt(none, 0), "");
    EXPECT_EQ(format_csv(none), "start,end,text\n");
    EXPECT_EQ(format_lrc(none), "[by:whisper.cpp]\n");
}

TEST(ResultFormats, LrcTimestamp) {
    const struct {
        int64_t t0;
        const char * expected;
    } cases[] = {
        {0, "00:00.00"},       {1, "00:00.01"},      {5999, "00:59.99"},        {6000, "01:00.00"},
        {123456, "20:34.56"},  {600000, "100:00.00"}, {359999, "59:59.99"},
    };
    for (const auto & c : cases) EXPECT_EQ(lrc_timestamp(c.t0), c.expected) << c.t0;
}

TEST(ResultFormats, ScoreLineUsesStreamFloatForm) {
    const struct {
        float p;
        const char * expected;
    } cases[] = {
        {0.5f, " a\t0.5\n"},          {1.0f, " a\t1\n"},           {0.0f, " a\t0\n"},
        {0.123456789f, " a\t0.123457\n"}, {0.0001f, " a\t0.0001\n"}, {0.00001f, " a\t1e-05\n"},
        {1234567.0f, " a\t1.23457e+06\n"},
    };
    for (const auto & c : cases) {
        result_token t = token(" a", 0, 0);
        t.p = c.p;
        EXPECT_EQ(format_score_line(t), c.expected);
    }
}

TEST(ResultFormats, KaraokeDuration) {
    EXPECT_FLOAT_EQ(karaoke_duration(32000), 2.0625f);
    EXPECT_FLOAT_EQ(karaoke_duration(0), 0.0625f);
}

std::string script_head(const std::string & input, const std::string & duration) {
    return "#!/bin/bash\n\nffmpeg -i " + input + " -f lavfi -i color=size=1200x120:duration=" + duration +
           ":rate=25:color=black -vf \"";
}

std::string script_tail(const std::string & word, const std::string & shown) {
    return "\" -c:v libx264 -pix_fmt yuv420p -y " + word + "\n\n\necho \"Your video has been saved to " + shown +
           "\"\n\necho \"  ffplay " + shown + "\"\n\n";
}

const std::string k_gray = "drawtext=fontfile='/f.ttf':fontsize=24:fontcolor=gray:x=(w-text_w)/2:y=h/2:text='";
const std::string k_green =
    ",drawtext=fontfile='/f.ttf':fontsize=24:fontcolor=lightgreen:x=(w-text_w)/2+8:y=h/2:text='";
const std::string k_under =
    ",drawtext=fontfile='/f.ttf':fontsize=24:fontcolor=lightgreen:x=(w-text_w)/2+8:y=h/2+16:text='";

TEST(ResultFormats, KaraokeTwoTokens) {
    result_segment s = segment(" Hi you", 0, 150);
    s.tokens = {token("[_BEG_]", 0, 0, true), token(" Hi", 0, 80), token(" you", 80, 150)};
    EXPECT_EQ(format_wts({s}, "in.wav", "/f.ttf", 2.0625f),
              script_head("in.wav", "2.0625") +                                   //
                  k_gray + "':enable='between(t,0,0)'" +                          //
                  "," + k_gray + ">  Hi you':enable='between(t,0,1.5)'" +         //
                  k_green + R"(>  Hi|\ \ \ \ ':enable='between(t,0,0.8)')" +      //
                  k_under + R"(\ \ ___\ \ \ \ ':enable='between(t,0,0.8)')" +     //
                  k_green + R"(> \ \ \  you|':enable='between(t,0.8,1.5)')" +     //
                  k_under + R"(\ \ \ \ \ ____':enable='between(t,0.8,1.5)')" +  //
                  script_tail("in.wav.mp4", "in.wav.mp4"));
}

TEST(ResultFormats, KaraokeSegmentsOfOnlySpecialTokensAndNoSegments) {
    result_segment s = segment("", 100, 250);
    s.tokens = {token("[_BEG_]", 0, 0, true), token("[_TT_50]", 0, 0, true)};
    result_segment second = s;
    second.t0 = 123456;
    EXPECT_EQ(format_wts({s, second}, "-", "/f.ttf", 1.0f),
              script_head("-", "1") + k_gray + "':enable='between(t,1,1)'," + k_gray +
                  "':enable='between(t,1234.56,1234.56)'" + script_tail("-.mp4", "-.mp4"));
    EXPECT_EQ(format_wts({}, "-", "/f.ttf", 0.0625f), script_head("-", "0.0625") + script_tail("-.mp4", "-.mp4"));
}

// The script is sourced by a shell: recognised text and names must reach
// ffmpeg as text, never as shell syntax. An apostrophe would end the drawtext
// text, so it becomes a typographic one; the underline keeps the byte count.
TEST(ResultFormats, KaraokeTextCannotBreakTheScript) {
    result_segment s = segment(" it's", 0, 100);
    s.tokens = {token(" it's $(x) `y` \\\"z\" \\", 0, 100)};
    const std::string script = format_wts({s}, "my talk's.wav", "/f.ttf", 1.0f);
    const std::string shown = std::string("> ") + " it" + "\xE2\x80\x99" + R"(s \$(x) \`y\` \\\"z\" \\)";
    EXPECT_NE(script.find(k_gray + shown + "':enable='between(t,0,1)'"), std::string::npos) << script;
    EXPECT_NE(script.find(k_green + shown + "|':"), std::string::npos) << script;
    EXPECT_NE(script.find(k_under + "\\ \\ " + std::string(s.tokens[0].text.size(), '_') + "':"), std::string::npos) << script;
    EXPECT_EQ(script.substr(0, script_head("'my talk'\\''s.wav'", "1").size()), script_head("'my talk'\\''s.wav'", "1"));
    const std::string tail = script_tail("'my talk'\\''s.wav.mp4'", "my talk's.wav.mp4");
    EXPECT_EQ(script.substr(script.size() - tail.size()), tail);
}

}  // namespace
