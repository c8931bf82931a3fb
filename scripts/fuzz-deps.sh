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
# deb-src list under PREFIX/src, made from the archives the machine's own apt
# sources name, so it goes through whatever mirror or proxy they use.
#
# Sourcing this file defines its helpers and runs nothing
# (tests/test_fuzz_deps.sh does so).
set -euo pipefail

# Prints the deb-src counterpart of the "deb" entries in the apt source file
# FILE that belong to the release CODENAME (suites CODENAME and CODENAME-*):
# other vendors' repositories seldom publish sources, and one that cannot be
# reached would fail the update. A FILE ending in .sources holds deb822
# stanzas and gets stanzas back (their other fields, Signed-By included, kept
# as they are); any other FILE holds one-line entries and gets lines back.
deb_src_entries() {  # FILE CODENAME
  local file=$1 codename=$2
  case $file in
    *.sources)
      awk -v codename="$codename" '
        function ours(suite) { return suite == codename || index(suite, codename "-") == 1 }
        function flush(   i, n, words, kept, isDeb, enabled) {
          if (count == 0) return
          n = split(value["types"], words, /[ \t]+/)
          for (i = 1; i <= n; i++) if (words[i] == "deb") isDeb = 1
          enabled = tolower(value["enabled"])
          n = split(value["suites"], words, /[ \t]+/)
          kept = ""
          for (i = 1; i <= n; i++) if (words[i] != "" && ours(words[i])) kept = kept " " words[i]
          if (isDeb && enabled != "no" && kept != "") {
            if (printed++) print ""
            print "Types: deb-src"
            print "Suites:" kept
            for (i = 1; i <= count; i++) if (field[i] != "types" && field[i] != "suites") print text[i]
          }
          count = 0; delete value
        }
        /^#/ { next }
        /^[ \t]*$/ { flush(); next }
        /^[ \t]/ { if (count) { text[count] = text[count] "\n" $0; value[field[count]] = value[field[count]] " " $0 }; next }
        {
          name = tolower(substr($0, 1, index($0, ":") - 1))
          field[++count] = name; text[count] = $0
          value[name] = substr($0, index($0, ":") + 1)
          sub(/^[ \t]+/, "", value[name]); sub(/[ \t]+$/, "", value[name])
        }
        END { flush() }
      ' "$file"
      ;;
    *)
      awk -v codename="$codename" '
        $1 != "deb" { next }
        {
          line = $0; sub(/^[ \t]*deb[ \t]+/, "", line); options = ""
          if (substr(line, 1, 1) == "[") {
            options = substr(line, 1, index(line, "]")); line = substr(line, index(line, "]") + 1)
            options = options " "
          }
          sub(/#.*/, "", line)
          n = split(line, words, /[ \t]+/)
          first = (words[1] == "") ? 2 : 1
          suite = words[first + 1]
          if (suite != codename && index(suite, codename "-") != 1) next
          out = "deb-src " options words[first]
          for (i = first + 1; i <= n; i++) if (words[i] != "") out = out " " words[i]
          print out
        }
      ' "$file"
      ;;
  esac
}

# Writes into DIR the deb-src entries of every apt source file the machine
# uses (apt's own configuration names them) for release CODENAME.
write_deb_src_list() {  # DIR CODENAME
  local dir=$1 codename=$2 list parts file n=0
  eval "$(apt-config shell list Dir::Etc::SourceList/f parts Dir::Etc::SourceParts/d)"
  for file in "$list" "${parts%/}"/*.list "${parts%/}"/*.sources; do
    [ -f "$file" ] || continue
    n=$((n + 1))
    local out=$dir/$n-$(basename "$file")
    deb_src_entries "$file" "$codename" >"$out"
    [ -s "$out" ] || rm -f "$out"
  done
  if ! compgen -G "$dir/*" >/dev/null; then
    echo "fuzz-deps: no apt source for $codename in $list or $parts" >&2
    return 1
  fi
}

# Unpacks the first tarball in DIR matching the glob PATTERN into DIR and
# prints the folder it made. The whole listing is read: a reader that stops
# at the first name (head) kills tar with SIGPIPE, which pipefail turns into
# a failure without a word once the listing outgrows the pipe's buffer.
unpack_tarball() {  # DIR PATTERN
  local dir=$1 pattern=$2 tarball= candidate top
  for candidate in "$dir"/$pattern; do
    if [ -f "$candidate" ]; then
      tarball=$candidate
      break
    fi
  done
  [ -n "$tarball" ] || { echo "fuzz-deps: no $pattern in $dir" >&2; return 1; }
  top=$(tar -tf "$tarball" | awk -F/ '{ sub(/^\.\//, "") } top == "" && $1 != "" { top = $1 } END { print top }')
  [ -n "$top" ] || { echo "fuzz-deps: $tarball lists no files" >&2; return 1; }
  tar -C "$dir" -xf "$tarball"
  [ -d "$dir/$top" ] || { echo "fuzz-deps: $tarball holds no folder $top" >&2; return 1; }
  printf '%s\n' "$top"
}

main() {
  [ $# -eq 1 ] || { echo "usage: $0 PREFIX" >&2; exit 2; }
  # A failing step says where, instead of ending the script without a word.
  trap 'echo "fuzz-deps: failed (status $?) at line $LINENO: $BASH_COMMAND" >&2' ERR
  prefix=$(realpath -m "$1")
  src=$prefix/src
  flags="-g -O1 -fno-omit-frame-pointer -fsanitize=fuzzer-no-link,address,undefined"
  jobs=$(nproc)
  mkdir -p "$src" "$prefix/lib/pkgconfig" "$prefix/include"

  apt_dir=$src/apt
  rm -rf "$apt_dir/sources"
  mkdir -p "$apt_dir/lists/partial" "$apt_dir/archives/partial" "$apt_dir/sources"
  codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
  write_deb_src_list "$apt_dir/sources" "$codename"
  apt_opts=(-o Dir::Etc::SourceList=/dev/null -o "Dir::Etc::SourceParts=$apt_dir/sources"
    -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::Cache::Archives=$apt_dir/archives")
  apt-get "${apt_opts[@]}" update >/dev/null
  # Only the upstream tarballs are used, so a missing Debian part is no
  # failure. They are asked for from the release itself: an update suite's
  # archive need not hold the upstream tarball its newer revision shares.
  local package log=$src/apt/source.log
  : >"$log"
  for package in cfitsio wcslib libraw; do
    (cd "$src" && apt-get "${apt_opts[@]}" source --download-only "$package/$codename" >>"$log" 2>&1) || true
    compgen -G "$src/${package}_*.orig.tar.*" >/dev/null ||
      { echo "fuzz-deps: the source of $package could not be fetched; see $log" >&2; exit 1; }
  done

  echo "== CFITSIO"
  dir=$src/$(unpack_tarball "$src" 'cfitsio_*.orig.tar.*')
  (cd "$dir" && CC=clang CFLAGS="$flags" ./configure --prefix="$prefix" --enable-reentrant >/dev/null &&
    make -j"$jobs" >/dev/null && make install >/dev/null)
  rm -f "$prefix"/lib/libcfitsio.so*  # the static library is the one to link

  echo "== WCSLIB"
  dir=$src/$(unpack_tarball "$src" 'wcslib_*.orig.tar.*')
  version=$(sed -n '/^WCSLIB [0-9]/{s/^WCSLIB \([0-9.]*\).*/\1/p;q;}' "$dir/README")
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
  dir=$src/$(unpack_tarball "$src" 'libraw_*.orig.tar.*')
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
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  main "$@"
fi
