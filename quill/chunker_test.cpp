#include "chunker.h"

#include <gtest/gtest.h>

namespace {

// What one transcription of a simulated run was handed.
struct transcription {
    int32_t chunk_index;
    uint64_t chunk_offset_samples;
    size_t n;
    bool cut;

    bool operator==(const transcription & o) const {
        return chunk_index == o.chunk_index && chunk_offset_samples == o.chunk_offset_samples && n == o.n &&
               cut == o.cut;
    }
};

std::ostream & operator<<(std::ostream & os, const transcription & t) {
    return os << "{chunk " << t.chunk_index << ", offset " << t.chunk_offset_samples << ", n " << t.n
              << (t.cut ? ", cut}" : "}");
}

std::vector<float> loud(size_t n) { return std::vector<float>(n, 0.5f); }
std::vector<float> quiet(size_t n) { return std::vector<float>(n, 0.0f); }

std::vector<float> join(std::initializer_list<std::vector<float>> stretches) {
    std::vector<float> all;
    for (const auto & stretch : stretches) {
        all.insert(all.end(), stretch.begin(), stretch.end());
    }
    return all;
}

// Runs the processing thread's cycles over `takes` (what each cycle finds in
// the shared buffer); with `ends`, the last take comes with end of input and
// cycles go on with nothing more until the thread would end.
std::vector<transcription> run_cycles(const std::vector<std::vector<float>> & takes, bool ends) {
    chunker_state state;
    std::vector<transcription> done;
    for (size_t k = 0; k < takes.size() + 10; ++k) {
        std::vector<float> taken = k < takes.size() ? takes[k] : std::vector<float>{};
        const bool input_ended = ends && k + 1 >= takes.size();
        const cycle_plan plan = plan_cycle(state, taken, input_ended);
        if (plan.transcribe) {
            done.push_back({state.chunk_index, state.chunk_offset_samples, state.pending_audio.size(), plan.cut});
        }
        if (!finish_cycle(state, plan, input_ended) || (!ends && k + 1 == takes.size())) {
            return done;
        }
    }
    ADD_FAILURE() << "the cycles never end";
    return done;
}

TEST(Chunker, FirstTranscriptionNeedsOneWholeWindowAfterTheFirstSecond) {
    EXPECT_EQ(run_cycles({loud(21333)}, false), std::vector<transcription>{});
    EXPECT_EQ(run_cycles({loud(21334)}, false), (std::vector<transcription>{{0, 0, 21334, false}}));
    // Each later cycle transcribes the whole open chunk again.
    EXPECT_EQ(run_cycles({loud(21334), loud(100), loud(7)}, false),
              (std::vector<transcription>{{0, 0, 21334, false}, {0, 0, 21434, false}, {0, 0, 21441, false}}));
    // Short takes add up: nothing until the open chunk passes 21,333 samples.
    EXPECT_EQ(run_cycles({loud(16000), loud(5333), loud(1)}, false),
              (std::vector<transcription>{{0, 0, 21334, false}}));
}

TEST(Chunker, FirstExaminedWindowNeverCounts) {
    // The window at 16,000 is silent from the start but only counts once a
    // window has been examined before, here in the next cycle.
    const std::vector<float> first = join({loud(16000), quiet(5334)});
    EXPECT_EQ(run_cycles({first, loud(10)}, false),
              (std::vector<transcription>{{0, 0, 21334, false}, {0, 0, 21333, true}}));
    // A later window of the same cycle does count.
    EXPECT_EQ(run_cycles({join({loud(16000), quiet(10666), loud(1)})}, false),
              (std::vector<transcription>{{0, 0, 26666, true}}));
}

TEST(Chunker, Rms) {
    EXPECT_EQ(compute_rms(std::vector<float>{}), 0.0f);
    EXPECT_EQ(compute_rms(std::vector<float>{0.5f, -0.5f}), 0.5f);
    EXPECT_EQ(compute_rms(std::vector<float>{3.0f, 4.0f, 0.0f, 0.0f}), 2.5f);
}

TEST(Chunker, WindowWithRmsOfExactlyTheThresholdIsNotSilent) {
    // Four samples carry the whole energy, so the single-precision sum is exact.
    std::vector<float> window = quiet(k_window_length);
    std::fill(window.begin(), window.begin() + 4, 0.365136951f);
    ASSERT_EQ(compute_rms(window), 0.01f);
    std::vector<float> below = window;
    below[0] = 0.0f;

    const std::vector<transcription> at = run_cycles({join({loud(16000), window, window, loud(1)})}, false);
    const std::vector<transcription> under = run_cycles({join({loud(16000), below, below, loud(1)})}, false);
    EXPECT_EQ(at, (std::vector<transcription>{{0, 0, 26667, false}}));
    EXPECT_EQ(under, (std::vector<transcription>{{0, 0, 26666, true}}));
}

TEST(Chunker, CutsMoveOffsetAndIndex) {
    // Cuts after 26,666 and 37,332 samples: the third chunk starts at 63,998.
    const std::vector<float> chunk0 = join({loud(16000), quiet(10666), loud(1)});
    const std::vector<float> chunk1_rest = join({loud(31998), quiet(5333), loud(1)});
    const std::vector<float> chunk2_more = loud(21333);
    EXPECT_EQ(run_cycles({chunk0, chunk1_rest, chunk2_more}, false),
              (std::vector<transcription>{{0, 0, 26666, true}, {1, 26666, 37332, true}, {2, 63998, 21334, false}}));
}

TEST(Chunker, EndOfInput) {
    // Whatever is pending is transcribed once input has ended, however short.
    EXPECT_EQ(run_cycles({loud(10000)}, true), (std::vector<transcription>{{0, 0, 10000, false}}));
    EXPECT_EQ(run_cycles({}, true), (std::vector<transcription>{{0, 0, 0, false}}));
    // Samples taken by a cycle that did not see the end are still transcribed.
    EXPECT_EQ(run_cycles({loud(10000), {}}, true), (std::vector<transcription>{{0, 0, 10000, false}}));
    // A cut in the last cycle: the carry is transcribed as one more chunk.
    EXPECT_EQ(run_cycles({join({loud(16000), quiet(10666), loud(500)})}, true),
              (std::vector<transcription>{{0, 0, 26666, true}, {1, 26666, 500, false}}));
    // That carry may be cut again in turn.
    const std::vector<float> twice = join({loud(16000), quiet(10666), loud(16000), quiet(10666), loud(3)});
    EXPECT_EQ(run_cycles({twice}, true),
              (std::vector<transcription>{{0, 0, 26666, true}, {1, 26666, 26666, true}, {2, 53332, 3, false}}));
}

TEST(Chunker, CarryIsTheAudioAfterTheSilentWindow) {
    chunker_state state;
    std::vector<float> taken = join({loud(16000), quiet(10666), {0.25f, -0.25f}});
    plan_cycle(state, taken, false);
    EXPECT_TRUE(taken.empty());
    EXPECT_EQ(state.carry_audio, (std::vector<float>{0.25f, -0.25f}));
    EXPECT_EQ(state.pending_audio.size(), 26666u);
    finish_cycle(state, {true, true}, false);
    std::vector<float> more{0.125f};
    plan_cycle(state, more, false);
    EXPECT_EQ(state.pending_audio, (std::vector<float>{0.25f, -0.25f, 0.125f}));
    EXPECT_TRUE(state.carry_audio.empty());
    EXPECT_FALSE(state.window_scanned);
}

} // namespace
