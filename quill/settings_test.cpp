#include "settings.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "settings_test_helpers.h"

namespace {

TEST(whisper_params, defaults) {
    const whisper_params p;
    const unsigned hardware = std::thread::hardware_concurrency();
    EXPECT_EQ(p.n_threads, hardware == 0 ? 4 : static_cast<int32_t>(std::min(4u, hardware)));

    whisper_params expected = p;
    expected.n_threads = 4;
    EXPECT_EQ(describe(expected),
              "n_threads=4 n_processors=1 offset_t_ms=0 offset_n=0 duration_ms=0 progress_step=5 max_context=-1 "
              "max_len=0 best_of=5 beam_size=5 audio_ctx=0\n"
              "word_thold=0.01 entropy_thold=2.4 logprob_thold=-1 no_speech_thold=0.6 grammar_penalty=100 "
              "temperature=0 temperature_inc=0.2\n"
              "debug_mode=0 translate=0 detect_language=0 diarize=0 tinydiarize=0 split_on_word=0 no_fallback=0 "
              "output_txt=0 output_vtt=0 output_srt=0 output_wts=0 output_csv=0 output_json=0 output_json_full=0 "
              "output_lrc=0 no_prints=0 print_special=0 print_colors=0 print_progress=0 no_timestamps=0 "
              "log_score=0 use_gpu=1 flash_attn=0 suppress_nst=0 stereo=0\n"
              "language=[en] prompt=[] font_path=[/System/Library/Fonts/Supplemental/Courier New Bold.ttf] "
              "model=[models/ggml-base.en.bin] grammar=[] grammar_rule=[] speaker_turn_marker=[ [SPEAKER_TURN]] "
              "suppress_regex=[] ov_e_device=[CPU] dtw=[]\n"
              "input_names= output_names= grammar_rules=0 prompt_tokens=\n");
}

TEST(output_name_for, falls_back_to_the_input_name) {
    whisper_params p;
    p.input_names = {"a", "b", "c"};
    p.output_names = {"x", ""};
    EXPECT_EQ(output_name_for(p, 0), "x");
    EXPECT_EQ(output_name_for(p, 1), "b");
    EXPECT_EQ(output_name_for(p, 2), "c");
}

} // namespace
