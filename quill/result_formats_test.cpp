#include "result_formats.h"

#include <gtest/gtest.h>

#include <functional>
#include <nlohmann/json.hpp>

namespace {

result_token token(const std::string & text, int64_t t0, int64_t t1, bool special = false) {
    result_token t;
    t.text = text;
    t.id = special ? 50257 : 100;
    t.p = 0.5f;
    t.t0 = t0;
    t.t1 = t1;
    t.special = special;
    return t;
}

result_segment segment(const std::string & text, int64_t t0, int64_t t1) {
    result_segment s;
    s.text = text;
    s.t0 = t0;
    s.t1 = t1;
    return s;
}

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

json_document_facts facts() {
    json_document_facts f;
    f.system_info = "AVX = 1 | ";
    f.model_type = "tiny";
    f.multilingual = false;
    f.n_vocab = 51864;
    f.audio = {1500, 384, 6, 4};
    f.text = {448, 384, 6, 4};
    f.n_mels = 80;
    f.ftype = 1;
    f.model_path = "C:\\models\\tiny.bin";
    f.language = "en";
    f.translate = false;
    f.result_language = "en";
    return f;
}

TEST(ResultFormats, JsonPlainDocument) {
    EXPECT_EQ(format_json(facts(), {segment(" say \"hi\"", 150, 300)}, false, false),
              "{\n"
              "\t\"systeminfo\": \"AVX = 1 | \",\n"
              "\t\"model\": {\n"
              "\t\t\"type\": \"tiny\",\n"
              "\t\t\"multilingual\": false,\n"
              "\t\t\"vocab\": 51864,\n"
              "\t\t\"audio\": {\n"
              "\t\t\t\"ctx\": 1500,\n"
              "\t\t\t\"state\": 384,\n"
              "\t\t\t\"head\": 6,\n"
              "\t\t\t\"layer\": 4\n"
              "\t\t},\n"
              "\t\t\"text\": {\n"
              "\t\t\t\"ctx\": 448,\n"
              "\t\t\t\"state\": 384,\n"
              "\t\t\t\"head\": 6,\n"
              "\t\t\t\"layer\": 4\n"
              "\t\t},\n"
              "\t\t\"mels\": 80,\n"
              "\t\t\"ftype\": 1\n"
              "\t},\n"
              "\t\"params\": {\n"
              "\t\t\"model\": \"C:\\\\models\\\\tiny.bin\",\n"
              "\t\t\"language\": \"en\",\n"
              "\t\t\"translate\": false\n"
              "\t},\n"
              "\t\"result\": {\n"
              "\t\t\"language\": \"en\"\n"
              "\t},\n"
              "\t\"transcription\": [\n"
              "\t\t{\n"
              "\t\t\t\"timestamps\": {\n"
              "\t\t\t\t\"from\": \"00:00:01,500\",\n"
              "\t\t\t\t\"to\": \"00:00:03,000\"\n"
              "\t\t\t},\n"
              "\t\t\t\"offsets\": {\n"
              "\t\t\t\t\"from\": 1500,\n"
              "\t\t\t\t\"to\": 3000\n"
              "\t\t\t},\n"
              "\t\t\t\"text\": \" say \\\"hi\\\"\"\n"
              "\t\t}\n"
              "\t]\n"
              "}\n");
}

TEST(ResultFormats, JsonFullSegmentWithSpeakerTurn) {
    result_segment s = segment(" hi", 0, 100);
    s.speaker_turn_next = true;
    s.tokens = {token("[_BEG_]", -1, 0, true), token(" hi", 0, 100)};
    s.tokens[1].t_dtw = 42;
    const std::string doc = format_json(facts(), {s}, true, true);
    const std::string expected_segment =
        "\t\"transcription\": [\n"
        "\t\t{\n"
        "\t\t\t\"timestamps\": {\n"
        "\t\t\t\t\"from\": \"00:00:00,000\",\n"
        "\t\t\t\t\"to\": \"00:00:01,000\"\n"
        "\t\t\t},\n"
        "\t\t\t\"offsets\": {\n"
        "\t\t\t\t\"from\": 0,\n"
        "\t\t\t\t\"to\": 1000\n"
        "\t\t\t},\n"
        "\t\t\t\"text\": \" hi\",\n"
        "\t\t\t\"tokens\": [\n"
        "\t\t\t\t{\n"
        "\t\t\t\t\t\"text\": \"[_BEG_]\",\n"
        "\t\t\t\t\t\"id\": 50257,\n"
        "\t\t\t\t\t\"p\": 0.5,\n"
        "\t\t\t\t\t\"t_dtw\": -1\n"
        "\t\t\t\t},\n"
        "\t\t\t\t{\n"
        "\t\t\t\t\t\"text\": \" hi\",\n"
        "\t\t\t\t\t\"timestamps\": {\n"
        "\t\t\t\t\t\t\"from\": \"00:00:00,000\",\n"
        "\t\t\t\t\t\t\"to\": \"00:00:01,000\"\n"
        "\t\t\t\t\t},\n"
        "\t\t\t\t\t\"offsets\": {\n"
        "\t\t\t\t\t\t\"from\": 0,\n"
        "\t\t\t\t\t\t\"to\": 1000\n"
        "\t\t\t\t\t},\n"
        "\t\t\t\t\t\"id\": 100,\n"
        "\t\t\t\t\t\"p\": 0.5,\n"
        "\t\t\t\t\t\"t_dtw\": 42\n"
        "\t\t\t\t}\n"
        "\t\t\t],\n"
        "\t\t\t\"speaker_turn_next\": true\n"
        "\t\t}\n"
        "\t]\n"
        "}\n";
    ASSERT_GE(doc.size(), expected_segment.size());
    EXPECT_EQ(doc.substr(doc.size() - expected_segment.size()), expected_segment);
}

// Every combination of the two switches, with and without segments and
// tokens, and with texts that need escaping, must give a document that a
// JSON parser reads back to the same values.
TEST(ResultFormats, JsonParsesBackInEveryVariant) {
    result_segment rich = segment(" a \"q\" \\ b\nc\td\x01", 100, 250);
    rich.tokens = {token("<|0.00|>", -1, -1, true), token(" a", 100, 150), token("\n", 150, 250)};
    const result_segment no_tokens = segment(" x", 250, 300);
    const std::vector<std::vector<result_segment>> transcriptions = {{}, {rich}, {rich, no_tokens}};
    for (const bool full : {false, true}) {
        for (const bool tinydiarize : {false, true}) {
            for (const auto & segments : transcriptions) {
                SCOPED_TRACE(testing::Message() << "full " << full << " tdrz " << tinydiarize << " segments "
                                                << segments.size());
                const std::string doc = format_json(facts(), segments, full, tinydiarize);
                nlohmann::json parsed;
                ASSERT_NO_THROW(parsed = nlohmann::json::parse(doc));
                EXPECT_EQ(parsed["params"]["model"], "C:\\models\\tiny.bin");
                ASSERT_EQ(parsed["transcription"].size(), segments.size());
                for (size_t i = 0; i < segments.size(); ++i) {
                    const auto & got = parsed["transcription"][i];
                    EXPECT_EQ(got["text"], segments[i].text);
                    EXPECT_EQ(got["offsets"]["from"], segments[i].t0 * 10);
                    EXPECT_EQ(got.contains("speaker_turn_next"), tinydiarize);
                    EXPECT_EQ(got.contains("tokens"), full);
                    if (full) {
                        ASSERT_EQ(got["tokens"].size(), segments[i].tokens.size());
                        for (size_t j = 0; j < segments[i].tokens.size(); ++j) {
                            const auto & t = segments[i].tokens[j];
                            EXPECT_EQ(got["tokens"][j]["text"], t.text);
                            EXPECT_EQ(got["tokens"][j].contains("timestamps"), t.t0 > -1 && t.t1 > -1);
                        }
                    }
                }
            }
        }
    }
}

TEST(ResultFormats, JsonEscapesOnlyWhatJsonNeeds) {
    json_writer w;
    json_value_string(w, "t", "\"\\\x1f\x7f\xc3\xa9/", true);
    EXPECT_EQ(w.out, "\"t\": \"\\\"\\\\\\u001f\x7f\xc3\xa9/\"\n");
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
