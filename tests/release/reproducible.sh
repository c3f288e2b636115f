#!/usr/bin/env bash
# Builds the release of the commit checked out three times, each in a folder of its own: two
# unsigned builds give the same zip byte for byte; a build signed with a throwaway certificate
# verifies, and without its signatures gives back the unsigned programs.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
fail() { echo "FAIL: $*"; exit 1; }
release() {  # folder; builds there, the zip lands in folder/dist
    mkdir -p "$scratch/$1"
    TMPDIR="$scratch/$1" DIST_DIR="$scratch/$1/dist" bash "$root/scripts/release.sh" >/dev/null
}
unpack() { python3 -m zipfile -e "$scratch/$1"/dist/*.zip "$scratch/$1/unpacked"; }

release a
release build-in-a-longer-folder
zip=$(basename "$scratch"/a/dist/*.zip)
cmp "$scratch/a/dist/$zip" "$scratch/build-in-a-longer-folder/dist/$zip" ||
    fail "two builds of one commit gave different zips"
(cd "$scratch/a/dist" && sha256sum --quiet -c SHA256SUMS) || fail "SHA256SUMS does not match"
package=${zip%.zip}
listed=$(python3 -m zipfile -l "$scratch/a/dist/$zip" | awk 'NR > 1 { print $1 }' | tr '\n' ' ')
[ "$listed" = "$package/README.md $package/SECURITY.md $package/velmora.exe $package/velmoractl.exe " ] ||
    fail "zip holds: $listed"
unpack a
version=${package#velmora-}
version=${version%-win-x64}
grep -q "^Version $version " "$scratch/a/unpacked/$package/README.md" ||
    fail "README.md does not give version $version"

openssl req -x509 -newkey rsa:2048 -nodes -subj "/CN=velmora test signer" -days 1 \
    -keyout "$scratch/key.pem" -out "$scratch/cert.pem" 2>/dev/null
openssl pkcs12 -export -inkey "$scratch/key.pem" -in "$scratch/cert.pem" -passout pass:throwaway \
    -out "$scratch/signer.pfx"
VELMORA_SIGN_PFX="$scratch/signer.pfx" VELMORA_SIGN_PASSWORD=throwaway release signed
unpack signed
for exe in velmora.exe velmoractl.exe; do
    osslsigncode verify -CAfile "$scratch/cert.pem" -in "$scratch/signed/unpacked/$package/$exe" \
        >/dev/null || fail "$exe: signature does not verify"
    osslsigncode remove-signature -in "$scratch/signed/unpacked/$package/$exe" \
        -out "$scratch/$exe" >/dev/null
    cmp "$scratch/$exe" "$scratch/a/unpacked/$package/$exe" ||
        fail "$exe without its signature differs from the unsigned build"
done
echo "PASS: $zip $(cut -d' ' -f1 "$scratch/a/dist/SHA256SUMS") reproduced; signed programs verify"
