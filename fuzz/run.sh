#!/usr/bin/env bash
# Builds the XML fuzzers with clang in their own build directory and runs each for
# SECONDS seconds (default 60). Seeds come from fuzz/seeds/ and the regression
# corpora of the tests; inputs that crash are left in the build directory's
# artifacts folder: copy them into tests/param/corpus/ (parameter sets) or
# tests/wrapper/corpus/ (effects) so that the tests keep reading them.
set -euo pipefail
seconds=${1:-60}
root=$(cd "$(dirname "$0")/.." && pwd)
build=${KILN_FUZZ_BUILD_DIR:-$root/build-fuzz}

CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DKILN_BUILD_FUZZ=ON -DKILN_BUILD_CLI=OFF -DKILN_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" --target fuzz_paramset fuzz_effect -- -j2

status=0
for name in paramset effect; do
  corpus=$build/fuzz/corpus_$name
  artifacts=$build/fuzz/artifacts_$name/
  mkdir -p "$corpus" "$artifacts"
  seeds=("$root/fuzz/seeds/$name")
  [ "$name" = paramset ] && seeds+=("$root/tests/param/corpus")
  [ "$name" = effect ] && [ -d "$root/tests/wrapper/corpus" ] && seeds+=("$root/tests/wrapper/corpus")
  echo "== fuzz_$name for ${seconds}s"
  if ! "$build/fuzz/fuzz_$name" -max_total_time="$seconds" -max_len=8192 -timeout=10 -rss_limit_mb=2048 \
      -dict="$root/fuzz/xml.dict" -artifact_prefix="$artifacts" -print_final_stats=1 \
      "$corpus" "${seeds[@]}"; then
    echo "fuzz_$name found a failing input in $artifacts" >&2
    status=1
  fi
done
exit $status
