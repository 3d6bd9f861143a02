#include "run_input.h"

#include <cstdio>
#include <functional>
#include <system_error>
#include <thread>

#include "capture.h"
#include "transcriber.h"

namespace {

void report_thread_failure(const std::system_error & failure) {
    std::fprintf(stderr, "error: failed to start a thread: %s\n", failure.what());
}

} // namespace

bool run_input_pair(whisper_context * ctx, audio_handoff & handoff, whisper_params & params,
                    const std::string & input_name, const std::string & output_name) {
    std::thread capture;
    try {
        capture = std::thread(audio_input_thread, std::ref(handoff), params.stereo);
    } catch (const std::system_error & failure) {
        report_thread_failure(failure);
        return false;
    }
    std::thread processing;
    try {
        processing = std::thread(whisper_processing_thread, ctx, std::ref(handoff), std::ref(params),
                                 std::cref(input_name), std::cref(output_name));
    } catch (const std::system_error & failure) {
        report_thread_failure(failure);
        // Capture looks at the flag before every read, so it ends within one
        // wait and the audio it took is simply never transcribed.
        stop_requested = true;
        capture.join();
        return false;
    }
    capture.join();
    processing.join();
    return true;
}
