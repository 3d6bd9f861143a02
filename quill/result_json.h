#pragma once

// The JSON result file: model facts, settings and the segments of one
// transcription as a tab-indented document, written member by member.

#include <cstdint>
#include <string>
#include <vector>

#include "result_formats.h"

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

std::string format_json(const json_document_facts & facts, const std::vector<result_segment> & segments,
                        bool full, bool tinydiarize);

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
