#!/usr/bin/env bash
# Peak memory of the tool over every committed input:  scripts/memcheck.sh [BUILD_DIR]
#
# Runs skyimg --meta and --save-preview on the fuzz corpora (FITS, XISF,
# RAW), the malformed-input suite and the samples under GNU time, and fails
# when a run's peak resident size exceeds
#     4 x max(file size, decoded image size) + allowance
# The decoded size is what the metadata record declares (NAXIS1 x NAXIS2 x
# NAXIS3 x |BITPIX| / 8, three planes for a Bayer mosaic, 4 bytes a pixel
# for pictures). Two large frames are made here as well. The allowance is
# the program itself: the peak of --meta on the smallest FITS file, measured
# here, plus 16 MiB for the picture codecs and the pool threads a preview
# adds. Needs a build without sanitizers.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
bin=$build/skyimg
[ -x "$bin" ] || { echo "no $bin: build first" >&2; exit 2; }
[ -x /usr/bin/time ] || { echo "GNU time (/usr/bin/time) is needed" >&2; exit 2; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/in" "$work/tmp"
export QT_QPA_PLATFORM=offscreen TZ=UTC TMPDIR=$work/tmp

# The FITS corpus starts every file with the harness's option byte.
for f in "$root"/fuzz/corpus/fits/*; do tail -c +2 "$f" >"$work/in/corpus_$(basename "${f%.*}").fits"; done
for f in "$root"/fuzz/corpus/xisf/* "$root"/fuzz/corpus/raw/*; do cp "$f" "$work/in/corpus_$(basename "$f")"; done
for f in "$root"/tests/data/malformed/* "$root"/samples/*; do
  case $f in *.cpp|*.md) continue ;; esac
  cp "$f" "$work/in/"
done

# Two frames of a common camera size, made here since they are too large to
# commit: a 16-bit grey one and a Bayer mosaic, which is demosaiced to three
# planes.
fits_frame() {  # NAME WIDTH HEIGHT [EXTRA CARD]
  local cards=("SIMPLE  =                    T" "BITPIX  =                   16"
    "NAXIS   =                    2" "NAXIS1  = $(printf %20d "$2")" "NAXIS2  = $(printf %20d "$3")"
    "BZERO   =                32768" ${4:+"$4"} "END")
  { for c in "${cards[@]}"; do printf '%-80s' "$c"; done
    printf '%*s' $(( (36 - ${#cards[@]} % 36) % 36 * 80 )) ''
    head -c $(( $2 * $3 * 2 )) /dev/urandom
    head -c $(( (2880 - $2 * $3 * 2 % 2880) % 2880 )) /dev/zero
  } >"$work/in/$1"
}
fits_frame generated_grey_3000x2000.fits 3000 2000
fits_frame generated_bayer_3000x2000.fits 3000 2000 "BAYERPAT= 'RGGB    '"

peak_kb() {  # peak resident size in KiB of one run of the tool
  /usr/bin/time -f %M -o "$work/rss" timeout 120 "$bin" "$@" >"$work/out" 2>/dev/null || true
  tail -n 1 "$work/rss"
}

key() {  # integer value of a key of the record in $work/out, or the default
  local v
  v=$(grep -o "\"$1\":-\?[0-9]*" "$work/out" | head -n 1 | cut -d: -f2)
  echo "${v:-$2}"
}

base_kb=$(peak_kb --meta "$root/tests/data/malformed/valid_u16.fits")
allowance=$(( base_kb * 1024 + 16 * 1024 * 1024 ))
echo "allowance: $(( allowance / 1048576 )) MiB (--meta on a 5760-byte FITS file: $(( base_kb / 1024 )) MiB, plus 16 MiB)"

failures=0 runs=0 worst=0 worst_file= highest=0 highest_file= large=0 large_file=
for f in "$work"/in/*; do
  size=$(stat -c %s "$f")
  meta_kb=$(peak_kb --meta "$f")
  case ${f,,} in
    *.fits|*.fit|*.fz|*.xisf)
      bits=$(key bitpix 8); bits=${bits#-}
      decoded=$(( $(key naxis1 0) * $(key naxis2 0) * $(key naxis3 1) * (bits > 8 ? bits / 8 : 1) ))
      # A mosaic becomes three colour planes.
      grep -q '"bayerpat"' "$work/out" && decoded=$(( decoded * 3 )) ;;
    *)
      decoded=$(( $(key naxis1 0) * $(key naxis2 0) * 4 )) ;;
  esac
  (( decoded >= 0 && decoded < 1 << 40 )) || decoded=0
  reference=$(( size > decoded ? size : decoded ))
  limit=$(( 4 * reference + allowance ))
  preview_kb=$(peak_kb --save-preview "$work/preview.png" -f png "$f")
  for kb in "$meta_kb" "$preview_kb"; do
    runs=$(( runs + 1 ))
    bytes=$(( kb * 1024 ))
    # Share of the limit used, in hundredths of a percent.
    share=$(( bytes * 10000 / limit ))
    if (( share > worst )); then worst=$share; worst_file=$(basename "$f"); fi
    # For inputs of a megabyte or more, the growth over the bare program
    # per byte of the reference says more than the allowance-dominated share.
    if (( reference >= 1 << 20 )); then
      ratio=$(( (bytes - base_kb * 1024) * 100 / reference ))
      if (( ratio > large )); then large=$ratio; large_file=$(basename "$f"); fi
    fi
    if (( kb > highest )); then highest=$kb; highest_file=$(basename "$f"); fi
    if (( bytes > limit )); then
      echo "FAIL $(basename "$f"): peak $(( kb / 1024 )) MiB, limit $(( limit / 1048576 )) MiB (file $size bytes, image $decoded bytes)"
      failures=$(( failures + 1 ))
    fi
  done
  rm -f "$work/preview.png"
done

hundredths() { echo "$(( $1 / 100 )).$(printf %02d $(( $1 % 100 )))"; }
echo "$runs runs; highest peak $(( highest / 1024 )) MiB ($highest_file)"
echo "largest share of its limit: $(hundredths "$worst")% ($worst_file)"
echo "largest growth over the bare program for inputs of 1 MiB or more: $(hundredths "$large") x max(file, image) ($large_file)"
if [ -n "$(ls -A "$work/tmp")" ]; then
  echo "FAIL temporary files left behind: $(ls -A "$work/tmp")"
  failures=$(( failures + 1 ))
fi
exit $(( failures > 0 ))
