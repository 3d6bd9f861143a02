#!/usr/bin/env bash
# Installs, fetches, configures, builds and runs every test: first a plain
# optimised build, then our own code under AddressSanitizer with
# UndefinedBehaviorSanitizer, then under ThreadSanitizer (with the library
# built without OpenMP, whose runtime ThreadSanitizer cannot see into), then
# everything with clang and libc++, the standard library macOS ships, with
# warnings in our code as errors; last the grammar fuzzer.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
jobs="$(nproc)"
"$root/scripts/setup.sh"

# Runs a command with its output in a log file, shown only when it fails.
logged() {
    local log="$1"; shift
    "$@" > "$log" 2>&1 || { cat "$log"; return 1; }
}

run_suite() {
    local dir="$1"; shift
    echo "== $dir: configure and build"
    logged "$root/$dir.configure.log" cmake -S "$root" -B "$root/$dir" -G Ninja "$@"
    cmake --build "$root/$dir" -j "$jobs"
    echo "== $dir: tests"
    # Many tests run the transcriber, which itself uses several threads: half
    # the cores keeps the machine from being oversubscribed into time-outs.
    ctest --test-dir "$root/$dir" --output-on-failure -j "$(( (jobs + 1) / 2 ))"
}

# Debian's GoogleTest is built against libstdc++, so the suite builds its own
# from Debian's source package once per build tree; the whisper library gets
# the same standard library from our configure.
run_libcxx_suite() {
    local dir=build-libcxx
    local clang=(-DCMAKE_BUILD_TYPE=Release -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++)
    local googletest="$root/$dir/googletest"
    if [ ! -f "$googletest/lib/cmake/GTest/GTestConfig.cmake" ]; then
        echo "== $dir: GoogleTest against libc++"
        logged "$root/$dir.googletest.log" cmake -S /usr/src/googletest -B "$root/$dir/googletest-build" \
            -G Ninja "${clang[@]}" -DCMAKE_CXX_FLAGS=-stdlib=libc++ \
            -DCMAKE_INSTALL_PREFIX="$googletest" -DCMAKE_INSTALL_LIBDIR=lib
        logged "$root/$dir.googletest.log" cmake --build "$root/$dir/googletest-build" -j "$jobs" --target install
    fi
    run_suite "$dir" "${clang[@]}" -DLANTERNWICK_CXX_STDLIB=libc++ -DLANTERNWICK_WARNINGS_AS_ERRORS=ON \
        -DGTest_DIR="$googletest/lib/cmake/GTest"
}

run_suite build -DCMAKE_BUILD_TYPE=RelWithDebInfo
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
run_suite build-asan -DCMAKE_BUILD_TYPE=Debug "-DLANTERNWICK_SANITIZE=address,undefined"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$root/tests/library_races.supp"
run_suite build-tsan -DCMAKE_BUILD_TYPE=Debug -DLANTERNWICK_SANITIZE=thread -DLANTERNWICK_WHISPER_OPENMP=OFF
# Before the fuzzer: a build or test that breaks under libc++ fails the same
# way every time, so it is reported without first waiting out the fuzzer's
# fixed search time.
run_libcxx_suite
"$root/scripts/fuzz_grammar.sh"
echo "== all suites passed"
