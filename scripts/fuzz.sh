#!/usr/bin/env bash
# Runs one libFuzzer target for a while:  scripts/fuzz.sh TARGET SECONDS
# TARGET is fits, xisf, raw, wcs or pipeline (with or without "fuzz_").
# Builds build-fuzz with clang when needed (build-fuzz-deps with FUZZ_DEPS,
# see scripts/fuzz-deps.sh). The committed corpus
# fuzz/corpus/TARGET is read but never written: new inputs go to a scratch
# corpus and crashing inputs to a scratch artifact folder, both named at the
# end (FUZZ_WORK chooses their parent, default build-fuzz/work).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
if [ $# -ne 2 ]; then
  echo "usage: $0 TARGET SECONDS" >&2
  exit 2
fi
target=${1#fuzz_}
seconds=$2
case $target in
  fits|wcs) dict=$root/fuzz/fits.dict ;;
  xisf) dict=$root/fuzz/xisf.dict ;;
  raw) dict=$root/fuzz/raw.dict ;;
  pipeline) dict= ;;
  *) echo "unknown target $target" >&2; exit 2 ;;
esac

# FUZZ_DEPS names a prefix made by scripts/fuzz-deps.sh: CFITSIO, WCSLIB and
# LibRaw instrumented too, in a build tree of its own.
build=$root/build-fuzz
if [ -n "${FUZZ_DEPS:-}" ]; then
  build=$root/build-fuzz-deps
  export PKG_CONFIG_PATH=$FUZZ_DEPS/lib/pkgconfig
fi
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DSKYIMG_FUZZ=ON -DSKYIMG_TESTS=OFF -DSKYIMG_BENCH=OFF >/dev/null
cmake --build "$build" --parallel "$(nproc)" --target "fuzz_$target" >/dev/null

work=${FUZZ_WORK:-$build/work}/$target
mkdir -p "$work/corpus" "$work/artifacts"
log=$work/fuzz.log
export QT_QPA_PLATFORM=offscreen
export LSAN_OPTIONS=suppressions=$root/tests/sanitizer/lsan.supp
# The first corpus folder receives new inputs; the committed seeds only seed.
set +e
"$build/fuzz/fuzz_$target" \
  -rss_limit_mb=2048 -timeout=25 -max_total_time="$seconds" \
  -close_fd_mask=3 -print_final_stats=1 \
  ${dict:+-dict="$dict"} \
  -artifact_prefix="$work/artifacts/" \
  "$work/corpus" "$root/fuzz/corpus/$target" >"$log" 2>&1
status=$?
set -e

# The last status line holds the coverage; the final stats the executions.
grep -E '^#[0-9]+' "$log" | tail -n 1 || true
grep -E '^stat::(number_of_executed_units|average_exec_per_sec|new_units_added|peak_rss_mb)' "$log" || true
echo "log: $log"
echo "new corpus inputs: $work/corpus ($(find "$work/corpus" -type f | wc -l) files)"
artifacts=$(find "$work/artifacts" -type f | wc -l)
echo "findings: $artifacts in $work/artifacts"
if [ "$status" -ne 0 ] || [ "$artifacts" -ne 0 ]; then
  grep -E 'ERROR|SUMMARY|Test unit written' "$log" | head -n 20 || true
  exit 1
fi
