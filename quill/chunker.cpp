#include "chunker.h"

#include <cmath>

float compute_rms(const float * samples, size_t count) {
    if (count == 0) {
        return 0.0f;
    }
    float sum = 0.0f;
    for (size_t i = 0; i < count; ++i) {
        // A separate statement keeps compilers from fusing it into one
        // multiply-add, which would move the silence threshold by a rounding.
        const float square = samples[i] * samples[i];
        sum += square;
    }
    return std::sqrt(sum / static_cast<float>(count));
}

void assemble_pending(chunker_state & state, std::vector<float> & taken) {
    state.pending_audio.insert(state.pending_audio.end(), state.carry_audio.begin(), state.carry_audio.end());
    state.carry_audio.clear();
    state.pending_audio.insert(state.pending_audio.end(), taken.begin(), taken.end());
    taken.clear();
}

bool cut_at_silent_window(chunker_state & state) {
    std::vector<float> & pending = state.pending_audio;
    const size_t n = pending.size();
    // Every window is judged anew each cycle; only the very first one examined
    // since start or since a cut is never taken as silent.
    for (size_t s = k_first_window_start; s + k_window_length < n; s += k_window_length) {
        const bool quiet = compute_rms(pending.data() + s, k_window_length) < k_silence_threshold;
        const bool silent = quiet && state.window_scanned;
        state.window_scanned = true;
        if (silent) {
            const size_t end = s + k_window_length;
            state.carry_audio.assign(pending.begin() + static_cast<std::ptrdiff_t>(end), pending.end());
            pending.resize(end);
            return true;
        }
    }
    return false;
}

bool should_transcribe(const chunker_state & state, bool input_ended) {
    return input_ended || (state.window_scanned && state.pending_audio.size() >= k_first_window_start);
}

cycle_plan plan_cycle(chunker_state & state, std::vector<float> & taken, bool input_ended) {
    assemble_pending(state, taken);
    cycle_plan plan;
    plan.cut = cut_at_silent_window(state);
    plan.transcribe = should_transcribe(state, input_ended);
    return plan;
}

bool finish_cycle(chunker_state & state, const cycle_plan & plan, bool input_ended) {
    if (plan.cut) {
        state.window_scanned = false;
        state.chunk_offset_samples += state.pending_audio.size();
        state.pending_audio.clear();
        state.chunk_index += 1;
    }
    return !(input_ended && state.carry_audio.empty());
}
