#!/usr/bin/env bash
# Builds velmora and velmoractl with the second compiler, Debian's clang for the same target
# with the MinGW-w64 headers and libraries, into ${1:-build-clang}. Warnings are errors there
# too, so a change that only GCC accepts fails here instead of on someone else's machine.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-clang}
if [ ! -f "$build/build.ninja" ]; then
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
        -DCMAKE_TOOLCHAIN_FILE=cmake/clang-mingw-w64-x86_64.cmake >/dev/null
fi
cmake --build "$build" --target velmora velmoractl
