#!/usr/bin/env bash
# Builds the fuzz targets natively (clang, libFuzzer, AddressSanitizer, UndefinedBehaviorSanitizer)
# and runs each for the given time:   bash fuzz/run.sh [seconds-per-target] [target...]
# Targets: request endpoint json tail. The checked-in seeds stay as they are; the growing corpus
# lives in fuzz/build/, findings (crash inputs) in fuzz/findings/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(request endpoint json tail)

bash scripts/bootstrap.sh clang libclang-rt-14-dev

declare -A sources=(
    [request]=src/api/request.cpp
    [endpoint]=src/config/endpoint_text.cpp
    [json]=src/api/request.cpp
    [tail]=src/core/tail.cpp
)
mkdir -p fuzz/build fuzz/findings
for t in "${targets[@]}"; do
    clang++ -std=c++17 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all \
        -Isrc "fuzz/${t}_fuzz.cpp" ${sources[$t]} -o "fuzz/build/${t}_fuzz"
done
for t in "${targets[@]}"; do
    mkdir -p "fuzz/build/corpus-$t"
    echo "== $t: ${seconds}s"
    "fuzz/build/${t}_fuzz" -max_total_time="$seconds" -max_len=70000 -print_final_stats=1 \
        -artifact_prefix="fuzz/findings/${t}-" "fuzz/build/corpus-$t" "fuzz/corpus/$t" 2>&1 |
        grep -E '^(#|==|stat::|Done|INFO: seed)' | tail -n 6
done
