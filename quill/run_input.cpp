#include "run_input.h"

#include <functional>
#include <thread>

#include "capture.h"
#include "transcriber.h"

void run_input_pair(whisper_context * ctx, whisper_params & params, const std::string & input_name,
                    const std::string & output_name) {
    std::thread capture(audio_input_thread, params.stereo);
    std::thread processing(whisper_processing_thread, ctx, std::ref(params), std::cref(input_name),
                           std::cref(output_name));
    capture.join();
    processing.join();
}
