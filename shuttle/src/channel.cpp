#include "channel.h"

const char * const k_closed_channel_error = "sending on a closed channel";

bool send_return_message(ReturnMessageChannel & channel, std::string text) {
    {
        std::lock_guard<std::mutex> lock(channel.mutex);
        if (!channel.receiver_open) {
            return false;
        }
        channel.texts.push_back(std::move(text));
    }
    channel.queued.notify_one();
    return true;
}

void close_return_sender(ReturnMessageChannel & channel) {
    {
        std::lock_guard<std::mutex> lock(channel.mutex);
        channel.sender_open = false;
    }
    channel.queued.notify_one();
}

void close_return_receiver(ReturnMessageChannel & channel) {
    std::lock_guard<std::mutex> lock(channel.mutex);
    channel.receiver_open = false;
    channel.texts.clear();
}

ReceiveState receive_return_message(ReturnMessageChannel & channel, std::chrono::milliseconds wait,
                                    std::string & text) {
    std::unique_lock<std::mutex> lock(channel.mutex);
    bool ready = channel.queued.wait_for(lock, wait, [&] { return !channel.texts.empty() || !channel.sender_open; });
    if (!channel.texts.empty()) {
        text = std::move(channel.texts.front());
        channel.texts.pop_front();
        return ReceiveState::received;
    }
    return ready ? ReceiveState::disconnected : ReceiveState::timed_out;
}
