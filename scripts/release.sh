#!/usr/bin/env bash
# Builds a release of the commit checked out (HEAD, whatever the working tree holds besides) and
# writes ${DIST_DIR:-dist}/velmora-<version>-win-x64.zip and SHA256SUMS. The same commit gives
# the same zip in any folder and on any machine with the same Debian packages: no time or path
# of the build gets into it. With VELMORA_SIGN_PFX set (its password in VELMORA_SIGN_PASSWORD,
# optionally an RFC 3161 server in VELMORA_SIGN_TIMESTAMP_URL), both programs are signed with
# Authenticode (SHA-256) before zipping; without the signature they are the reproducible bytes.
set -euo pipefail
cd "$(dirname "$0")/.."
dist=$(realpath -m "${DIST_DIR:-dist}")
packages=(g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 cmake ninja-build python3 git)
[ -z "${VELMORA_SIGN_PFX:-}" ] || packages+=(osslsigncode)
bash scripts/bootstrap.sh "${packages[@]}"
[ -z "$(git status --porcelain --untracked-files=no)" ] ||
    echo "note: uncommitted changes are not part of the release of $(git rev-parse --short HEAD)" >&2

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/src"
git archive --format=tar HEAD | tar -x -C "$work/src"
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct HEAD)}
export TZ=UTC LC_ALL=C
cmake -S "$work/src" -B "$work/src/build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
    -DCMAKE_TOOLCHAIN_FILE="$work/src/cmake/mingw-w64-x86_64.cmake" >/dev/null
cmake --build "$work/src/build" --target velmora velmoractl >/dev/null
version=$(sed -n 's/^#define VELMORA_VERSION "\(.*\)"$/\1/p' "$work/src/build/generated/velmora_version.h")
package=velmora-$version-win-x64
mkdir "$work/$package"
cp "$work/src/build/bin/velmora.exe" "$work/src/build/bin/velmoractl.exe" "$work/src/README.md" \
    "$work/src/SECURITY.md" "$work/$package/"

# Signing pads a program to 8 bytes and writes its PE checksum, which the linker leaves 0. Both
# are done here too, so that a signed program without its signature gives back these bytes.
python3 - "$work/$package/velmora.exe" "$work/$package/velmoractl.exe" <<'PY'
import struct, sys
for path in sys.argv[1:]:
    image = bytearray(open(path, "rb").read())
    image += b"\0" * (-len(image) % 8)
    field = struct.unpack_from("<I", image, 0x3C)[0] + 24 + 64  # e_lfanew, PE header, CheckSum
    struct.pack_into("<I", image, field, 0)
    total = 0
    for (word,) in struct.iter_unpack("<H", image):
        total += word
        total = (total & 0xFFFF) + (total >> 16)
    struct.pack_into("<I", image, field, (total & 0xFFFF) + len(image))
    open(path, "wb").write(image)
PY

if [ -n "${VELMORA_SIGN_PFX:-}" ]; then
    for exe in velmora.exe velmoractl.exe; do
        # The password goes through a pipe, never onto a command line that others can list.
        osslsigncode sign -pkcs12 "$VELMORA_SIGN_PFX" \
            -readpass <(printf '%s' "${VELMORA_SIGN_PASSWORD:-}") -h sha256 -n velmora \
            ${VELMORA_SIGN_TIMESTAMP_URL:+-ts "$VELMORA_SIGN_TIMESTAMP_URL"} \
            -in "$work/$package/$exe" -out "$work/$exe.signed" >/dev/null
        mv "$work/$exe.signed" "$work/$package/$exe"
    done
fi

# Entries in name order, each with the commit's time, the same attributes and compression.
mkdir -p "$dist"
python3 - "$work/$package" "$dist/$package.zip" "$SOURCE_DATE_EPOCH" <<'PY'
import os, sys, time, zipfile
stage, out, epoch = sys.argv[1], sys.argv[2], int(sys.argv[3])
stamp = time.gmtime(max(epoch, 315532800))[:6]  # zip times start in 1980
with zipfile.ZipFile(out, "w") as archive:
    for name in sorted(os.listdir(stage)):
        entry = zipfile.ZipInfo(os.path.basename(stage) + "/" + name, stamp)
        entry.compress_type = zipfile.ZIP_DEFLATED
        entry.create_system = 3
        entry.external_attr = 0o100644 << 16
        with open(os.path.join(stage, name), "rb") as data:
            archive.writestr(entry, data.read(), compresslevel=9)
PY
(cd "$dist" && sha256sum "$package.zip" >SHA256SUMS)
echo "$dist/$package.zip"
cat "$dist/SHA256SUMS"
