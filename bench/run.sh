#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs every benchmark section against a Release build (`make bench` passes build-bench) and prints one
# report. A new section is one more line at the bottom: `gbench TITLE BINARY` for a Google Benchmark
# binary in the build's bin/ (printed as a table of medians), `section TITLE BINARY ARGS...` for any other
# program that prints its own figures. A binary that was not built is reported as missing, not fatal.
set -euo pipefail

build_dir="${1:-build-bench}"
bin="$build_dir/bin"
failed=0

# section TITLE BINARY [ARGS...]
section() {
    local title="$1" binary="$2"
    shift 2
    echo
    echo "== $title"
    if [ ! -x "$bin/$binary" ]; then
        echo "   (not built: $bin/$binary)"
        return
    fi
    if ! "$bin/$binary" "$@"; then
        echo "   ($binary failed)"
        failed=1
    fi
}

# Google Benchmark binaries: five repetitions, one row per benchmark with the medians. CPU time is the
# figure to compare: on a loaded machine the wall time also counts waiting for a core.
gbench() {
    local title="$1" binary="$2" json errors
    echo
    echo "== $title"
    if [ ! -x "$bin/$binary" ]; then
        echo "   (not built: $bin/$binary)"
        return
    fi
    json="$(mktemp)"
    errors="$(mktemp)"
    if ! "$bin/$binary" --benchmark_min_time=0.2 --benchmark_repetitions=5 --benchmark_report_aggregates_only=true \
        --benchmark_out="$json" --benchmark_out_format=json >/dev/null 2>"$errors"; then
        cat "$errors"
        echo "   ($binary failed)"
        failed=1
    elif [ -s "$json" ]; then
        python3 - "$json" <<'PY'
import json, sys

def rate(value, unit):
    for scale, prefix in ((1e9, "G"), (1e6, "M"), (1e3, "k")):
        if value >= scale:
            return f"{value / scale:.2f} {prefix}{unit}/s"
    return f"{value:.0f} {unit}/s"

rows = [b for b in json.load(open(sys.argv[1]))["benchmarks"] if b.get("aggregate_name") == "median"]
print(f"   {'benchmark':<32} {'CPU/op':>12} {'wall/op':>12}  throughput")
for b in rows:
    extra = [rate(1e9 / b["cpu_time"], "ops")] if b["time_unit"] == "ns" else []
    if "items_per_second" in b:
        extra.append(rate(b["items_per_second"], "items"))
    if "bytes_per_second" in b:
        extra.append(rate(b["bytes_per_second"], "B"))
    print(f"   {b['run_name']:<32} {b['cpu_time']:>9.1f} {b['time_unit']:<2} {b['real_time']:>9.1f} {b['time_unit']:<2}  "
          + ", ".join(extra))
PY
    fi
    rm -f "$json" "$errors"
}

echo "Vemdo Trackpad benchmarks ($(uname -m), $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//'))"

gbench "Decoding and framing (per message, per 4096-byte receive)" protocol_bench

exit "$failed"
