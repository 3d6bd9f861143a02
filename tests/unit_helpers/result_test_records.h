#pragma once

// Plain records of a transcription for the result-file tests.

#include "result_formats.h"

inline result_token token(const std::string & text, int64_t t0, int64_t t1, bool special = false) {
    result_token t;
    t.text = text;
    t.id = special ? 50257 : 100;
    t.p = 0.5f;
    t.t0 = t0;
    t.t1 = t1;
    t.special = special;
    return t;
}

inline result_segment segment(const std::string & text, int64_t t0, int64_t t1) {
    result_segment s;
    s.text = text;
    s.t0 = t0;
    s.t1 = t1;
    return s;
}
