#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the libFuzzer targets with clang (ASan + UBSan) in their own build directory and runs each one.
#   run.sh --short               bounded, reproducible run for CTest: fixed seed, fresh corpus from the seeds
#   run.sh --seconds N           longer run of N seconds per target, keeping the grown corpus between runs
#   --build-dir DIR              where to build (default: build-fuzz in the repository)
# Exit status: 0 clean, 1 a target found a failing input (kept under DIR/artifacts/), 77 no usable clang.
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
root="$(dirname "$here")"
build_dir="$root/build-fuzz"
mode=short
seconds=60

while [ $# -gt 0 ]; do
    case "$1" in
    --short) mode=short ;;
    --seconds) mode=long; seconds="$2"; shift ;;
    --build-dir) build_dir="$2"; shift ;;
    *) echo "usage: $0 [--short | --seconds N] [--build-dir DIR]" >&2; exit 2 ;;
    esac
    shift
done

cxx="${FUZZ_CXX:-clang++}"
if ! command -v "$cxx" >/dev/null 2>&1; then
    echo "fuzz: $cxx not found; run scripts/install-deps.sh" >&2
    exit 77
fi
if [ ! -f "$("$cxx" -print-resource-dir)/lib/linux/libclang_rt.fuzzer-x86_64.a" ]; then
    echo "fuzz: libFuzzer runtime missing (package libclang-rt-dev); run scripts/install-deps.sh" >&2
    exit 77
fi

jobs="${JOBS:-$(nproc)}"
cmake -S "$here" -B "$build_dir" -G Ninja -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_BUILD_TYPE=None >/dev/null
cmake --build "$build_dir" -j "$jobs" >/dev/null

export ASAN_OPTIONS="${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1:suppressions=$here/ubsan.supp}"

# target, seed corpus folder, inputs tried by --short (about 5 s each here), longest input, extra flags
targets=(
    "json_decode_fuzz json 300000 4096 -dict=$here/json.dict"
    "line_framing_fuzz framing 5000 4096"
)

mkdir -p "$build_dir/artifacts" "$build_dir/logs"
status=0
for entry in "${targets[@]}"; do
    read -r target seeds short_runs max_len extra <<<"$entry"
    corpus="$build_dir/corpus/$target"
    if [ "$mode" = short ]; then
        # A fixed seed and a fresh corpus make the CTest run the same every time; the time cap only
        # guards against a slow machine.
        rm -rf "$corpus"
        limits=(-seed=1 -runs="$short_runs" -max_total_time=45)
    else
        limits=(-max_total_time="$seconds")
    fi
    mkdir -p "$corpus"
    log="$build_dir/logs/$target.log"
    started=$SECONDS
    # shellcheck disable=SC2086 # $extra holds zero or one flag
    if "$build_dir/bin/$target" "${limits[@]}" -max_len="$max_len" -timeout=10 -rss_limit_mb=2048 \
        -artifact_prefix="$build_dir/artifacts/$target-" -print_final_stats=1 $extra \
        "$corpus" "$here/corpus/$seeds" >"$log" 2>&1; then
        runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
        echo "fuzz: $target clean, ${runs:-?} inputs in $((SECONDS - started)) s"
    else
        echo "fuzz: $target FAILED after $((SECONDS - started)) s; log $log; the input is kept in $build_dir/artifacts/" >&2
        tail -n 40 "$log" >&2
        status=1
    fi
done
exit "$status"
