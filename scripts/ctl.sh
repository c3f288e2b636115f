#!/usr/bin/env bash
# Talks to the demo service started by run-console.sh through velmoractl, the trusted application.
# A path argument (start) is handed over in Windows form.
set -euo pipefail
source "$(dirname "$0")/demo-env.sh"
args=()
for a in "$@"; do
    if [ -e "$a" ]; then
        a="Z:$(realpath "$a" | sed 's|/|\\|g')"
    fi
    args+=("$a")
done
exec wine "$build/bin/velmoractl.exe" --name "$name" "${args[@]}"
