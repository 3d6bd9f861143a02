#include "test_model.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <utility>

namespace {

constexpr uint32_t k_magic = 0x67676d6c;
// The right bytes in the wrong order, as a writer with the other byte order
// would leave them.
constexpr uint32_t k_swapped_magic = 0x6c6d6767;
constexpr int32_t k_ftype_f16 = 1; // all-f32 weights abort the first transcription inside ggml
constexpr int32_t k_n_fft_bins = 201;

constexpr int32_t k_vocab_english = 51864;
constexpr int32_t k_vocab_multilingual = 51865;

struct model_shape {
    int32_t n_vocab;
    int32_t n_audio_ctx;
    int32_t n_state; // the library requires the same width for encoder and decoder
    int32_t n_head;
    int32_t n_audio_layer;
    int32_t n_text_ctx;
    int32_t n_text_layer; // never 2: the library takes such a model for a distilled one
    int32_t n_mels;
};

constexpr model_shape k_small_english = {k_vocab_english, 1500, 64, 1, 1, 448, 1, 80};
constexpr model_shape k_small_multilingual = {k_vocab_multilingual, 1500, 64, 1, 1, 448, 1, 80};
// The real tiny dimensions: realistic cost for benchmarks, and the layers and
// heads that the "tiny" and "tiny.en" alignment-head presets name.
constexpr model_shape k_tiny_english = {k_vocab_english, 1500, 384, 6, 4, 448, 4, 80};

// The vocabulary: every single byte, so any prompt tokenises without
// unknown pieces, then the words of the fixed text, said in their order.
// " " and "." are among the bytes; the library looks " " up and stops
// without it.
constexpr int32_t k_byte_tokens = 256;
constexpr int32_t k_first_word_token = k_byte_tokens;
// A vocabulary that knows only these bytes keeps the tokens of the others,
// empty, so that every id stays in place: text outside ASCII then yields
// no token at all.
constexpr int32_t k_ascii_bytes = 128;
constexpr int32_t k_token_dot = '.';
using word_tokens = std::vector<const char *>;
const word_tokens k_plain_words = {" hello", " world"};
// The same text with control bytes inside, as a model may well produce:
// " hello⏎" then a tab and "world".
const word_tokens k_control_words = {" hello\n", "\tworld"};
// "你好" (E4 BD A0 E5 A5 BD) in tokens that cut both characters, as the
// byte-level tokens of a multilingual model can: no token is UTF-8 alone.
const word_tokens k_split_character_words = {"\xE4\xBD", "\xA0\xE5", "\xA5\xBD"};

// Special tokens are not stored in the file: the library places them by the
// vocabulary size alone, and this mirrors its rule.
struct special_tokens {
    int32_t eot;
    int32_t sot;
    int32_t lang_en;
    int32_t translate;
    int32_t transcribe;
    int32_t no_timestamps;
    int32_t timestamp_begin;
};

special_tokens special_tokens_for(int32_t n_vocab) {
    const bool multilingual = n_vocab >= k_vocab_multilingual;
    const int32_t extra = multilingual ? 1 : 0;
    // Ids after the language tokens move with the number of languages, but
    // the library applies that only to multilingual vocabularies.
    const int32_t languages = n_vocab - 51765 - extra;
    const int32_t shift = multilingual ? languages - 98 : 0;
    special_tokens tokens{};
    tokens.eot = 50256 + extra;
    tokens.sot = tokens.eot + 1;
    tokens.lang_en = tokens.sot + 1; // English is language 0
    tokens.translate = 50357 + shift;
    tokens.transcribe = 50358 + shift;
    tokens.no_timestamps = 50362 + shift;
    tokens.timestamp_begin = 50363 + shift;
    return tokens;
}

constexpr int32_t k_timestamps_per_second = 50;

// Strengths of the next-token lookup. A token embedding is k_embedding on
// the token's input and output dimension; after the layer norm only the
// input one reaches the detectors, and the detector bias keeps every unit
// silent unless its own token is the input. The detector then writes the
// chosen next token's output dimension, which the final norm turns into
// its logit: a pick far above everything, a runner-up that wins only where
// the pick is suppressed, a hint that only counts among the language tokens.
constexpr float k_embedding = 10.0f;
constexpr float k_detector_weight = 2.0f;
constexpr float k_detector_bias = -6.0f;
constexpr float k_pick = 100.0f;
constexpr float k_runner_up = 50.0f;
constexpr float k_hint = 20.0f;

struct next_token_vote {
    int32_t from;
    int32_t to;
    float strength;
};

// Greedy decoding after any task prompt: <|0.00|>, the words in order, "."
// <|1.00|> end-of-text. Where timestamps are suppressed, "." goes to
// end-of-text. Start-of-transcript also hints at "en" for language detection.
std::vector<next_token_vote> fixed_text_votes(const special_tokens & t, int32_t n_words) {
    const int32_t text_start = t.timestamp_begin;
    const int32_t text_end = t.timestamp_begin + 1 * k_timestamps_per_second;
    std::vector<next_token_vote> votes = {
        {t.sot, text_start, k_pick},
        {t.sot, t.lang_en, k_hint},
        {t.transcribe, text_start, k_pick},
        {t.translate, text_start, k_pick},
        {t.no_timestamps, k_first_word_token, k_pick},
        {text_start, k_first_word_token, k_pick},
    };
    for (int32_t word = 0; word < n_words; ++word) {
        const int32_t token = k_first_word_token + word;
        votes.push_back({token, word + 1 < n_words ? token + 1 : k_token_dot, k_pick});
    }
    votes.insert(votes.end(), {
                                  {k_token_dot, text_end, k_pick},
                                  {k_token_dot, t.eot, k_runner_up},
                                  {text_end, t.eot, k_pick},
                              });
    return votes;
}

enum class tensor_type : int32_t { f32 = 0, f16 = 1 };

struct model_tensor {
    std::string name;
    tensor_type type;
    std::vector<int32_t> shape;                    // fastest dimension first
    std::vector<std::pair<int64_t, float>> values; // the non-zero elements
};

void add_norm(std::vector<model_tensor> & tensors, const std::string & name, int32_t width) {
    tensors.push_back({name + ".weight", tensor_type::f32, {width}, {}});
    tensors.push_back({name + ".bias", tensor_type::f32, {width}, {}});
}

void add_linear(std::vector<model_tensor> & tensors, const std::string & name, int32_t n_in, int32_t n_out,
                bool with_bias) {
    tensors.push_back({name + ".weight", tensor_type::f16, {n_in, n_out}, {}});
    if (with_bias) {
        tensors.push_back({name + ".bias", tensor_type::f32, {n_out}, {}});
    }
}

void add_attention(std::vector<model_tensor> & tensors, const std::string & prefix, int32_t d) {
    add_norm(tensors, prefix + "_ln", d);
    add_linear(tensors, prefix + ".query", d, d, true);
    add_linear(tensors, prefix + ".key", d, d, false);
    add_linear(tensors, prefix + ".value", d, d, true);
    add_linear(tensors, prefix + ".out", d, d, true);
}

void add_mlp(std::vector<model_tensor> & tensors, const std::string & block, int32_t d) {
    add_norm(tensors, block + ".mlp_ln", d);
    add_linear(tensors, block + ".mlp.0", d, 4 * d, true);
    add_linear(tensors, block + ".mlp.2", 4 * d, d, true);
}

// Every tensor the loader expects, all zero.
std::vector<model_tensor> zero_model_tensors(const model_shape & s) {
    const int32_t d = s.n_state;
    std::vector<model_tensor> tensors = {
        {"encoder.positional_embedding", tensor_type::f32, {d, s.n_audio_ctx}, {}},
        {"encoder.conv1.weight", tensor_type::f16, {3, s.n_mels, d}, {}},
        {"encoder.conv1.bias", tensor_type::f32, {1, d}, {}},
        {"encoder.conv2.weight", tensor_type::f16, {3, d, d}, {}},
        {"encoder.conv2.bias", tensor_type::f32, {1, d}, {}},
    };
    add_norm(tensors, "encoder.ln_post", d);
    for (int32_t i = 0; i < s.n_audio_layer; ++i) {
        const std::string block = "encoder.blocks." + std::to_string(i);
        add_mlp(tensors, block, d);
        add_attention(tensors, block + ".attn", d);
    }
    tensors.push_back({"decoder.positional_embedding", tensor_type::f32, {d, s.n_text_ctx}, {}});
    tensors.push_back({"decoder.token_embedding.weight", tensor_type::f16, {d, s.n_vocab}, {}});
    add_norm(tensors, "decoder.ln", d);
    for (int32_t i = 0; i < s.n_text_layer; ++i) {
        const std::string block = "decoder.blocks." + std::to_string(i);
        add_mlp(tensors, block, d);
        add_attention(tensors, block + ".attn", d);
        add_attention(tensors, block + ".cross_attn", d);
    }
    return tensors;
}

model_tensor & tensor_named(std::vector<model_tensor> & tensors, const std::string & name) {
    return *std::find_if(tensors.begin(), tensors.end(),
                         [&](const model_tensor & tensor) { return tensor.name == name; });
}

// Encoder, attention and positions stay zero, so each decoder position sees
// only its own token, and decoder layer 0's MLP maps that token to the next.
std::string apply_fixed_text_design(std::vector<model_tensor> & tensors, const model_shape & s,
                                    const word_tokens & words) {
    const std::vector<next_token_vote> votes =
        fixed_text_votes(special_tokens_for(s.n_vocab), int32_t(words.size()));
    std::vector<int32_t> slot_tokens;
    const auto slot_of = [&](int32_t token) {
        auto found = std::find(slot_tokens.begin(), slot_tokens.end(), token);
        if (found == slot_tokens.end()) {
            slot_tokens.push_back(token);
            return int64_t(slot_tokens.size() - 1);
        }
        return int64_t(found - slot_tokens.begin());
    };
    for (const next_token_vote & vote : votes) {
        slot_of(vote.from);
        slot_of(vote.to);
    }
    const int64_t d = s.n_state;
    const int64_t half = d / 2;
    if (int64_t(slot_tokens.size()) > half) {
        return "the model is too narrow for its next-token lookup";
    }

    const std::string block = "decoder.blocks.0";
    auto & embedding = tensor_named(tensors, "decoder.token_embedding.weight").values;
    auto & detector_norm = tensor_named(tensors, block + ".mlp_ln.weight").values;
    auto & detector_weight = tensor_named(tensors, block + ".mlp.0.weight").values;
    auto & detector_bias = tensor_named(tensors, block + ".mlp.0.bias").values;
    auto & writer_weight = tensor_named(tensors, block + ".mlp.2.weight").values;
    auto & final_norm = tensor_named(tensors, "decoder.ln.weight").values;

    for (int64_t slot = 0; slot < int64_t(slot_tokens.size()); ++slot) {
        embedding.push_back({slot_tokens[slot] * d + slot, k_embedding});
        embedding.push_back({slot_tokens[slot] * d + half + slot, k_embedding});
    }
    for (int64_t i = 0; i < half; ++i) {
        detector_norm.push_back({i, 1.0f});
        final_norm.push_back({half + i, 1.0f});
    }
    // One detector unit per input slot; a token that votes twice reuses it.
    std::vector<bool> has_detector(slot_tokens.size(), false);
    for (const next_token_vote & vote : votes) {
        const int64_t unit = slot_of(vote.from);
        if (!has_detector[unit]) {
            has_detector[unit] = true;
            detector_weight.push_back({unit * d + unit, k_detector_weight});
            detector_bias.push_back({unit, k_detector_bias});
        }
        writer_weight.push_back({(half + slot_of(vote.to)) * 4 * d + unit, vote.strength});
    }
    for (model_tensor & tensor : tensors) {
        std::sort(tensor.values.begin(), tensor.values.end());
    }
    return "";
}

// Little-endian output whatever the host, as the format demands.
struct model_file {
    FILE * file = nullptr;
};

void put_u32(model_file & out, uint32_t value) {
    const unsigned char bytes[4] = {static_cast<unsigned char>(value), static_cast<unsigned char>(value >> 8),
                                    static_cast<unsigned char>(value >> 16), static_cast<unsigned char>(value >> 24)};
    fwrite(bytes, 1, sizeof bytes, out.file);
}

void put_i32(model_file & out, int32_t value) {
    put_u32(out, static_cast<uint32_t>(value));
}

void put_bytes(model_file & out, const std::string & bytes) {
    fwrite(bytes.data(), 1, bytes.size(), out.file);
}

void put_zeros(model_file & out, int64_t count) {
    static const char k_zeros[1 << 16] = {};
    while (count > 0) {
        const size_t n = size_t(std::min<int64_t>(count, sizeof k_zeros));
        fwrite(k_zeros, 1, n, out.file);
        count -= int64_t(n);
    }
}

void put_element(model_file & out, tensor_type type, float value) {
    if (type == tensor_type::f16) {
        const uint16_t bits = float_to_half(value);
        const unsigned char bytes[2] = {static_cast<unsigned char>(bits), static_cast<unsigned char>(bits >> 8)};
        fwrite(bytes, 1, sizeof bytes, out.file);
    } else {
        uint32_t bits = 0;
        std::memcpy(&bits, &value, sizeof bits);
        put_u32(out, bits);
    }
}

void put_tensor(model_file & out, const model_tensor & tensor) {
    put_i32(out, int32_t(tensor.shape.size()));
    put_i32(out, int32_t(tensor.name.size()));
    put_i32(out, static_cast<int32_t>(tensor.type));
    int64_t elements = 1;
    for (int32_t extent : tensor.shape) {
        put_i32(out, extent);
        elements *= extent;
    }
    put_bytes(out, tensor.name);
    const int64_t element_size = tensor.type == tensor_type::f16 ? 2 : 4;
    int64_t next = 0;
    for (const auto & [index, value] : tensor.values) {
        put_zeros(out, (index - next) * element_size);
        put_element(out, tensor.type, value);
        next = index + 1;
    }
    put_zeros(out, (elements - next) * element_size);
}

void put_header(model_file & out, const model_shape & s, uint32_t magic, const word_tokens & words,
                int32_t known_bytes) {
    put_u32(out, magic);
    for (int32_t value : {s.n_vocab, s.n_audio_ctx, s.n_state, s.n_head, s.n_audio_layer, s.n_text_ctx, s.n_state,
                          s.n_head, s.n_text_layer, s.n_mels, k_ftype_f16}) {
        put_i32(out, value);
    }
    // Zero mel filters: the encoder ignores the audio anyway.
    put_i32(out, s.n_mels);
    put_i32(out, k_n_fft_bins);
    put_zeros(out, int64_t(s.n_mels) * k_n_fft_bins * 4);

    put_i32(out, k_byte_tokens + int32_t(words.size()));
    for (int32_t byte = 0; byte < k_byte_tokens; ++byte) {
        const std::string piece = byte < known_bytes ? std::string(1, static_cast<char>(byte)) : std::string();
        put_u32(out, uint32_t(piece.size()));
        put_bytes(out, piece);
    }
    for (const char * word : words) {
        put_u32(out, uint32_t(std::strlen(word)));
        put_bytes(out, word);
    }
}

std::string system_error(const std::string & what, const std::string & path) {
    return what + " '" + path + "': " + std::strerror(errno);
}

std::string write_fixed_text_model(const model_shape & shape, uint32_t magic, const std::string & path,
                                   const word_tokens & words = k_plain_words, int32_t known_bytes = k_byte_tokens) {
    std::vector<model_tensor> tensors = zero_model_tensors(shape);
    const std::string design_error = apply_fixed_text_design(tensors, shape, words);
    if (!design_error.empty()) {
        return design_error;
    }
    model_file out{std::fopen(path.c_str(), "wb")};
    if (!out.file) {
        return system_error("cannot create", path);
    }
    put_header(out, shape, magic, words, known_bytes);
    for (const model_tensor & tensor : tensors) {
        put_tensor(out, tensor);
    }
    const bool write_failed = std::ferror(out.file) != 0;
    if (std::fclose(out.file) != 0 || write_failed) {
        return system_error("cannot write", path);
    }
    return "";
}

std::string write_fixed(const std::string & path) {
    return write_fixed_text_model(k_small_english, k_magic, path);
}

std::string write_fixed_multilingual(const std::string & path) {
    return write_fixed_text_model(k_small_multilingual, k_magic, path);
}

std::string write_fixed_control(const std::string & path) {
    return write_fixed_text_model(k_small_english, k_magic, path, k_control_words);
}

std::string write_fixed_split_character(const std::string & path) {
    return write_fixed_text_model(k_small_english, k_magic, path, k_split_character_words);
}

std::string write_fixed_ascii(const std::string & path) {
    return write_fixed_text_model(k_small_english, k_magic, path, k_plain_words, k_ascii_bytes);
}

std::string write_tiny(const std::string & path) {
    return write_fixed_text_model(k_tiny_english, k_magic, path);
}

std::string write_bad_magic(const std::string & path) {
    return write_fixed_text_model(k_small_english, k_swapped_magic, path);
}

std::string write_empty(const std::string & path) {
    FILE * file = std::fopen(path.c_str(), "wb");
    if (!file || std::fclose(file) != 0) {
        return system_error("cannot create", path);
    }
    return "";
}

// Half of the small model lies well inside its tensor data.
std::string write_truncated(const std::string & path) {
    const std::string error = write_fixed(path);
    if (!error.empty()) {
        return error;
    }
    struct stat info {};
    if (stat(path.c_str(), &info) != 0 || truncate(path.c_str(), info.st_size / 2) != 0) {
        return system_error("cannot truncate", path);
    }
    return "";
}

struct model_kind {
    const char * name;
    std::string (*write)(const std::string & path);
};

const model_kind k_model_kinds[] = {
    {"fixed", write_fixed},         {"fixed-multilingual", write_fixed_multilingual},
    {"fixed-control", write_fixed_control}, {"fixed-split-character", write_fixed_split_character},
    {"fixed-ascii", write_fixed_ascii},
    {"tiny", write_tiny},           {"empty", write_empty},
    {"truncated", write_truncated}, {"bad-magic", write_bad_magic},
};

} // namespace

