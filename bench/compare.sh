#!/usr/bin/env bash
# Times skyimg against other FITS preview tools on the same generated files,
# in one run, and prints one table with skyimg's ratio to each peer.
#
#   bench/compare.sh [RUNS]      (default 5 runs per command after a warm-up)
#   SKYIMG=/path/to/skyimg bench/compare.sh   times another build of skyimg
#
# Installs what it needs from Debian (hyperfine, fitspng, libvips-tools,
# GNU time), builds skyimg in build/, and writes the inputs to a temporary
# folder that is removed at the end.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
runs=${1:-5}
"$root/scripts/install-deps.sh" hyperfine fitspng libvips-tools time libcfitsio-bin
"$root/scripts/build.sh" "$root/build" -DSKYIMG_BENCH=ON >/dev/null
export QT_QPA_PLATFORM=offscreen

skyimg=${SKYIMG:-$root/build/skyimg}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$root/build/bench/make_bench_images" "$work"
if [ -x "$root/build/bench/make_bench_xisf" ]; then
  "$root/build/bench/make_bench_xisf" "$work"
fi
out=$work/out
mkdir -p "$out"
# The packed files as fpack writes them: the 16-bit field as Rice, GZIP_1,
# GZIP_2, PLIO and HCOMPRESS, and the float field quantised with dithering
# (fpack's default for floats).
packed=()
for v in r g g2 p h; do
  fpack -$v -O "$work/mono16-$v.fits.fz" "$work/mono16.fits" && packed+=("mono16-$v.fits.fz")
done
fpack -O "$work/float32.fits.fz" "$work/float32.fits" && packed+=(float32.fits.fz)

# seconds (median of the runs) of one command, started without a shell;
# the median, since other work on the machine lengthens single runs
time_of() {
  hyperfine -N --style none --warmup 1 --runs "$runs" --export-csv "$work/t.csv" "$1" >/dev/null 2>&1 || { echo nan; return; }
  awk -F, 'NR == 1 { for (i = 1; i <= NF; ++i) if ($i == "median") c = i } NR == 2 { printf "%.3f", $c }' "$work/t.csv"
}
# processor seconds (user + system, mean of the last timing's runs): less
# swayed by other work than the wall-clock time
cpu_of() {
  awk -F, 'NR == 1 { for (i = 1; i <= NF; ++i) { if ($i == "user") u = i; if ($i == "system") s = i } }
           NR == 2 { printf "%.3f", $u + $s }' "$work/t.csv"
}
# peak resident memory in MiB (largest of three runs)
mem_of() {
  local peak=0 kb
  for _ in 1 2 3; do
    /usr/bin/time -f '%M' -o "$work/mem" $1 >/dev/null 2>&1 || true
    kb=$(tail -n 1 "$work/mem")
    [ "$kb" -gt "$peak" ] 2>/dev/null && peak=$kb
  done
  awk -v k="$peak" 'BEGIN { printf "%.0f", k / 1024 }'
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }'; }

declare -A T C M
measure() { # key command
  T[$1]=$(time_of "$2")
  C[$1]=$(cpu_of)
  M[$1]=$(mem_of "$2")
}

big="mono16-61mp.fits rggb16-61mp.fits"
for f in mono16.fits float32.fits rggb16.fits rgb8.fits small16.fits "${packed[@]}" $big; do
  measure "sky-preview-$f" "$skyimg --save-preview $out/p.jpg --max-width 800 -q 90 $work/$f"
  measure "sky-thumb-$f" "$skyimg --save-thumb $out/t.jpg -q 90 $work/$f"
done
for f in "${packed[@]}"; do
  measure "fitspng-$f" "fitspng -s 8 -o $out/f.png $work/$f"
done
for f in mono16.fits float32.fits rggb16.fits rgb8.fits small16.fits $big; do
  measure "fitspng-$f" "fitspng -s 8 -o $out/f.png $work/$f"
  measure "vips-$f" "vipsthumbnail $work/$f -s 800 -o $out/v.jpg[Q=90]"
  measure "floor-$f" "$root/build/bench/read_floor $work/$f"
