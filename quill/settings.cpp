#include "settings.h"

#include <algorithm>
#include <thread>

#include "whisper.h"

whisper_params::whisper_params()
    : n_threads(std::min(4, static_cast<int32_t>(std::thread::hardware_concurrency()))),
      best_of(whisper_full_default_params(WHISPER_SAMPLING_GREEDY).greedy.best_of),
      beam_size(whisper_full_default_params(WHISPER_SAMPLING_BEAM_SEARCH).beam_search.beam_size) {}
