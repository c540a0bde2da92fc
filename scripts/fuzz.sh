#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for SECONDS (default
# 60), starting from the seeds in fuzz/corpus/. New inputs go to the build
# tree, never into the sources; a crash stops the run with its reproducer.
set -euo pipefail
seconds=${1:-60}
build=${2:-build-fuzz}
root=$(cd "$(dirname "$0")/.." && pwd)

mkdir -p "$build"
CXX=clang++-14 cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARVINE_FUZZ=ON \
  > "$build/configure.log" 2>&1 || { cat "$build/configure.log"; exit 1; }
cmake --build "$build" -j "$(nproc)" > "$build/build.log" 2>&1 || { tail -n 60 "$build/build.log"; exit 1; }

mkdir -p "$build/artifacts"
for seeds in "$root"/fuzz/corpus/*/; do
  name=$(basename "$seeds")
  mkdir -p "$build/corpus/$name"
  echo "== $name for ${seconds}s"
  log="$build/$name.log"
  if ! "$build/fuzz/$name" -max_total_time="$seconds" -print_final_stats=1 -timeout=10 \
      -rss_limit_mb=2048 -artifact_prefix="$build/artifacts/$name-" \
      "$build/corpus/$name" "$seeds" > "$log" 2>&1; then
    grep -v '^#' "$log" | tail -n 40 >&2
    echo "fuzz: $name failed; the reproducer is in $build/artifacts/" >&2
    exit 1
  fi
  grep -E '^stat::(number_of_executed_units|peak_rss_mb)' "$log" || true
done
