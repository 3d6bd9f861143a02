#!/usr/bin/env bash
# Fetches the pinned whisper library (with ggml) and the single-file audio
# decoders into third_party/. The package that carries them also ships example
# programs and tools; only the library's own tree and the two decoder headers
# are extracted, nothing else of the package is unpacked.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
dest="$root/third_party"
package="nodejs-whisper@0.3.1"
integrity="sha512-ceoilUVraRuR5FnNyXpGQT2auAR48Oc3AQBEmkXnVpSn9iN6yVRzQBFCqVTGWbk6Wdi95NhvwXNzFvuR7erLWw=="
tree="package/cpp/whisper.cpp"
library_paths=(CMakeLists.txt cmake include src ggml LICENSE bindings/javascript/package-tmpl.json)
decoder_paths=(examples/miniaudio.h examples/stb_vorbis.c)
stamp="$dest/.fetched-$package"

[ -f "$stamp" ] && exit 0

mkdir -p "$dest"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

(cd "$work" && npm pack --silent "$package" > /dev/null)
tarball="$(ls "$work"/*.tgz)"

actual="sha512-$(openssl dgst -sha512 -binary "$tarball" | base64 -w0)"
if [ "$actual" != "$integrity" ]; then
    echo "fetch_deps: integrity mismatch for $package" >&2
    echo "  expected $integrity" >&2
    echo "  got      $actual" >&2
    exit 1
fi

rm -rf "$dest/whisper.cpp" "$dest/miniaudio"
mkdir -p "$dest/whisper.cpp" "$dest/miniaudio"
tar -xzf "$tarball" -C "$dest/whisper.cpp" --strip-components=3 \
    "${library_paths[@]/#/$tree/}"
tar -xzf "$tarball" -C "$dest/miniaudio" --strip-components=4 \
    "${decoder_paths[@]/#/$tree/}"
touch "$stamp"
echo "fetch_deps: $package extracted into $dest"