done
measure "sky-meta-mono16.fits" "$skyimg --meta $work/mono16.fits"
measure "sky-meta-tiny16.fits" "$skyimg --meta $work/tiny16.fits"
measure "sky-meta-mono16-r.fits.fz" "$skyimg --meta $work/mono16-r.fits.fz"
# the XISF variants of mono16 (make_bench_xisf): uncompressed, each codec
# without and with byte shuffling, zlib with shuffling in 8 sub-blocks
xisf_files="mono16.xisf mono16-zlibsh.xisf mono16-zlibsh-sub.xisf mono16-zlib.xisf mono16-lz4.xisf
  mono16-lz4sh.xisf mono16-lz4hc.xisf mono16-lz4hcsh.xisf mono16-zstd.xisf mono16-zstdsh.xisf"
# the FITS preview they are held against, timed again right before them so
# that the ratios see the same load on the machine
measure xisf-reference "$skyimg --save-preview $out/p.jpg --max-width 800 -q 90 $work/mono16.fits"
for f in $xisf_files; do
  [ -f "$work/$f" ] && measure "sky-preview-$f" "$skyimg --save-preview $out/p.jpg --max-width 800 -q 90 $work/$f"
done

printf '\n%-22s %-9s %9s %7s %8s %9s %7s %8s %9s %8s %8s %8s\n' input action skyimg_s cpu_s MiB fitspng_s cpu_s MiB vips_s MiB floor_s vs_fitspng
for f in mono16.fits float32.fits rggb16.fits rgb8.fits small16.fits "${packed[@]}" $big; do
  for a in preview thumb; do
    k="sky-$a-$f"
    printf '%-22s %-9s %9s %7s %8s %9s %7s %8s %9s %8s %8s %8s\n' "$f" "$a" "${T[$k]}" "${C[$k]}" "${M[$k]}" \
      "${T[fitspng-$f]:--}" "${C[fitspng-$f]:--}" "${M[fitspng-$f]:--}" "${T[vips-$f]:--}" "${M[vips-$f]:--}" \
      "${T[floor-$f]:--}" "$(ratio "${T[$k]}" "${T[fitspng-$f]:-0}")"
  done
done
printf '%-22s %-9s %9s %8s\n' mono16.fits meta "${T[sky-meta-mono16.fits]}" "${M[sky-meta-mono16.fits]}"
printf '%-22s %-9s %9s %8s\n' tiny16.fits meta "${T[sky-meta-tiny16.fits]}" "${M[sky-meta-tiny16.fits]}"
printf '%-22s %-9s %9s %8s\n' mono16-r.fits.fz meta "${T[sky-meta-mono16-r.fits.fz]}" "${M[sky-meta-mono16-r.fits.fz]}"
printf '%-22s %-9s %9s %7s %8s\n' "mono16.fits (again)" preview "${T[xisf-reference]}" "${C[xisf-reference]}" "${M[xisf-reference]}"
for f in $xisf_files; do
  [ -n "${T[sky-preview-$f]:-}" ] &&
    printf '%-22s %-9s %9s %7s %8s\n' "$f" preview "${T[sky-preview-$f]}" "${C[sky-preview-$f]}" "${M[sky-preview-$f]}"
done

