#!/usr/bin/env bash
# Installs what a fresh Debian 12 machine lacks to build and test velmora, or the packages named
# as arguments instead; does nothing when all is there.
set -euo pipefail

# clang and lld: the second compiler; osslsigncode and openssl: the signed release's test.
packages=(g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 mingw-w64-tools wine64 wine cmake
          ninja-build googletest curl python3 git clang lld osslsigncode openssl)
[ $# -eq 0 ] || packages=("$@")
missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "installing: ${missing[*]}"
    sudo_cmd=()
    [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
    "${sudo_cmd[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends \
        "${missing[@]}"
fi
