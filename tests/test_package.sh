#!/usr/bin/env bash
# Builds the Debian package from the build tree and checks what it holds:
# the program, its manual page, and run-time dependencies found by shlibdeps.
# With KEEP_DIR, the package is left there.
#   tests/test_package.sh BUILD_DIR [KEEP_DIR]
set -euo pipefail
build=$1 keep=${2:-}
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
(cd "$build" && cpack -G DEB -B "$out" >/dev/null)
deb=$(ls "$out"/skyimg_*.deb)
contents=$(dpkg-deb -c "$deb")
fail=0
for path in ./usr/bin/skyimg ./usr/share/man/man1/skyimg.1.gz; do
  grep -q " $path\$" <<<"$contents" || { echo "missing from the package: $path"; fail=1; }
done
depends=$(dpkg-deb -f "$deb" Depends)
for lib in libcfitsio libwcs libraw libgsl libqt5core5a libqt5gui5 qt5-image-formats-plugins; do
  grep -q "$lib" <<<"$depends" || { echo "Depends lacks $lib: $depends"; fail=1; }
done
[ "$(dpkg-deb -f "$deb" Package)" = skyimg ] || { echo "wrong package name"; fail=1; }
[ "$fail" -eq 0 ] && [ -n "$keep" ] && cp "$deb" "$keep/"
[ "$fail" -eq 0 ] && echo "package $(basename "$deb") holds the program and its manual page; Depends: $depends"
exit $fail
