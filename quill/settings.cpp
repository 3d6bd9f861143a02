#include "settings.h"

#include <algorithm>
#include <thread>

#include "whisper.h"

namespace {

int32_t default_thread_count() { return std::min(hardware_threads(), 4); }

} // namespace

whisper_params::whisper_params()
    : n_threads(default_thread_count()),
      best_of(whisper_full_default_params(WHISPER_SAMPLING_GREEDY).greedy.best_of),
      beam_size(whisper_full_default_params(WHISPER_SAMPLING_BEAM_SEARCH).beam_search.beam_size) {}

// 0 means the platform cannot tell; 4 is then as good a guess as any. The cap
// lies far above any real machine and keeps the bound of "-t", four times
// this count, within the 32-bit thread count.
int32_t hardware_threads() {
    const unsigned reported = std::thread::hardware_concurrency();
    if (reported == 0) {
        return 4;
    }
    return static_cast<int32_t>(std::min<unsigned>(reported, 1u << 16));
}

std::string output_name_for(const whisper_params & params, size_t index) {
    if (index < params.output_names.size() && !params.output_names[index].empty()) {
        return params.output_names[index];
    }
    return params.input_names[index];
}
