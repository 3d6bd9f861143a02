#include "result_json.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "result_test_records.h"

namespace {

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

TEST(ResultJson, JsonPlainDocument) {
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

TEST(ResultJson, JsonFullSegmentWithSpeakerTurn) {
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
TEST(ResultJson, JsonParsesBackInEveryVariant) {
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

TEST(ResultJson, JsonEscapesOnlyWhatJsonNeeds) {
    json_writer w;
    json_value_string(w, "t", "\"\\\x1f\x7f\xc3\xa9/", true);
    EXPECT_EQ(w.out, "\"t\": \"\\\"\\\\\\u001f\x7f\xc3\xa9/\"\n");
}

}  // namespace
