#!/usr/bin/env bash
# The main job, end to end: English sentences spoken by espeak-ng, converted
# to what the desktop application writes (raw signed 16-bit 16 kHz mono),
# written at real-time pace with pauses between sentences into
# lanternwick-quill, whose JSON lines are shown as they arrive. Builds the
# program first when needed.
#
#   scripts/demo.sh
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$root/build"
quill="$build/bin/lanternwick-quill"

# The build's packages are needed for a new build folder, and the speech
# packages for every run, even where the folder was built without them. Each
# is looked up alone: bash's command -v succeeds when any one of several is
# found.
speech_tools_present() {
    local tool
    for tool in sox espeak-ng; do
        command -v "$tool" > /dev/null || return 1
    done
}
if [ ! -f "$build/build.ninja" ] || ! speech_tools_present; then
    "$root/scripts/setup.sh"
fi
if [ ! -f "$build/build.ninja" ]; then
    echo "demo: configuring $build"
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo > "$build.configure.log" 2>&1 \
        || { cat "$build.configure.log"; exit 1; }
fi
cmake --build "$build" --target lanternwick-quill make_test_model > "$build.demo-build.log" 2>&1 \
    || { cat "$build.demo-build.log"; exit 1; }

# The program's own default model, relative to the directory it runs in.
cd "$root"
model="models/ggml-base.en.bin"
if [ -f "$model" ]; then
    echo "demo: transcribing with $model"
else
    model="$build/test_models/fixed.bin"
    mkdir -p "$build/test_models"
    [ -f "$model" ] || "$build/bin/make_test_model" fixed "$model"
    cat <<EOF
demo: models/ggml-base.en.bin is not here, so this runs with the test model
      $model
      whose text is FIXED: every segment reads " hello world." whatever is said.
      The lines, chunk numbers, timings and silence lines are the real thing.
      Put a whisper model at models/ggml-base.en.bin for a real transcription.
EOF
fi

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

sentences=(
    "Good morning. This is a live transcription of a short talk."
    "Each pause between sentences closes the open chunk of audio."
    "The lines that follow are printed while the audio is still arriving."
)
stream="$work/stream.raw"
: > "$stream"
sox -n -r 16000 -c 1 -b 16 -e signed-integer -t raw "$work/pause.raw" trim 0 1.2
for i in "${!sentences[@]}"; do
    espeak-ng -w "$work/sentence$i.wav" "${sentences[$i]}"
    sox "$work/sentence$i.wav" -r 16000 -c 1 -b 16 -e signed-integer -t raw "$work/sentence$i.raw"
    cat "$work/sentence$i.raw" "$work/pause.raw" >> "$stream"
done

# 6,400 bytes are 200 ms of audio: one write, then the time it lasts (long
# enough that starting dd and sleep costs little of it).
play_at_real_time() {
    local writes=$(( ($(wc -c < "$1") + 6399) / 6400 ))
    for ((k = 0; k < writes; k++)); do
        dd if="$1" bs=6400 skip="$k" count=1 status=none
        sleep 0.2
    done
}

log="$work/quill.log"
echo "demo: speaking $(( $(wc -c < "$stream") / 32000 )) s of audio; each transcription of the open chunk"
echo "      starts with an empty line, and a silence line marks the end of a chunk"
echo
play_at_real_time "$stream" | "$quill" -m "$model" - 2> "$log" || {
    status=$?
    echo "demo: lanternwick-quill ended with status $status:" >&2
    tail -n 20 "$log" >&2
    exit "$status"
}
echo
echo "demo: done"
