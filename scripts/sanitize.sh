#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Sanitizer runs: AddressSanitizer + UndefinedBehaviorSanitizer over the unit and integration tests, and
# ThreadSanitizer over the transport (unit tests and the real-socket tests, where two threads meet).
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=${JOBS:-$(nproc)}

cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVEMDO_SANITIZE=address,undefined >/dev/null
cmake --build build-asan -j "$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir build-asan --output-on-failure --timeout 900 -j "$jobs" -L 'unit|integration' -LE fuzz

cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVEMDO_SANITIZE=thread >/dev/null
cmake --build build-tsan -j "$jobs" --target transport_tests network_loopback_test
export TSAN_OPTIONS="halt_on_error=1 suppressions=$PWD/scripts/tsan.supp"
export QT_QPA_PLATFORM=offscreen DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent
for test in transport_tests network_loopback_test; do
    echo "== ThreadSanitizer: $test"
    "build-tsan/bin/$test"
done
