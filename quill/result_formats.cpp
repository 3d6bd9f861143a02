#include "result_formats.h"

#include <cstdio>
#include <locale>
#include <sstream>

#include "common_whisper.h"
#include "sample_rate.h"
#include "shell_quote.h"

namespace {

// The classic locale keeps the decimal point a point.
template <typename Number>
std::string streamed(Number value) {
    std::ostringstream os;
    os.imbue(std::locale::classic());
    os << value;
    return os.str();
}

std::string seconds_form(int64_t t) { return stream_form(static_cast<double>(t) / 100.0); }

std::string csv_quote_doubled(const std::string & text) {
    std::string out;
    for (const char c : text) {
        if (c == '"') out += '"';
        out += c;
    }
    return out;
}

// The karaoke script is sourced by a shell, and its filter graph stands
// inside double quotes: recognised text must not expand or run anything
// there. An apostrophe would close the drawtext text; a typographic one reads
// the same.
std::string karaoke_text(const std::string & text) {
    std::string out;
    for (const char c : text) {
        if (c == '\'') {
            out += "\xE2\x80\x99";
        } else {
            out += c;
        }
    }
    return shell_double_quoted(out);
}

std::string repeated(const std::string & piece, size_t count) {
    std::string out;
    for (size_t i = 0; i < count; ++i) out += piece;
    return out;
}

std::string drawtext(const std::string & font, const std::string & colour_and_place, const std::string & text,
                     int64_t t0, int64_t t1) {
    return "drawtext=fontfile='" + font + "':fontsize=24:fontcolor=" + colour_and_place + ":text='" + text +
           "':enable='between(t," + seconds_form(t0) + "," + seconds_form(t1) + ")'";
}

std::vector<const result_token *> shown_tokens(const result_segment & segment) {
    std::vector<const result_token *> shown;
    for (const auto & token : segment.tokens) {
        if (!token.special) shown.push_back(&token);
    }
    return shown;
}

// Every shown token of a segment gets its own pair of overlays: the whole
// line with only that token visible (the rest blanked by escaped spaces, one
// per byte), and an underline of the same width beneath it. Token texts are
// made safe one by one, so the blanks keep the backslash that ffmpeg needs.
std::string karaoke_segment(const result_segment & segment, const std::string & font) {
    static const std::string k_gray = "gray:x=(w-text_w)/2:y=h/2";
    static const std::string k_green = "lightgreen:x=(w-text_w)/2+8:y=h/2";
    static const std::string k_green_below = "lightgreen:x=(w-text_w)/2+8:y=h/2+16";
    static const std::string k_blank = "\\ ";

    std::string out = drawtext(font, k_gray, "", segment.t0, segment.t0);
    const auto shown = shown_tokens(segment);
    std::vector<std::string> safe_texts;
    for (const auto * token : shown) safe_texts.push_back(karaoke_text(token->text));
    for (size_t j = 0; j < shown.size(); ++j) {
        std::string background = "> ";
        std::string foreground = "> ";
        std::string underline = "\\ \\ ";
        for (size_t k = 0; k < shown.size(); ++k) {
            const size_t width = shown[k]->text.size();
            background += safe_texts[k];
            if (k == j) {
                foreground += safe_texts[k] + "|";
                underline += std::string(width, '_');
            } else {
                foreground += repeated(k_blank, width);
                underline += repeated(k_blank, width);
            }
        }
        if (j == 0) out += "," + drawtext(font, k_gray, background, segment.t0, segment.t1);
        out += "," + drawtext(font, k_green, foreground, shown[j]->t0, shown[j]->t1);
        out += "," + drawtext(font, k_green_below, underline, shown[j]->t0, shown[j]->t1);
    }
    return out;
}

}  // namespace

std::string stream_form(float value) { return streamed(value); }

std::string stream_form(double value) { return streamed(value); }

std::string format_txt(const std::vector<result_segment> & segments) {
    std::string out;
    for (const auto & segment : segments) out += segment.text + "\n";
    return out;
}

std::string format_vtt(const std::vector<result_segment> & segments) {
    std::string out = "WEBVTT\n\n";
    for (const auto & segment : segments) {
        out += to_timestamp(segment.t0, false) + " --> " + to_timestamp(segment.t1, false) + "\n";
        out += segment.text + "\n\n";
    }
    return out;
}

std::string format_srt(const std::vector<result_segment> & segments, int32_t offset_n) {
    std::string out;
    for (size_t i = 0; i < segments.size(); ++i) {
        out += std::to_string(static_cast<int64_t>(offset_n) + static_cast<int64_t>(i) + 1) + "\n";
        out += to_timestamp(segments[i].t0, true) + " --> " + to_timestamp(segments[i].t1, true) + "\n";
        out += segments[i].text + "\n\n";
    }
    return out;
}

std::string format_csv(const std::vector<result_segment> & segments) {
    std::string out = "start,end,text\n";
    for (const auto & segment : segments) {
        out += std::to_string(segment.t0 * 10) + "," + std::to_string(segment.t1 * 10) + ",";
        out += "\"" + csv_quote_doubled(segment.text) + "\"\n";
    }
    return out;
}

std::string lrc_timestamp(int64_t t0) {
    const int64_t minutes = t0 / 6000;
    const int64_t ms_in_minute = t0 * 10 - minutes * 60000;
    const int64_t seconds = ms_in_minute / 1000;
    const int64_t hundredths = (ms_in_minute % 1000) / 10;
    char buf[16];
    std::snprintf(buf, sizeof buf, "%02d:%02d.%02d", static_cast<int>(minutes), static_cast<int>(seconds),
                  static_cast<int>(hundredths));
    return buf;
}

std::string format_lrc(const std::vector<result_segment> & segments) {
    std::string out = "[by:whisper.cpp]\n";
    for (const auto & segment : segments) out += "[" + lrc_timestamp(segment.t0) + "]" + segment.text + "\n";
    return out;
}

std::string format_score_line(const result_token & token) { return token.text + "\t" + stream_form(token.p) + "\n"; }

float karaoke_duration(size_t n_samples) {
    return (static_cast<float>(n_samples) + 1000.0f) / static_cast<float>(k_sample_rate);
}

std::string format_wts(const std::vector<result_segment> & segments, const std::string & input_name,
                       const std::string & font_path, float duration_s) {
    const std::string font = shell_double_quoted(font_path);
    std::string out = "#!/bin/bash\n\n";
    out += "ffmpeg -i " + shell_word(input_name) + " -f lavfi -i color=size=1200x120:duration=" +
           stream_form(duration_s) + ":rate=25:color=black -vf \"";
    for (size_t i = 0; i < segments.size(); ++i) {
        if (i > 0) out += ",";
        out += karaoke_segment(segments[i], font);
    }
    const std::string video = shell_double_quoted(input_name) + ".mp4";
    out += "\" -c:v libx264 -pix_fmt yuv420p -y " + shell_word(input_name + ".mp4") + "\n";
    out += "\n\n";
    out += "echo \"Your video has been saved to " + video + "\"\n";
    out += "\n";
    out += "echo \"  ffplay " + video + "\"\n";
    out += "\n";
    return out;
}
