#!/usr/bin/env bash
# Installs what is missing, builds, runs every test, then runs them again in
# an AddressSanitizer + UndefinedBehaviorSanitizer build, and the threaded
# tests in a ThreadSanitizer build.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"

export TZ=UTC LC_ALL=C.UTF-8 QT_QPA_PLATFORM=offscreen
jobs=$(nproc)

echo "== build and test (release)"
"$root/scripts/build.sh" "$root/build"
ctest --test-dir "$root/build" --output-on-failure -j "$jobs"

# This pass runs under a comma-decimal locale (tests/test_main.cpp), which
# the tool's children inherit: numbers in headers must read the same.
echo "== build and test (address + undefined behaviour sanitizers, de_DE.UTF-8)"
"$root/scripts/build.sh" "$root/build-asan" -DSKYIMG_SANITIZE=ON -DSKYIMG_BENCH=OFF
SKYIMG_TEST_LOCALE=de_DE.UTF-8 ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir "$root/build-asan" --output-on-failure -j "$jobs"

# The statistics, rendering, load, demosaic and XISF tests again under
# ThreadSanitizer, where pool tasks nest and wait on one another, and the
# packed-file tests, whose tiles decode in bands on the pool. Only those
# targets are built. tests/sanitizer/ holds how Qt's futures synchronise and
# what of Qt's own internals is left out.
echo "== build and test (thread sanitizer)"
tsan_tests=(test_stats test_stretch test_fits_loader test_debayer test_xisf test_fits_unpack)
cmake -S "$root" -B "$root/build-tsan" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSKYIMG_TSAN=ON -DSKYIMG_BENCH=OFF >/dev/null
cmake --build "$root/build-tsan" --parallel "$jobs" --target "${tsan_tests[@]}"
TSAN_OPTIONS="halt_on_error=1 suppressions=$root/tests/sanitizer/tsan.supp" \
  ctest --test-dir "$root/build-tsan" --output-on-failure -j "$jobs" -R "^($(IFS='|'; echo "${tsan_tests[*]}"))\$"
