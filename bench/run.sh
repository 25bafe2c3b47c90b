#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs every benchmark section against a Release build (`make bench` passes build-bench) and prints one
# report. A new section is one more line at the bottom: `gbench TITLE BINARY` for a Google Benchmark
# binary in the build's bin/ (printed as a table of medians), `section TITLE BINARY ARGS...` for any other
# program that prints its own figures, `script TITLE COMMAND...` for a command that is not in bin/. A binary
# that was not built is reported as missing, not fatal.
#
# The report ends with one summary table: gbench adds a row per benchmark, and any section may append
# "name<TAB>value" rows to the file named by $VEMDO_BENCH_SUMMARY. The table is also written, as Markdown
# with the machine it came from, to BUILD_DIR/bench-summary.md for the README.
set -euo pipefail

build_dir="${1:-build-bench}"
bin="$build_dir/bin"
failed=0
VEMDO_BENCH_SUMMARY="$(mktemp)"
export VEMDO_BENCH_SUMMARY
trap 'rm -f "$VEMDO_BENCH_SUMMARY"' EXIT
machine="$(uname -m), $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//')"

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

# script TITLE COMMAND [ARGS...]
script() {
    local title="$1"
    shift
    echo
    echo "== $title"
    local status=0
    "$@" || status=$?
    if [ "$status" -eq 77 ]; then
        echo "   (skipped)"
    elif [ "$status" -ne 0 ]; then
        echo "   (failed with status $status)"
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
        python3 - "$json" "$binary" <<'PY'
import json, os, sys

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
with open(os.environ["VEMDO_BENCH_SUMMARY"], "a", encoding="utf-8") as summary:
    for b in rows:
        summary.write(f"{sys.argv[2]} {b['run_name']}\t{b['cpu_time']:.1f} {b['time_unit']} CPU per op\n")
PY
    fi
    rm -f "$json" "$errors"
}

echo "Vemdo Trackpad benchmarks ($machine)"

gbench "Decoding and framing (per message, per 4096-byte receive)" protocol_bench
gbench "Injector (per packet; into a recording backend and into Xvfb through XTest)" injector_bench
script "End to end: the real server on Xvfb in a private network (latency, throughput, memory)" \
    python3 "$(dirname "$0")/e2e.py" "$build_dir"

echo
echo "== Summary ($machine)"
python3 - "$VEMDO_BENCH_SUMMARY" "$build_dir/bench-summary.md" "$machine" <<'PY'
import sys

rows = [line.rstrip("\n").split("\t", 1) for line in open(sys.argv[1], encoding="utf-8") if "\t" in line]
width = max([len(name) for name, _ in rows] + [6])
print(f"   {'figure':<{width}}  value")
for name, value in rows:
    print(f"   {name:<{width}}  {value}")
with open(sys.argv[2], "w", encoding="utf-8") as md:
    md.write(f"Machine: {sys.argv[3]}.\n\n| Figure | Value |\n|---|---|\n")
    for name, value in rows:
        md.write(f"| {name} | {value} |\n")
PY

exit "$failed"
