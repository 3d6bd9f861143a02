#include "result_json.h"

#include "common_whisper.h"
#include "json_escape.h"

namespace {

void indent(json_writer & w) { w.out.append(static_cast<size_t>(w.depth > 0 ? w.depth : 0), '\t'); }

void json_member(json_writer & w, const std::string & name, const std::string & literal, bool last) {
    indent(w);
    w.out += "\"" + name + "\": " + literal + (last ? "\n" : ",\n");
}

void json_layer_stack(json_writer & w, const std::string & name, const layer_stack_facts & stack) {
    json_open_object(w, name);
    json_value_int(w, "ctx", stack.ctx, false);
    json_value_int(w, "state", stack.state, false);
    json_value_int(w, "head", stack.head, false);
    json_value_int(w, "layer", stack.layer, true);
    json_close_object(w, false);
}

void json_token(json_writer & w, const result_token & token, bool last) {
    json_open_object(w, "");
    json_value_string(w, "text", token.text, false);
    if (token.t0 > -1 && token.t1 > -1) json_times_object(w, token.t0, token.t1);
    json_value_int(w, "id", token.id, false);
    json_value_float(w, "p", token.p, false);
    json_value_float(w, "t_dtw", static_cast<float>(token.t_dtw), true);
    json_close_object(w, last);
}

void json_segment(json_writer & w, const result_segment & segment, bool full, bool tinydiarize, bool last) {
    json_open_object(w, "");
    json_times_object(w, segment.t0, segment.t1);
    json_value_string(w, "text", segment.text, !full && !tinydiarize);
    if (full) {
        json_open_array(w, "tokens");
        for (size_t j = 0; j < segment.tokens.size(); ++j) {
            json_token(w, segment.tokens[j], j + 1 == segment.tokens.size());
        }
        json_close_array(w, !tinydiarize);
    }
    if (tinydiarize) json_value_bool(w, "speaker_turn_next", segment.speaker_turn_next, true);
    json_close_object(w, last);
}

}  // namespace

void json_value_string(json_writer & w, const std::string & name, const std::string & value, bool last) {
    json_member(w, name, "\"" + json_escape(value) + "\"", last);
}

void json_value_bool(json_writer & w, const std::string & name, bool value, bool last) {
    json_member(w, name, value ? "true" : "false", last);
}

void json_value_int(json_writer & w, const std::string & name, int64_t value, bool last) {
    json_member(w, name, std::to_string(value), last);
}

void json_value_float(json_writer & w, const std::string & name, float value, bool last) {
    json_member(w, name, stream_form(value), last);
}

void json_open_object(json_writer & w, const std::string & name) {
    indent(w);
    w.out += name.empty() ? "{\n" : "\"" + name + "\": {\n";
    ++w.depth;
}

void json_open_array(json_writer & w, const std::string & name) {
    indent(w);
    w.out += "\"" + name + "\": [\n";
    ++w.depth;
}

void json_close_object(json_writer & w, bool last) {
    --w.depth;
    indent(w);
    w.out += last ? "}\n" : "},\n";
}

void json_close_array(json_writer & w, bool last) {
    --w.depth;
    indent(w);
    w.out += last ? "]\n" : "],\n";
}

// Both objects end with a comma: the caller always writes a member after them.
void json_times_object(json_writer & w, int64_t t0, int64_t t1) {
    json_open_object(w, "timestamps");
    json_value_string(w, "from", to_timestamp(t0, true), false);
    json_value_string(w, "to", to_timestamp(t1, true), true);
    json_close_object(w, false);
    json_open_object(w, "offsets");
    json_value_int(w, "from", t0 * 10, false);
    json_value_int(w, "to", t1 * 10, true);
    json_close_object(w, false);
}

std::string format_json(const json_document_facts & facts, const std::vector<result_segment> & segments,
                        bool full, bool tinydiarize) {
    json_writer w;
    json_open_object(w, "");
    json_value_string(w, "systeminfo", facts.system_info, false);

    json_open_object(w, "model");
    json_value_string(w, "type", facts.model_type, false);
    json_value_bool(w, "multilingual", facts.multilingual, false);
    json_value_int(w, "vocab", facts.n_vocab, false);
    json_layer_stack(w, "audio", facts.audio);
    json_layer_stack(w, "text", facts.text);
    json_value_int(w, "mels", facts.n_mels, false);
    json_value_int(w, "ftype", facts.ftype, true);
    json_close_object(w, false);

    json_open_object(w, "params");
    json_value_string(w, "model", facts.model_path, false);
    json_value_string(w, "language", facts.language, false);
    json_value_bool(w, "translate", facts.translate, true);
    json_close_object(w, false);

    json_open_object(w, "result");
    json_value_string(w, "language", facts.result_language, true);
    json_close_object(w, false);

    json_open_array(w, "transcription");
    for (size_t i = 0; i < segments.size(); ++i) {
        json_segment(w, segments[i], full, tinydiarize, i + 1 == segments.size());
    }
    json_close_array(w, true);
    json_close_object(w, true);
    return w.out;
}
