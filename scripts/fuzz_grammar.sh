#!/usr/bin/env bash
# Builds the grammar fuzzer with clang (libFuzzer with AddressSanitizer and
# UndefinedBehaviorSanitizer) in its own directory and runs it for a bounded
# time. Any crash, leak, sanitizer report or broken invariant fails the run.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
out="$root/build-fuzz"
seconds="${FUZZ_SECONDS:-60}"
whisper_dir="$root/third_party/whisper.cpp"

[ -f "$whisper_dir/include/whisper.h" ] || "$root/scripts/fetch_deps.sh"

mkdir -p "$out/corpus" "$out/artifacts"
echo "== fuzz: build grammar_fuzzer"
clang++ -std=c++17 -O1 -g -Wall -Wextra \
    -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer \
    -I"$root/common" -I"$whisper_dir/include" -I"$whisper_dir/ggml/include" \
    "$root/tests/fuzz/grammar_fuzzer.cpp" "$root/common/grammar_parser.cpp" \
    "$root/common/grammar_bounds.cpp" \
    -o "$out/grammar_fuzzer"

echo "== fuzz: grammar_fuzzer for ${seconds} s"
# Standard error is closed for the target: the parser reports every rejected
# text there. libFuzzer and the sanitizers keep their own copy of it.
if ! ASAN_OPTIONS=detect_leaks=1 "$out/grammar_fuzzer" \
        -max_total_time="$seconds" -timeout=10 -close_fd_mask=2 -print_final_stats=1 \
        -dict="$root/tests/fuzz/grammar.dict" -artifact_prefix="$out/artifacts/" \
        "$out/corpus" "$root/tests/fuzz/grammar_corpus"; then
    echo "fuzz: grammar_fuzzer found a fault; rerun the saved input with" >&2
    echo "  $out/grammar_fuzzer $out/artifacts/<file>" >&2
    exit 1
fi
