#!/usr/bin/env bash
# Runs the README's batch one-liner, exactly as the README writes it, on a
# small folder tree: every FITS file gets a preview, a second run redoes
# nothing, and a changed source is redone.
#   tests/test_batch.sh DIR_OF_SKYIMG SOURCE_DIR
set -euo pipefail
bin=$1 root=$2
export PATH="$bin:$PATH"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/data/night 1/Dark" "$work/data/night2" "$work/previews"
cp "$root/samples/starfield.fits" "$work/data/night 1/m31.fits"
cp "$root/samples/starfield.fits" "$work/data/night 1/Dark/d1.FIT"
cp "$root/samples/bayer_rggb.fits" "$work/data/night2/colour.fits"
echo "not an image" > "$work/data/night2/notes.txt"

# The block between the markers in the README, less its first line, which
# names the two folders.
oneliner=$(sed -n '/<!-- batch-one-liner -->/,/<!-- \/batch-one-liner -->/p' "$root/README.md" | sed '1,3d;$d' | sed '$d')
[ -n "$oneliner" ] || { echo "no batch one-liner in the README"; exit 1; }
run() { (src="$work/data" dst="$work/previews"; eval "$oneliner"); }

run
expected=("night 1/m31.fits.jpg" "night 1/Dark/d1.FIT.jpg" "night2/colour.fits.jpg")
for f in "${expected[@]}"; do
  [ -s "$work/previews/$f" ] || { echo "missing preview: $f"; exit 1; }
done
[ "$(find "$work/previews" -type f | wc -l)" -eq 3 ] || { echo "unexpected files:"; find "$work/previews"; exit 1; }

stamp=$(stat -c '%y' "$work/previews/night2/colour.fits.jpg")
before=$(stat -c '%y' "$work/previews/night 1/m31.fits.jpg")
sleep 1.1
touch "$work/data/night2/colour.fits"
run
[ "$(stat -c '%y' "$work/previews/night 1/m31.fits.jpg")" = "$before" ] || { echo "an up-to-date preview was redone"; exit 1; }
[ "$(stat -c '%y' "$work/previews/night2/colour.fits.jpg")" != "$stamp" ] ||
  { echo "a changed source was not redone"; exit 1; }
echo "batch one-liner: 3 previews, up-to-date ones skipped, changed ones redone"
