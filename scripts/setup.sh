#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when missing, so
# a fresh machine needs nothing done by hand.
set -euo pipefail

packages=(
    cmake ninja-build g++ clang libclang-rt-14-dev pkg-config
    libc++-dev libc++abi-dev libomp-dev
    libgtest-dev libgmock-dev googletest nlohmann-json3-dev
    openssl libacl1-dev acl
    espeak-ng sox
    libsox-fmt-mp3
    chromium
)

missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" \
        || missing+=("$package")
done

# The machine may carry its own Node.js with npm bundled; Debian's npm is only
# needed where there is none.
command -v npm > /dev/null || missing+=(nodejs npm)

if [ ${#missing[@]} -gt 0 ]; then
    echo "setup: installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq "${missing[@]}" > /dev/null
fi
