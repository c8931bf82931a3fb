#!/usr/bin/env bash
# Installs what is missing, builds, runs every test, then runs them again in
# an AddressSanitizer + UndefinedBehaviorSanitizer build.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"

export TZ=UTC LC_ALL=C.UTF-8 QT_QPA_PLATFORM=offscreen
jobs=$(nproc)

echo "== build and test (release)"
"$root/scripts/build.sh" "$root/build"
ctest --test-dir "$root/build" --output-on-failure -j "$jobs"

echo "== build and test (address + undefined behaviour sanitizers)"
"$root/scripts/build.sh" "$root/build-asan" -DSKYIMG_SANITIZE=ON -DSKYIMG_BENCH=OFF
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir "$root/build-asan" --output-on-failure -j "$jobs"
