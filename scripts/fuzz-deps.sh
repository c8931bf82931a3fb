#!/usr/bin/env bash
# Builds CFITSIO, WCSLIB and LibRaw from their Debian source packages as
# static libraries with libFuzzer coverage, AddressSanitizer and
# UndefinedBehaviorSanitizer, under PREFIX:  scripts/fuzz-deps.sh PREFIX
#
# With the distribution's libraries the fuzzer sees coverage of our code
# only and drives CFITSIO, WCSLIB and LibRaw blind. Then run
#     FUZZ_DEPS=PREFIX scripts/fuzz.sh TARGET SECONDS
# to fuzz against these builds (build-fuzz-deps). The system's apt
# configuration is left alone: the source packages come through a private
# deb-src list under PREFIX/src.
set -euo pipefail
[ $# -eq 1 ] || { echo "usage: $0 PREFIX" >&2; exit 2; }
prefix=$(realpath -m "$1")
src=$prefix/src
flags="-g -O1 -fno-omit-frame-pointer -fsanitize=fuzzer-no-link,address,undefined"
jobs=$(nproc)
mkdir -p "$src" "$prefix/lib/pkgconfig" "$prefix/include"

apt_dir=$src/apt
mkdir -p "$apt_dir/lists/partial" "$apt_dir/archives/partial" "$apt_dir/sources"
codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
cat >"$apt_dir/sources/deb-src.sources" <<EOF
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: $codename
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
apt_opts=(-o Dir::Etc::SourceList=/dev/null -o "Dir::Etc::SourceParts=$apt_dir/sources"
  -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::Cache::Archives=$apt_dir/archives")
apt-get "${apt_opts[@]}" update >/dev/null
# Only the upstream tarballs are used; a missing Debian part is no failure.
(cd "$src" && apt-get "${apt_opts[@]}" source --download-only cfitsio wcslib libraw >/dev/null 2>&1) || true
unpack() {  # PATTERN: unpacks the orig tarball and prints its folder
  local tarball
  tarball=$(ls "$src"/$1 | head -n 1)
  [ -f "$tarball" ] || { echo "no $1 in $src" >&2; exit 1; }
  tar -C "$src" -xf "$tarball"
  tar -tf "$tarball" | head -n 1 | cut -d/ -f1
}

echo "== CFITSIO"
dir=$src/$(unpack 'cfitsio_*.orig.tar.*')
(cd "$dir" && CC=clang CFLAGS="$flags" ./configure --prefix="$prefix" --enable-reentrant >/dev/null &&
  make -j"$jobs" >/dev/null && make install >/dev/null)
rm -f "$prefix"/lib/libcfitsio.so*  # the static library is the one to link

echo "== WCSLIB"
dir=$src/$(unpack 'wcslib_*.orig.tar.*')
version=$(sed -n 's/^WCSLIB \([0-9.]*\).*/\1/p' "$dir/README" | head -n 1)
printf '#define HAVE_WCSLIB_VERSION\n#define WCSLIB_VERSION %s\n#define HAVE_SINCOS 1\n#define WCSLIB_INT64 long long int\n' \
  "${version:-7}" >"$dir/C/wcsconfig.h"
mkdir -p "$dir/obj" "$prefix/include/wcslib"
# The scanners come generated in C/flexed, so no flex is needed.
for f in "$dir"/C/*.c "$dir"/C/flexed/*.c; do
  clang -c $flags -w -I"$dir/C" "$f" -o "$dir/obj/$(basename "${f%.c}").o" &
  while [ "$(jobs -r | wc -l)" -ge "$jobs" ]; do wait -n; done
done
wait
ar crs "$prefix/lib/libwcs.a" "$dir"/obj/*.o
cp "$dir"/C/*.h "$prefix/include/wcslib/"
cat >"$prefix/lib/pkgconfig/wcslib.pc" <<EOF
Name: WCSLIB
Description: WCSLIB built for fuzzing
Version: ${version:-7}
Libs: -L$prefix/lib -lwcs -lm
Cflags: -I$prefix/include
EOF

echo "== LibRaw"
dir=$src/$(unpack 'libraw_*.orig.tar.*')
# Instrumented, the DCB demosaic keeps clang busy for more than half an
# hour; the embedded-picture path never reaches it, so it is built plain.
mkdir -p "$dir/object"
clang++ -c -O1 -I"$dir" -w -o "$dir/object/dcb_demosaic.mt.o" "$dir/src/demosaic/dcb_demosaic.cpp"
(cd "$dir" && make -f Makefile.dist -j"$jobs" lib/libraw_r.a CC=clang CXX=clang++ CFLAGS="-I. -w $flags" >/dev/null)
cp "$dir/lib/libraw_r.a" "$prefix/lib/"
mkdir -p "$prefix/include/libraw"
cp "$dir"/libraw/*.h "$prefix/include/libraw/"
cat >"$prefix/lib/pkgconfig/libraw_r.pc" <<EOF
Name: libraw_r
Description: LibRaw built for fuzzing
Version: 0
Libs: -L$prefix/lib -lraw_r -lstdc++ -lm -lpthread -lz
Cflags: -I$prefix/include
EOF
echo "instrumented libraries in $prefix; now: FUZZ_DEPS=$prefix scripts/fuzz.sh TARGET SECONDS"
