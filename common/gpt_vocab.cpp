#include "gpt_vocab.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>

void gpt_vocab::add_special_token(const std::string & token) {
    special_tokens.push_back(token);
}

namespace {

// Vocabulary files write a space and a newline as the byte-level tokeniser's
// stand-in characters U+0120 and U+010A; an escaped quote is the quote itself.
// Every other escape stays as written.
std::string unescape_token(const std::string & key) {
    return replace(replace(replace(key, "\\u0120", " "), "\\u010a", "\n"), "\\\"", "\"");
}

// The vocabulary's ids: a leading number with trailing bytes ignored, as
// std::stoi reads it. Anything else (a text, an object, a number beyond 32
// bits) is not an id.
bool read_id(const std::string & value, int32_t & id) {
    try {
        id = std::stoi(value);
        return true;
    } catch (const std::invalid_argument &) {
        return false;
    } catch (const std::out_of_range &) {
        return false;
    }
}

size_t skip_spaces(const std::string & text, size_t pos) {
    while (pos < text.size() && text[pos] == ' ') {
        pos++;
    }
    return pos;
}

} // namespace

// A single pass that knows only quoted keys followed by a value. It checks no
// syntax: bytes outside quotes are skipped, the byte after a key is taken as
// the colon whatever it is, and an unquoted value runs to the next "," or "}"
// (so a nested object or list is dropped up to its first separator, and its
// later members read as pairs of their own). Files written as one flat object
// of token/id pairs come out exactly.
std::map<std::string, int32_t> json_parse(const std::string & fname) {
    std::ifstream file(fname, std::ios::binary);
    if (!file) {
        std::fprintf(stderr, "Failed to open %s\n", fname.c_str());
        std::exit(1);
    }
    const std::string text{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};

    std::map<std::string, int32_t> result;
    if (text.empty() || text[0] != '{') {
        return result;
    }

    const size_t n = text.size();
    bool in_token = false;
    bool has_key = false;
    std::string key;
    std::string value;

    const auto store = [&]() {
        int32_t id = 0;
        if (read_id(value, id)) {
            result[unescape_token(key)] = id;
        }
        key.clear();
        value.clear();
        in_token = false;
        has_key = false;
    };

    for (size_t i = 1; i < n; i++) {
        const char b = text[i];
        std::string & collecting = has_key ? value : key;
        if (!in_token) {
            in_token = b == '"';
        } else if (b == '\\' && i + 1 < n) {
            collecting += b;
            collecting += text[++i];
        } else if (b == '"' && has_key) {
            store();
        } else if (b == '"') {
            // The key has ended: step over the colon and the spaces around it.
            size_t pos = skip_spaces(text, i + 1);
            pos = skip_spaces(text, pos < n ? pos + 1 : pos);
            if (pos < n && text[pos] == '"') {
                has_key = true;
                i = pos;
                continue;
            }
            const size_t end = std::min(text.find_first_of(",}", pos), n);
            value.assign(text, pos, end - pos);
            store();
            i = end;
        } else {
            collecting += b;
        }
    }
    return result;
}

std::string replace(const std::string & s, const std::string & from, const std::string & to) {
    std::string result = s;
    // An empty search text would match everywhere and never advance.
    if (from.empty()) {
        return result;
    }
    for (size_t pos = result.find(from); pos != std::string::npos; pos = result.find(from, pos + to.size())) {
        result.replace(pos, from.size(), to);
    }
    return result;
}

bool gpt_vocab_init(const std::string & fname, gpt_vocab & vocab) {
    std::printf("%s: loading vocab from '%s'\n", __func__, fname.c_str());

    vocab.token_to_id = json_parse(fname);
    // Not cleared first: ids the file lacks keep their old tokens.
    for (const auto & entry : vocab.token_to_id) {
        vocab.id_to_token[entry.second] = entry.first;
    }

    std::printf("%s: vocab size = %d\n", __func__, static_cast<int>(vocab.token_to_id.size()));
    return true;
}
