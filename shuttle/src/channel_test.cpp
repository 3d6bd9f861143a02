#include "channel.h"

#include <gtest/gtest.h>

#include <thread>

using namespace std::chrono_literals;

TEST(ReturnMessageChannel, DeliversInOrderThenReportsTheSenderGone) {
    ReturnMessageChannel channel;
    for (const char * text : {"one", "", "three"}) {
        ASSERT_TRUE(send_return_message(channel, text));
    }
    close_return_sender(channel);
    std::string text;
    for (const char * expected : {"one", "", "three"}) {
        ASSERT_EQ(ReceiveState::received, receive_return_message(channel, 0ms, text));
        EXPECT_EQ(expected, text);
    }
    EXPECT_EQ(ReceiveState::disconnected, receive_return_message(channel, 100ms, text));
}

TEST(ReturnMessageChannel, TimesOutWhenNothingIsQueued) {
    ReturnMessageChannel channel;
    std::string text;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ReceiveState::timed_out, receive_return_message(channel, 50ms, text));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 50ms);
}

TEST(ReturnMessageChannel, WakesTheWaitingReceiver) {
    ReturnMessageChannel channel;
    std::thread sender([&] {
        std::this_thread::sleep_for(20ms);
        send_return_message(channel, "late");
        close_return_sender(channel);
    });
    std::string text;
    EXPECT_EQ(ReceiveState::received, receive_return_message(channel, 10s, text));
    EXPECT_EQ("late", text);
    EXPECT_EQ(ReceiveState::disconnected, receive_return_message(channel, 10s, text));
    sender.join();
}

TEST(ReturnMessageChannel, RefusesTextsOnceTheReceiverIsGone) {
    ReturnMessageChannel channel;
    close_return_receiver(channel);
    EXPECT_FALSE(send_return_message(channel, "lost"));
    EXPECT_STREQ("sending on a closed channel", k_closed_channel_error);
}
