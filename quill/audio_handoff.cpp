#include "audio_handoff.h"

void push_audio(audio_handoff & handoff, const std::vector<float> & samples) {
    {
        std::lock_guard<std::mutex> lock(handoff.audio_mutex);
        handoff.shared_audio_buffer.insert(handoff.shared_audio_buffer.end(), samples.begin(), samples.end());
    }
    handoff.audio_cv.notify_all();
}

void end_audio_input(audio_handoff & handoff) {
    std::lock_guard<std::mutex> lock(handoff.audio_mutex);
    handoff.audio_input_done = true;
    handoff.audio_cv.notify_all();
}

bool take_audio(audio_handoff & handoff, std::vector<float> & taken) {
    std::unique_lock<std::mutex> lock(handoff.audio_mutex);
    handoff.audio_cv.wait(lock, [&] { return !handoff.shared_audio_buffer.empty() || handoff.audio_input_done; });
    taken.clear();
    taken.swap(handoff.shared_audio_buffer);
    return handoff.audio_input_done;
}