goal() { # text value limit
  local ok
  ok=$(awk -v v="$2" -v l="$3" 'BEGIN { print (v != "" && v != "-" && v + 0 <= l + 0) ? "met" : "NOT met" }')
  printf '%-62s %6s (limit %s) %s\n' "$1" "$2" "$3" "$ok"
}
echo
echo "Goals (ratios of times or memory measured above):"
goal "16-bit mono preview time / fitspng" "$(ratio "${T[sky-preview-mono16.fits]}" "${T[fitspng-mono16.fits]}")" 0.15
goal "32-bit float preview time / fitspng" "$(ratio "${T[sky-preview-float32.fits]}" "${T[fitspng-float32.fits]}")" 0.25
goal "RGGB colour preview time / fitspng (read as mono)" "$(ratio "${T[sky-preview-rggb16.fits]}" "${T[fitspng-rggb16.fits]}")" 0.4
goal "  the same in processor time: 16-bit mono" "$(ratio "${C[sky-preview-mono16.fits]}" "${C[fitspng-mono16.fits]}")" 0.15
goal "  32-bit float" "$(ratio "${C[sky-preview-float32.fits]}" "${C[fitspng-float32.fits]}")" 0.25
goal "  RGGB colour" "$(ratio "${C[sky-preview-rggb16.fits]}" "${C[fitspng-rggb16.fits]}")" 0.4
goal "meta 6000x4000 time / meta 100x100" "$(ratio "${T[sky-meta-mono16.fits]}" "${T[sky-meta-tiny16.fits]}")" 1.5
goal "meta Rice .fz time / meta of its original" "$(ratio "${T[sky-meta-mono16-r.fits.fz]}" "${T[sky-meta-mono16.fits]}")" 1.5
# A packed file against fitspng on the same file, against skyimg on the file
# it was packed from, and its peak memory against that file's preview plus
# the packed bytes.
for f in "${packed[@]}"; do
  plain=${f%%-*}; plain=${plain%.fits.fz}.fits
  limit=$(awk -v m="${M[sky-preview-$plain]}" -v b="$(stat -c %s "$work/$f")" 'BEGIN { printf "%.0f", m + b / 1048576 }')
  for a in preview thumb; do
    goal "$f $a time / fitspng" "$(ratio "${T[sky-$a-$f]}" "${T[fitspng-$f]}")" 0.5
    goal "$f $a time / $plain $a" "$(ratio "${T[sky-$a-$f]}" "${T[sky-$a-$plain]}")" 2.0
  done
  goal "$f preview peak MiB (limit: $plain preview + packed bytes)" "${M[sky-preview-$f]}" "$limit"
done
# Peak memory above the --meta run, less 8 MiB for encoders and the pool, in
# units of the file's sample bytes (the plain FITS file's size: its header
# is a few KiB). At most 1.0; 0.25 when memory stops growing with the image.
above() { # peak_MiB samples_file
  awk -v p="$1" -v m="${M[sky-meta-mono16.fits]}" -v b="$(stat -c %s "$2")" \
    'BEGIN { if (p == "" || p == "-") print "-"; else printf "%.2f", (p - m - 8) / (b / 1048576) }'
}
for f in mono16.fits float32.fits rggb16.fits rgb8.fits "${packed[@]}" $big mono16.xisf mono16-zlibsh.xisf; do
  samples=$work/$f
  case $f in
    *.fz) samples=${f%%-*}; samples=$work/${samples%.fits.fz}.fits ;;
    *.xisf) samples=$work/mono16.fits ;;
  esac
  for a in preview thumb; do
    [ -n "${M[sky-$a-$f]:-}" ] || continue
    r=$(above "${M[sky-$a-$f]}" "$samples")
    goal "$f $a memory above meta + 8 MiB / sample bytes" "$r" 1.0
    worst=$(awk -v a="${worst:-0}" -v b="$r" 'BEGIN { print (b + 0 > a + 0) ? b : a }')
  done
done
goal "stretch goal: the largest of these" "${worst:-}" 0.25
# XISF preview time against the FITS preview of the same samples:
# uncompressed 1.1, zlib 2, the faster codecs 1.3
xisf_limit() {
  case $1 in
    mono16.xisf) echo 1.1 ;;
    mono16-zlib*) echo 2 ;;
    *) echo 1.3 ;;
  esac
}
for f in $xisf_files; do
  if [ -n "${T[sky-preview-$f]:-}" ]; then
    goal "$f preview time / FITS preview" "$(ratio "${T[sky-preview-$f]}" "${T[xisf-reference]}")" "$(xisf_limit "$f")"
    goal "$f preview cpu time / FITS preview" "$(ratio "${C[sky-preview-$f]}" "${C[xisf-reference]}")" "$(xisf_limit "$f")"
  fi
done
echo
echo "machine: $(nproc) cores, $(awk '/MemTotal/ { printf "%.0f GiB", $2 / 1048576 }' /proc/meminfo), $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')"
