#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>

// The unbounded first-in-first-out queue that carries pushed texts from the
// return listener to the main thread. The receiver still gets every queued
// text after the sender has gone, and only then learns of it.
struct ReturnMessageChannel {
    std::mutex mutex;
    std::condition_variable queued;
    std::deque<std::string> texts;
    bool sender_open = true;
    bool receiver_open = true;
};

extern const char * const k_closed_channel_error;

// false when the receiving end has gone; the text is then dropped.
bool send_return_message(ReturnMessageChannel & channel, std::string text);

void close_return_sender(ReturnMessageChannel & channel);
void close_return_receiver(ReturnMessageChannel & channel);

enum class ReceiveState { received, timed_out, disconnected };

ReceiveState receive_return_message(ReturnMessageChannel & channel, std::chrono::milliseconds wait,
                                    std::string & text);
