#include "dtw_presets.h"

namespace {

struct dtw_preset {
    const char * name;
    whisper_alignment_heads_preset preset;
    text_decoder_shape decoder;
};

const dtw_preset k_dtw_presets[] = {
    {"tiny", WHISPER_AHEADS_TINY, {4, 384}},
    {"tiny.en", WHISPER_AHEADS_TINY_EN, {4, 384}},
    {"base", WHISPER_AHEADS_BASE, {6, 512}},
    {"base.en", WHISPER_AHEADS_BASE_EN, {6, 512}},
    {"small", WHISPER_AHEADS_SMALL, {12, 768}},
    {"small.en", WHISPER_AHEADS_SMALL_EN, {12, 768}},
    {"medium", WHISPER_AHEADS_MEDIUM, {24, 1024}},
    {"medium.en", WHISPER_AHEADS_MEDIUM_EN, {24, 1024}},
    {"large.v1", WHISPER_AHEADS_LARGE_V1, {32, 1280}},
    {"large.v2", WHISPER_AHEADS_LARGE_V2, {32, 1280}},
    {"large.v3", WHISPER_AHEADS_LARGE_V3, {32, 1280}},
    {"large.v3.turbo", WHISPER_AHEADS_LARGE_V3_TURBO, {4, 1280}},
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

text_decoder_shape dtw_preset_decoder(whisper_alignment_heads_preset preset) {
    for (const dtw_preset & entry : k_dtw_presets) {
        if (preset == entry.preset) {
            return entry.decoder;
        }
    }
    return {};
}
