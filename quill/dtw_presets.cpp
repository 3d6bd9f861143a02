#include "dtw_presets.h"

namespace {

struct dtw_preset {
    const char * name;
    whisper_alignment_heads_preset preset;
};

const dtw_preset k_dtw_presets[] = {
    {"tiny", WHISPER_AHEADS_TINY},
    {"tiny.en", WHISPER_AHEADS_TINY_EN},
    {"base", WHISPER_AHEADS_BASE},
    {"base.en", WHISPER_AHEADS_BASE_EN},
    {"small", WHISPER_AHEADS_SMALL},
    {"small.en", WHISPER_AHEADS_SMALL_EN},
    {"medium", WHISPER_AHEADS_MEDIUM},
    {"medium.en", WHISPER_AHEADS_MEDIUM_EN},
    {"large.v1", WHISPER_AHEADS_LARGE_V1},
    {"large.v2", WHISPER_AHEADS_LARGE_V2},
    {"large.v3", WHISPER_AHEADS_LARGE_V3},
    {"large.v3.turbo", WHISPER_AHEADS_LARGE_V3_TURBO},
};

} // namespace

whisper_alignment_heads_preset dtw_preset_for(const std::string & name) {
    for (const dtw_preset & entry : k_dtw_presets) {
        if (name == entry.name) {
            return entry.preset;
        }
    }
    return WHISPER_AHEADS_NONE;
}
