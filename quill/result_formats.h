#pragma once

// Text of every result file but the JSON one (result_json.h), built from a
// plain copy of one transcription so that each format can be checked without
// a model. Times are the library's:
// signed counts of 10 ms units from the start of the transcribed chunk.

#include <cstdint>
#include <string>
#include <vector>

struct result_token {
    std::string text;
    int32_t id = 0;
    float p = 0.0f;
    int64_t t0 = -1;  // negative: no time
    int64_t t1 = -1;
    int64_t t_dtw = -1;
    bool special = false;  // id at or above the end-of-text token
};

struct result_segment {
    std::string text;
    int64_t t0 = 0;
    int64_t t1 = 0;
    bool speaker_turn_next = false;
    std::vector<result_token> tokens;
};

std::string format_txt(const std::vector<result_segment> & segments);
std::string format_vtt(const std::vector<result_segment> & segments);
std::string format_srt(const std::vector<result_segment> & segments, int32_t offset_n);
std::string format_csv(const std::vector<result_segment> & segments);
std::string format_lrc(const std::vector<result_segment> & segments);
// One line of the score file.
std::string format_score_line(const result_token & token);

std::string format_wts(const std::vector<result_segment> & segments, const std::string & input_name,
                       const std::string & font_path, float duration_s);

// Seconds the karaoke video lasts for a chunk of n samples at 16 kHz.
float karaoke_duration(size_t n_samples);

// "mm:ss.hh" of an LRC line; minutes are not wrapped at 60.
std::string lrc_timestamp(int64_t t0);

// Numbers in the form a C++ stream gives by default (six significant digits,
// exponent form for very small or large values), which readers of these
// files expect, with a point for the decimal point whatever the locale.
std::string stream_form(float value);
std::string stream_form(double value);
