// Figures for the vocabulary loader, the word splitter and the tokeniser: a
// made-up English-like text against a vocabulary of 50,000 tokens, the cost
// at growing sizes (it should grow linearly), and the long runs that a
// backtracking regex engine cannot split at all.

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "gpt_vocab.h"
#include "process.h"
#include "text_corpus.h"
#include "tokenizer.h"

namespace {

constexpr size_t k_mib = 1u << 20;

double seconds_of(const std::function<void()> & work) {
    const auto start = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void report(const char * what, size_t bytes, double seconds, size_t items, const char * item_name) {
    std::printf("%-34s %6.1f MiB %9.3f s %9.1f MiB/s %10zu %s\n", what, static_cast<double>(bytes) / k_mib, seconds,
                static_cast<double>(bytes) / k_mib / seconds, items, item_name);
}

void split_and_tokenize(const char * name, const gpt_vocab & vocab, const std::string & text) {
    size_t word_count = 0;
    const double split_seconds = seconds_of([&]() {
        std::vector<std::string> words;
        gpt_split_words(text, words);
        word_count = words.size();
    });
    size_t id_count = 0;
    const double tokenize_seconds = seconds_of([&]() { id_count = gpt_tokenize(vocab, text).size(); });
    report((std::string(name) + ": split").c_str(), text.size(), split_seconds, word_count, "words");
    report((std::string(name) + ": tokenise").c_str(), text.size(), tokenize_seconds, id_count, "ids");
}

} // namespace

int main() {
    const std::vector<std::string> lexicon = make_lexicon(10000, 5);
    const std::vector<std::string> tokens = make_vocab_tokens(lexicon, 50000);
    const std::string dir = make_temp_dir("tokenizer_bench_");
    if (dir.empty()) {
        std::fprintf(stderr, "no temporary directory\n");
        return 1;
    }
    const std::string path = dir + "/vocab.json";
    const std::string json = flat_vocab_json(tokens);
    write_file(path, json);

    std::map<std::string, int32_t> parsed;
    const double parse_seconds = seconds_of([&]() { parsed = json_parse(path); });
    report("json_parse", json.size(), parse_seconds, parsed.size(), "tokens");

    gpt_vocab vocab;
    gpt_vocab_init(path, vocab);
    std::remove(path.c_str());
    rmdir(dir.c_str());

    const std::string text = make_english_like_text(lexicon, 16 * k_mib, 6);
    for (const size_t mib : {1u, 4u, 16u}) {
        const std::string name = "english " + std::to_string(mib) + " MiB";
        split_and_tokenize(name.c_str(), vocab, text.substr(0, mib * k_mib));
    }
    split_and_tokenize("one letter", vocab, std::string(16 * k_mib, 'e'));
    split_and_tokenize("spaces", vocab, std::string(16 * k_mib, ' '));
    return 0;
}
