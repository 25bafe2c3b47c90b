#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the JSON decoding fuzz target with clang (libFuzzer, ASan + UBSan) in its own build directory and
# runs it.
#   run.sh --short         bounded, reproducible run for CTest: fixed seed, fresh corpus from the seeds
#   run.sh --seconds N     a run of N seconds, keeping the grown corpus between runs
#   --build-dir DIR        where to build (default: build-fuzz in the repository)
# Exit status: 0 clean, 1 an input broke an invariant (kept under DIR/artifacts/), 77 no usable clang.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build_dir="$(dirname "$here")/build-fuzz"
limits=(-seed=1 -runs=300000 -max_total_time=45)
while [ $# -gt 0 ]; do
    case "$1" in
    --short) ;;
    --seconds) limits=(-max_total_time="$2"); shift ;;
    --build-dir) build_dir="$2"; shift ;;
    *) echo "usage: $0 [--short | --seconds N] [--build-dir DIR]" >&2; exit 2 ;;
    esac
    shift
done

cxx="${FUZZ_CXX:-clang++}"
if ! command -v "$cxx" >/dev/null || [ ! -f "$("$cxx" -print-resource-dir)/lib/linux/libclang_rt.fuzzer-x86_64.a" ]; then
    echo "fuzz: $cxx or its libFuzzer runtime (libclang-rt-dev) is missing; run scripts/install-deps.sh" >&2
    exit 77
fi
cmake -S "$here" -B "$build_dir" -G Ninja -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_BUILD_TYPE=None >/dev/null
cmake --build "$build_dir" -j "${JOBS:-$(nproc)}" >/dev/null

corpus="$build_dir/corpus"
# The short run starts from the seeds alone each time, so that CTest sees the same inputs every run.
[ "${limits[0]}" = -seed=1 ] && rm -rf "$corpus"
mkdir -p "$corpus" "$build_dir/artifacts"
log="$build_dir/json_decode_fuzz.log"
if ASAN_OPTIONS="${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1}" \
    UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1:suppressions=$here/ubsan.supp}" \
    "$build_dir/bin/json_decode_fuzz" "${limits[@]}" -max_len=4096 -timeout=10 -rss_limit_mb=2048 \
    -dict="$here/json.dict" -artifact_prefix="$build_dir/artifacts/" -print_final_stats=1 \
    "$corpus" "$here/corpus/json" >"$log" 2>&1; then
    echo "fuzz: clean, $(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1) inputs"
else
    echo "fuzz: an input broke an invariant; log $log; the input is kept in $build_dir/artifacts/" >&2
    tail -n 40 "$log" >&2
    exit 1
fi
