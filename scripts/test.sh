#!/usr/bin/env bash
# Installs, fetches, configures, builds and runs every test: first a plain
# optimised build, then our own code under AddressSanitizer with
# UndefinedBehaviorSanitizer, then under ThreadSanitizer (with the library
# built without OpenMP, whose runtime ThreadSanitizer cannot see into).
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
jobs="$(nproc)"
"$root/scripts/setup.sh"

run_suite() {
    local dir="$1"; shift
    echo "== $dir: configure and build"
    cmake -S "$root" -B "$root/$dir" -G Ninja "$@" > "$root/$dir.configure.log" 2>&1 \
        || { cat "$root/$dir.configure.log"; return 1; }
    cmake --build "$root/$dir" -j "$jobs"
    echo "== $dir: tests"
    # Many tests run the transcriber, which itself uses several threads: half
    # the cores keeps the machine from being oversubscribed into time-outs.
    ctest --test-dir "$root/$dir" --output-on-failure -j "$(( (jobs + 1) / 2 ))"
}

run_suite build -DCMAKE_BUILD_TYPE=RelWithDebInfo
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
run_suite build-asan -DCMAKE_BUILD_TYPE=Debug "-DLANTERNWICK_SANITIZE=address,undefined"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$root/tests/library_races.supp"
run_suite build-tsan -DCMAKE_BUILD_TYPE=Debug -DLANTERNWICK_SANITIZE=thread -DLANTERNWICK_WHISPER_OPENMP=OFF
"$root/scripts/fuzz_grammar.sh"
echo "== all suites passed"