const std::vector<std::string> & test_model_kinds() {
    static const std::vector<std::string> names = [] {
        std::vector<std::string> result;
        for (const model_kind & kind : k_model_kinds) {
            result.push_back(kind.name);
        }
        return result;
    }();
    return names;
}

std::string write_test_model(const std::string & kind, const std::string & path) {
    for (const model_kind & entry : k_model_kinds) {
        if (kind == entry.name) {
            return entry.write(path);
        }
    }
    return "unknown model kind '" + kind + "'";
}

std::string write_all_test_models(const std::string & dir) {
    if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
        return system_error("cannot create directory", dir);
    }
    for (const model_kind & entry : k_model_kinds) {
        const std::string error = entry.write(dir + "/" + entry.name + ".bin");
        if (!error.empty()) {
            return error;
        }
    }
    return "";
}

uint16_t float_to_half(float value) {
    uint32_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    const uint16_t sign = static_cast<uint16_t>((bits >> 16) & 0x8000);
    const int32_t exponent = int32_t((bits >> 23) & 0xff) - 127 + 15;
    const uint32_t mantissa = bits & 0x7fffff;
    if (exponent <= 0) {
        return sign;
    }
    if (exponent >= 31) {
        return static_cast<uint16_t>(sign | 0x7c00);
    }
    uint32_t half = sign | (uint32_t(exponent) << 10) | (mantissa >> 13);
    const uint32_t dropped = mantissa & 0x1fff;
    // A carry out of the mantissa correctly bumps the exponent.
    if (dropped > 0x1000 || (dropped == 0x1000 && (half & 1))) {
        ++half;
    }
    return static_cast<uint16_t>(half);
}
