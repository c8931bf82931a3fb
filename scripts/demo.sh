#!/usr/bin/env bash
# Installs what is missing, builds, and runs skyimg on the bundled samples:
# a metadata record, a preview and a thumbnail of each.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"
"$root/scripts/build.sh" "$root/build"
export QT_QPA_PLATFORM=offscreen
out=${DEMO_OUT:-$root/build/demo}
mkdir -p "$out"
skyimg=$root/build/skyimg
status=0
for f in "$root"/samples/*; do
  case "$f" in *.md|*.cpp) continue ;; esac
  name=$(basename "$f")
  echo "== $name"
  "$skyimg" --meta "$f" || status=1
  echo
  "$skyimg" --save-preview "$out/$name.preview.jpg" --max-width 800 -q 90 "$f" || status=1
  "$skyimg" --save-thumb "$out/$name.thumb.png" -f png "$f" || status=1
done
echo "== previews and thumbnails written to $out"
ls -l "$out"
exit $status
