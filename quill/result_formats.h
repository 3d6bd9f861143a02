#pragma once

// Text of every result file, built from a plain copy of one transcription so
// that each format can be checked without a model. Times are the library's:
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

struct layer_stack_facts {
    int32_t ctx = 0;
    int32_t state = 0;
    int32_t head = 0;
    int32_t layer = 0;
};

// Everything the JSON document tells besides the segments.
struct json_document_facts {
    std::string system_info;
    std::string model_type;
    bool multilingual = false;
    int32_t n_vocab = 0;
    layer_stack_facts audio;
    layer_stack_facts text;
    int32_t n_mels = 0;
    int32_t ftype = 0;
    std::string model_path;
    std::string language;  // the setting this transcription ran with
    bool translate = false;
    std::string result_language;  // what the library found
};

std::string format_txt(const std::vector<result_segment> & segments);
std::string format_vtt(const std::vector<result_segment> & segments);
std::string format_srt(const std::vector<result_segment> & segments, int32_t offset_n);
std::string format_csv(const std::vector<result_segment> & segments);
std::string format_lrc(const std::vector<result_segment> & segments);
// One line of the score file.
std::string format_score_line(const result_token & token);

std::string format_json(const json_document_facts & facts, const std::vector<result_segment> & segments,
                        bool full, bool tinydiarize);

std::string format_wts(const std::vector<result_segment> & segments, const std::string & input_name,
                       const std::string & font_path, float duration_s);

// Seconds the karaoke video lasts for a chunk of n samples at 16 kHz.
float karaoke_duration(size_t n_samples);

// "mm:ss.hh" of an LRC line; minutes are not wrapped at 60.
std::string lrc_timestamp(int64_t t0);

// The JSON member writers share one output and one indentation depth per
// document; `last` drops the comma that separates a member from the next.
struct json_writer {
    std::string out;
    int32_t depth = 0;
};

void json_value_string(json_writer & w, const std::string & name, const std::string & value, bool last);
void json_value_bool(json_writer & w, const std::string & name, bool value, bool last);
void json_value_int(json_writer & w, const std::string & name, int64_t value, bool last);
void json_value_float(json_writer & w, const std::string & name, float value, bool last);
void json_open_object(json_writer & w, const std::string & name);  // empty name: unnamed
void json_open_array(json_writer & w, const std::string & name);
void json_close_object(json_writer & w, bool last);
void json_close_array(json_writer & w, bool last);
void json_times_object(json_writer & w, int64_t t0, int64_t t1);
