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

for f in mono16.fits float32.fits rggb16.fits rgb8.fits small16.fits "${packed[@]}"; do
  measure "sky-preview-$f" "$skyimg --save-preview $out/p.jpg --max-width 800 -q 90 $work/$f"
  measure "sky-thumb-$f" "$skyimg --save-thumb $out/t.jpg -q 90 $work/$f"
done
for f in "${packed[@]}"; do
  measure "fitspng-$f" "fitspng -s 8 -o $out/f.png $work/$f"
done
for f in mono16.fits float32.fits rggb16.fits rgb8.fits small16.fits; do
  measure "fitspng-$f" "fitspng -s 8 -o $out/f.png $work/$f"
  measure "vips-$f" "vipsthumbnail $work/$f -s 800 -o $out/v.jpg[Q=90]"
  measure "floor-$f" "$root/build/bench/read_floor $work/$f"
done
measure "sky-meta-mono16.fits" "$skyimg --meta $work/mono16.fits"
measure "sky-meta-tiny16.fits" "$skyimg --meta $work/tiny16.fits"
measure "sky-meta-mono16-r.fits.fz" "$skyimg --meta $work/mono16-r.fits.fz"
for f in mono16.xisf mono16-zlibsh.xisf; do
  [ -f "$work/$f" ] && measure "sky-preview-$f" "$skyimg --save-preview $out/p.jpg --max-width 800 -q 90 $work/$f"
done

printf '\n%-22s %-9s %9s %7s %8s %9s %7s %8s %9s %8s %8s %8s\n' input action skyimg_s cpu_s MiB fitspng_s cpu_s MiB vips_s MiB floor_s vs_fitspng
for f in mono16.fits float32.fits rggb16.fits rgb8.fits small16.fits "${packed[@]}"; do
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
for f in mono16.xisf mono16-zlibsh.xisf; do
  [ -n "${T[sky-preview-$f]:-}" ] && printf '%-22s %-9s %9s %8s\n' "$f" preview "${T[sky-preview-$f]}" "${M[sky-preview-$f]}"
done

goal() { # text value limit
  local ok
  ok=$(awk -v v="$2" -v l="$3" 'BEGIN { print (v != "" && v != "-" && v + 0 <= l + 0) ? "met" : "NOT met" }')
  printf '%-62s %6s (limit %s) %s\n' "$1" "$2" "$3" "$ok"
}
echo
echo "Goals (ratios of times or memory measured above):"
goal "16-bit preview time / fitspng" "$(ratio "${T[sky-preview-mono16.fits]}" "${T[fitspng-mono16.fits]}")" 0.5
goal "16-bit thumbnail time / fitspng" "$(ratio "${T[sky-thumb-mono16.fits]}" "${T[fitspng-mono16.fits]}")" 0.5
goal "16-bit preview peak memory / fitspng" "$(ratio "${M[sky-preview-mono16.fits]}" "${M[fitspng-mono16.fits]}")" 1.0
goal "16-bit thumbnail peak memory / fitspng" "$(ratio "${M[sky-thumb-mono16.fits]}" "${M[fitspng-mono16.fits]}")" 1.0
goal "32-bit float preview time / fitspng" "$(ratio "${T[sky-preview-float32.fits]}" "${T[fitspng-float32.fits]}")" 0.5
goal "RGGB colour preview time / fitspng (read as mono)" "$(ratio "${T[sky-preview-rggb16.fits]}" "${T[fitspng-rggb16.fits]}")" 1.0
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
for f in mono16.xisf mono16-zlibsh.xisf; do
  [ -n "${T[sky-preview-$f]:-}" ] &&
    goal "$f preview time / FITS preview" "$(ratio "${T[sky-preview-$f]}" "${T[sky-preview-mono16.fits]}")" 1.2
done
echo
echo "machine: $(nproc) cores, $(awk '/MemTotal/ { printf "%.0f GiB", $2 / 1048576 }' /proc/meminfo), $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')"
