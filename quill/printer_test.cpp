#include "printer.h"

#include <gtest/gtest.h>

#include "common.h"

namespace {

std::string line(const std::string & segment, int64_t start, int64_t end, const std::string & text) {
    return "{ \"transcription\": { \"segment\": \"" + segment + "\", \"start\": \"" + std::to_string(start) +
           "\", \"end\": \"" + std::to_string(end) + "\", \"speaker\": \"\", \"text\": \"" + text + "\" } }";
}

printed_segment segment(int64_t t0, int64_t t1, const std::string & text) {
    printed_segment s;
    s.t0 = t0;
    s.t1 = t1;
    s.text = text;
    return s;
}

// One callback call: everything it writes, joined.
std::string batch(const whisper_params & params, int32_t chunk, uint64_t offset, bool cut, int n, int n_new,
                  const std::vector<printed_segment> & segments) {
    print_callback_data data;
    data.params = &params;
    data.chunk_index = chunk;
    data.chunk_offset_samples = offset;
    data.silence_cut = cut;
    std::string out;
    for (const std::string & text : format_segment_batch(data, n, n_new, segments)) {
        out += text;
    }
    return out;
}

const std::string k_silence = "{\"info\": \"\xF0\x9F\xA4\x90 Silence detected\"}\n";

TEST(Printer, BaseIsStreamMillisecondsDropping) {
    const std::pair<uint64_t, uint64_t> cases[] = {{0, 0}, {15, 0}, {16, 1}, {16001, 1000}, {16016, 1001},
                                                   {63998, 3999}, {16000ull * 3600 * 40, 1000ull * 3600 * 40}};
    for (const auto & [offset, ms] : cases) {
        EXPECT_EQ(chunk_base_ms(offset), ms) << offset;
    }
}

TEST(Printer, SegmentLineCarriesChunkAndSegmentFromOneAndStreamTimes) {
    whisper_params params;
    EXPECT_EQ(batch(params, 2, 16016, false, 3, 1, {segment(5, 123, "a \"b\"")}),
              line("3.3", 1001 + 50, 1001 + 1230, "a \\\"b\\\"") + "\n");
}

TEST(Printer, RepeatedTranscriptionsOfAChunkThenTheNext) {
    // The library reports one segment per call; the third transcription of
    // chunk 0 closes it at a silence.
    whisper_params params;
    const printed_segment one = segment(0, 100, " one");
    const printed_segment two = segment(100, 200, " two");
    std::string out;
    out += batch(params, 0, 0, false, 1, 1, {one});
    out += batch(params, 0, 0, false, 1, 1, {one});
    out += batch(params, 0, 0, false, 2, 1, {two});
    out += batch(params, 0, 0, true, 1, 1, {one});
    out += batch(params, 0, 0, true, 2, 1, {two});
    out += batch(params, 1, 26666, false, 1, 1, {one});
    EXPECT_EQ(out, "\n" + line("1.1", 0, 1000, " one") + "\n" +
                       "\n" + line("1.1", 0, 1000, " one") + "\n" + line("1.2", 1000, 2000, " two") + "\n" +
                       "\n" + line("1.1", 0, 1000, " one") + "\n" + k_silence +
                       line("1.2", 1000, 2000, " two") + "\n" + k_silence +
                       "\n" + line("2.1", 1666, 2666, " one") + "\n");
}

TEST(Printer, SilenceLineFollowsEveryCallOfACuttingTranscription) {
    whisper_params params;
    EXPECT_EQ(batch(params, 0, 0, true, 0, 0, {}), "\n" + k_silence);
    EXPECT_EQ(batch(params, 0, 0, false, 0, 0, {}), "\n");
    EXPECT_EQ(batch(params, 0, 0, true, 3, 2, {segment(0, 1, "b"), segment(1, 2, "c")}),
              line("1.2", 0, 10, "b") + "\n" + line("1.3", 10, 20, "c") + "\n" + k_silence);
}

TEST(Printer, FinalLineComesAfterTheSilenceLine) {
    whisper_params params;
    print_callback_data data;
    data.params = &params;
    data.silence_cut = true;
    data.final_chunk = true;
    EXPECT_EQ(format_segment_batch(data, 1, 0, {}),
              (std::vector<std::string>{k_silence, "{\"info\": \"\xF0\x9F\x92\x8B Final\"}\n"}));
}

TEST(Printer, NoTimestampsJoinsObjectsAtTheBaseUnlessDiarizing) {
    whisper_params params;
    params.no_timestamps = true;
    const std::vector<printed_segment> two = {segment(10, 20, "x"), segment(20, 30, "y")};
    EXPECT_EQ(batch(params, 0, 16000, true, 2, 2, two),
              "\n" + line("1.1", 1000, 1000, "x") + line("1.2", 1000, 1000, "y") + k_silence);
    params.diarize = true;
    EXPECT_EQ(batch(params, 0, 16000, false, 2, 2, two),
              "\n" + line("1.1", 1100, 1200, "x") + "\n" + line("1.2", 1200, 1300, "y") + "\n");
}

TEST(Printer, ColorIndexThresholds) {
    const std::pair<float, int> cases[] = {
        {0.0f, 0},    {0.5227f, 0}, {0.5229f, 1}, {0.6586f, 1}, {0.6587f, 2}, {0.7539f, 2},
        {0.7540f, 3}, {0.8298f, 3}, {0.8299f, 4}, {0.8938f, 4}, {0.8940f, 5}, {0.9499f, 5},
        {0.9500f, 6}, {1.0f, 6},    {1.5f, 6},    {-0.5f, 0},
    };
    for (const auto & [p, index] : cases) {
        EXPECT_EQ(color_index(p), index) << p;
    }
}

TEST(Printer, ColoredTokensAndSpeakerTurnStandBeforeTheObject) {
    whisper_params params;
    params.print_colors = true;
    params.tinydiarize = true;
    printed_segment s = segment(0, 100, " hi");
    s.tokens = {{"[_BEG_]", 1.0f, true}, {" h", 0.1f, false}, {"i", 1.0f, false}};
    s.speaker_turn_next = true;
    const std::string object = line("1.1", 0, 1000, " hi") + "\n";
    EXPECT_EQ(batch(params, 0, 0, false, 1, 1, {s}),
              "\n" + k_colors[0] + " h\033[0m" + k_colors[6] + "i\033[0m [SPEAKER_TURN]" + object);
    params.print_special = true;
    params.tinydiarize = false;
    EXPECT_EQ(batch(params, 0, 0, false, 1, 1, {s}),
              "\n" + k_colors[6] + "[_BEG_]\033[0m" + k_colors[0] + " h\033[0m" + k_colors[6] + "i\033[0m" + object);
}

// A token holding a line feed or another control byte would split the line
// before its object; quotes and backslashes outside the object stay as they are.
TEST(Printer, ColoredTokensEscapeControlBytesAsTheObjectDoes) {
    whisper_params params;
    params.print_colors = true;
    printed_segment s = segment(0, 100, "a\nb\t\"c\\");
    s.tokens = {{"a\n", 1.0f, false}, {"b\t\r\x1b", 1.0f, false}, {"\"c\\", 1.0f, false}};
    const std::string tokens = k_colors[6] + "a\\u000a\033[0m" + k_colors[6] + "b\\u0009\\u000d\\u001b\033[0m" +
                               k_colors[6] + "\"c\\\033[0m";
    EXPECT_EQ(batch(params, 0, 0, false, 1, 1, {s}),
              "\n" + tokens + line("1.1", 0, 1000, "a\\u000ab\\u0009\\\"c\\\\") + "\n");
}

TEST(Printer, ProgressMarksAdvanceOneStepPerLine) {
    int32_t prev = 0;
    std::vector<int> printed;
    std::vector<int32_t> marks;
    for (int progress : {3, 5, 7, 12, 100}) {
        if (advance_progress(prev, progress, 5)) {
            printed.push_back(progress);
            marks.push_back(prev);
        }
    }
    EXPECT_EQ(printed, (std::vector<int>{5, 12, 100}));
    EXPECT_EQ(marks, (std::vector<int32_t>{5, 10, 15}));
    prev = 0;
    EXPECT_TRUE(advance_progress(prev, 37, 5));
    EXPECT_TRUE(advance_progress(prev, 40, 5));
    EXPECT_EQ(prev, 10);
}

} // namespace
