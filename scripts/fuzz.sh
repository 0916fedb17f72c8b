#!/usr/bin/env bash
# Builds the libFuzzer targets with clang into build-fuzz/ and runs each one
# for NV_FUZZ_SECONDS seconds (default 20), starting from the seeds in
# fuzz/corpus/<target>/. A crash, leak or sanitizer report fails the run and
# leaves the reproducer in build-fuzz/artifacts/. NV_FUZZ_TIMEOUT (default
# 10) is the seconds one input may take: libFuzzer counts wall-clock time, so
# long runs beside other work want a generous one.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/ccache-env.sh
seconds="${NV_FUZZ_SECONDS:-20}"
timeout="${NV_FUZZ_TIMEOUT:-10}"

shopt -s nullglob
targets=(fuzz/*.cpp)
if [ ${#targets[@]} -eq 0 ]; then
  echo "fuzz: no targets"
  exit 0
fi

cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DNV_BUILD_FUZZERS=ON -DNV_BUILD_WEBVIEW=OFF >/dev/null
mkdir -p build-fuzz/artifacts
for source in "${targets[@]}"; do
  name=$(basename "$source" .cpp)
  cmake --build build-fuzz --target "$name"
  work="build-fuzz/corpus/$name"
  mkdir -p "$work"
  seeds=()
  [ -d "fuzz/corpus/$name" ] && seeds=("fuzz/corpus/$name")
  echo "fuzz: $name for ${seconds}s"
  "build-fuzz/fuzz/$name" -max_total_time="$seconds" -timeout="$timeout" -rss_limit_mb=4096 \
    -artifact_prefix=build-fuzz/artifacts/ -print_final_stats=1 "$work" "${seeds[@]}" 2>&1 | tail -n 12
done
