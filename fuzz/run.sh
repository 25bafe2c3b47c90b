#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the fuzz targets with clang (libFuzzer, ASan + UBSan) in their own build directory and runs each
# in turn: JSON decoding, the browser page's HTTP head reader and router, WebSocket messages into the
# transport.
#   run.sh --short         bounded, reproducible run for CTest: fixed seed, fresh corpora from the seeds, a
#                          fixed number of inputs per target (about 15 s each here) and at most 30 s each
#   run.sh --runs N        N inputs per target, keeping the grown corpora between runs
#   run.sh --seconds N     N seconds per target, likewise
#   --build-dir DIR        where to build (default: build-fuzz in the repository)
# Exit status: 0 clean, 1 an input broke an invariant (kept under DIR/artifacts/), 77 no usable clang.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build_dir="$(dirname "$here")/build-fuzz"
mode=short
while [ $# -gt 0 ]; do
    case "$1" in
    --short) mode=short ;;
    --runs) mode=runs; limit=(-runs="$2"); shift ;;
    --seconds) mode=seconds; limit=(-max_total_time="$2"); shift ;;
    --build-dir) build_dir="$2"; shift ;;
    *) echo "usage: $0 [--short | --runs N | --seconds N] [--build-dir DIR]" >&2; exit 2 ;;
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

failed=0
# Target, seeds under corpus/, dictionary, longest input (HTTP: past the head's bound; WebSocket: a message
# of two receives), inputs in a short run.
while read -r target seeds dict max_len short_runs; do
    [ "$mode" = short ] && limit=(-seed=1 -runs="$short_runs" -max_total_time=30)
    # The short run starts from the seeds alone each time, so that CTest sees the same inputs every run.
    corpus="$build_dir/corpus/$target" && [ "$mode" = short ] && rm -rf "$corpus"
    mkdir -p "$corpus" "$build_dir/artifacts"
    log="$build_dir/$target.log"
    if ASAN_OPTIONS="${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1}" \
        UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1:suppressions=$here/ubsan.supp}" \
        "$build_dir/bin/$target" "${limit[@]}" -max_len="$max_len" -timeout=10 -rss_limit_mb=2048 -dict="$dict" \
        -artifact_prefix="$build_dir/artifacts/$target-" -print_final_stats=1 "$corpus" "$here/corpus/$seeds" \
        >"$log" 2>&1 </dev/null; then
        echo "fuzz: $target clean: $(grep '^Done' "$log") ($(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")/s)"
    else
        echo "fuzz: $target: an input broke an invariant; log $log; the input is kept in $build_dir/artifacts/" >&2
        tail -n 40 "$log" >&2
        failed=1
    fi
done <<EOF
json_decode_fuzz json $here/json.dict 4096 300000
http_head_fuzz http $here/http.dict 8448 60000
websocket_message_fuzz websocket $here/json.dict 4608 12000
EOF
exit "$failed"
