#include "audio_handoff.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

struct take_result {
    std::vector<float> taken;
    bool input_ended = false;
};

// Takes on a thread of its own, as the processing thread does, so that a
// take that waits for the other side is woken by it rather than hanging the test.
take_result take_on_other_thread(audio_handoff & handoff, void (*other_side)(audio_handoff &)) {
    take_result result;
    std::thread taker([&] { result.input_ended = take_audio(handoff, result.taken); });
    other_side(handoff);
    taker.join();
    return result;
}

TEST(AudioHandoff, TakesEverythingPushedSoFarInOrder) {
    audio_handoff handoff;
    push_audio(handoff, {0.25f, -0.5f});
    push_audio(handoff, {});
    push_audio(handoff, {0.75f});
    std::vector<float> taken{9.0f};
    EXPECT_FALSE(take_audio(handoff, taken));
    EXPECT_EQ(taken, (std::vector<float>{0.25f, -0.5f, 0.75f}));
    EXPECT_TRUE(handoff.shared_audio_buffer.empty());
}

TEST(AudioHandoff, WaitingTakeIsWokenByEitherSide) {
    const struct {
        const char * what;
        void (*other_side)(audio_handoff &);
        std::vector<float> taken;
        bool input_ended;
    } cases[] = {
        {"a push", [](audio_handoff & h) { push_audio(h, {0.5f}); }, {0.5f}, false},
        {"the end", [](audio_handoff & h) { end_audio_input(h); }, {}, true},
        // Samples delivered before the end come with it: a cycle that sees
        // the end never leaves any behind.
        {"a push, then the end",
         [](audio_handoff & h) {
             push_audio(h, {0.5f});
             end_audio_input(h);
         },
         {0.5f}, true},
    };
    for (const auto & c : cases) {
        audio_handoff handoff;
        const take_result result = take_on_other_thread(handoff, c.other_side);
        if (!result.input_ended && c.input_ended) {
            // The push woke the taker before the end was raised: the end comes with the next take.
            std::vector<float> rest;
            EXPECT_TRUE(take_audio(handoff, rest)) << c.what;
            EXPECT_TRUE(rest.empty()) << c.what;
        } else {
            EXPECT_EQ(result.input_ended, c.input_ended) << c.what;
        }
        EXPECT_EQ(result.taken, c.taken) << c.what;
    }
}

// A later input name starts new threads on the same hand-off: once input has
// ended, its processing thread must not wait for audio that never comes.
TEST(AudioHandoff, EndIsNeverReset) {
    audio_handoff handoff;
    end_audio_input(handoff);
    for (int take = 0; take < 3; ++take) {
        std::vector<float> taken;
        EXPECT_TRUE(take_audio(handoff, taken)) << "take " << take;
        EXPECT_TRUE(taken.empty()) << "take " << take;
    }
}

} // namespace
