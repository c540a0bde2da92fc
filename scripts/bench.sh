#!/usr/bin/env bash
# Builds the benchmarks with optimisation and runs them, then times Python's
# json.loads on the same manifests and prints every figure as a ratio to its
# floor; then times the history against git's command line on the same trees
# (scripts/history_bench.py, and scripts/scale_bench.py for trees of 100,000 to a
# million files), the history's size on disk against git's after its gc
# after sequences of snapshots (scripts/size_bench.py), a large file that changes a little
# (scripts/large_file_bench.py), the history window's query of one file's
# versions (bench/HistoryBenchmark.cpp), the window itself on a large
# folder (scripts/window_bench.py, where there is a display server to run
# it), thinning a long history (bench/ThinningBenchmark.cpp), and mirrors
# over SSH against git push and git clone (scripts/mirror_bench.py). With
# --smoke each runs only briefly, to see that it works.
set -euo pipefail
smoke=0
if [[ "${1:-}" == "--smoke" ]]; then
  smoke=1
  shift
fi
build=${1:-build-bench}
root=$(cd "$(dirname "$0")/.." && pwd)

mkdir -p "$build"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DTARVINE_BENCH=ON > "$build/configure.log" 2>&1 ||
  { cat "$build/configure.log"; exit 1; }
targets=(tarvine_bench tarvine_history_query_bench tarvine_thinning_bench tarvine_snapshot_bench
  tarvine)
# The history window, where GTK 4 is there to build it.
if cmake --build "$build" --target help | grep '^\.\.\. tarvine-history$' > /dev/null; then
  targets+=(tarvine-history)
fi
cmake --build "$build" -j "$(nproc)" --target "${targets[@]}" > "$build/build.log" 2>&1 ||
  { tail -n 60 "$build/build.log"; exit 1; }
# The window's benchmark needs the system's Python, which has AT-SPI's binding.
python=${TARVINE_PYTHON3:-/usr/bin/python3}

export TARVINE_BENCH_DATA="$build/data"
mkdir -p "$TARVINE_BENCH_DATA"
if (( smoke )); then
  "$build/bench/tarvine_bench" --benchmark_min_time=0.000001
  "$build/bench/tarvine_history_query_bench" --benchmark_min_time=0.000001
  python3 -B "$root/scripts/history_bench.py" "$build" --smoke
  python3 -B "$root/scripts/scale_bench.py" "$build" --smoke
  python3 -B "$root/scripts/size_bench.py" "$build" --smoke
  python3 -B "$root/scripts/large_file_bench.py" "$build" --smoke
  "$python" -B "$root/scripts/window_bench.py" "$build" --smoke
  "$build/bench/tarvine_thinning_bench" --smoke
  python3 -B "$root/scripts/mirror_bench.py" "$build" --smoke
  exit 0
fi
"$build/bench/tarvine_bench" --benchmark_min_time=0.3 --benchmark_repetitions=7 \
  --benchmark_report_aggregates_only=true --benchmark_out="$build/results.json" \
  --benchmark_out_format=json
python3 "$root/scripts/perf_report.py" "$build/results.json" "$TARVINE_BENCH_DATA"
echo
echo "The history against git's command line (a 1 GB tree of 10,000 files; a 2 GB file):"
python3 -B "$root/scripts/history_bench.py" "$build"
echo
echo "Snapshots of 100,000, 300,000 and 1,000,000 small files against git's command line:"
python3 -B "$root/scripts/scale_bench.py" "$build"
echo
echo "The history's size against git's after its gc, after sequences of snapshots:"
python3 -B "$root/scripts/size_bench.py" "$build"
echo
echo "A 1 GB file rewritten in ten places, ten times (scripts/large_file_bench.py):"
python3 -B "$root/scripts/large_file_bench.py" "$build"
echo
echo "The history window's query: one file's versions across 1,000 snapshots of 10,000 files:"
"$build/bench/tarvine_history_query_bench" --benchmark_repetitions=7 \
  --benchmark_report_aggregates_only=true
echo
echo "The history window on a folder of 100,000 files, under Xvfb (skipped without one):"
"$python" -B "$root/scripts/window_bench.py" "$build"
echo
echo "Thinning 10,000 versions of a 10,000-file folder to the standard policy:"
"$build/bench/tarvine_thinning_bench"
echo
echo "Mirrors over SSH against git push and git clone (a 1 GB tree of 10,000 files):"
python3 -B "$root/scripts/mirror_bench.py" "$build"
