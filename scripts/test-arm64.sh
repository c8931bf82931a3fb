#!/usr/bin/env bash
# Cross-builds skyimg for arm64, runs the whole test suite under a user-mode
# emulator, builds the arm64 Debian package and checks that the arm64 tool
# writes the same bytes as the native one:
#   scripts/test-arm64.sh [NATIVE_BUILD_DIR]      (default build/)
# Installs what is missing on a Debian 12 machine (the arm64 architecture,
# the cross compiler, the :arm64 libraries and an emulator from the
# backports suite), so it needs root or sudo. The cross build tree is
# build-arm64/; the package is left there.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
native=${1:-$root/build}
cross=$root/build-arm64
export TZ=UTC LC_ALL=C.UTF-8 QT_QPA_PLATFORM=offscreen DEBIAN_FRONTEND=noninteractive
jobs=$(nproc)
sudo_cmd=()
[ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
stage_start=$SECONDS
stage() {  # prints how long the previous stage took, then the next one's name
  [ -z "${stage_name:-}" ] || echo "   ($stage_name: $((SECONDS - stage_start)) s)"
  stage_name=$1 stage_start=$SECONDS
  [ -z "$1" ] || echo "== arm64: $1"
}

# The native tools first (dpkg-architecture among them).
"$root/scripts/install-deps.sh"
. /etc/os-release
codename=$VERSION_CODENAME
arch=arm64
triplet=$(dpkg-architecture -a"$arch" -qDEB_HOST_MULTIARCH 2>/dev/null)

# The libraries of the target, installed beside the native ones. libgsl-dev
# cannot be (it is not Multi-Arch: same); only its runtime is installed
# here, and the link uses the overlay made below.
packages=(g++-"$triplet" pkg-config)
for p in libc6-dev qtbase5-dev qt5-image-formats-plugins libcfitsio-dev wcslib-dev libraw-dev \
  zlib1g-dev liblz4-dev libzstd-dev libdeflate-dev libgtest-dev libgsl27 libgslcblas0; do
  packages+=("$p:$arch")
done
# The distribution's qemu 7.2 cannot start child processes: its clone()
# lacks CLONE_PIDFD, which Qt's QProcess uses. Backports has a current one.
qemu_package=qemu-user-static
qemu_least=1:8

# Adds the backports suite of this release from the machine's own apt
# sources (same archive, same components, same key), unless it is there.
add_backports() {
  local sources=(/etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources)
  if grep -qsE "^[^#]*[[:space:]]$codename-backports([[:space:]]|\$)" "${sources[@]}"; then
    return
  fi
  local entry
  entry=$(awk -v suite="$codename" '
    BEGIN { RS = ""; FS = "\n" }
    {
      deb = 0; has = 0; uris = ""; comps = ""; key = ""
      for (i = 1; i <= NF; i++) {
        if ($i ~ /^#/ || $i !~ /:/) continue
        name = substr($i, 1, index($i, ":") - 1); value = substr($i, index($i, ":") + 1)
        gsub(/^[ \t]+|[ \t]+$/, "", value)
        if (name == "Types" && (" " value " ") ~ / deb /) deb = 1
        else if (name == "URIs") uris = value
        else if (name == "Suites" && (" " value " ") ~ (" " suite " ")) has = 1
        else if (name == "Components") comps = value
        else if (name == "Signed-By") key = value
      }
      if (deb && has && uris != "") {
        printf "Types: deb\nURIs: %s\nSuites: %s-backports\nComponents: %s\n", uris, suite, comps
        if (key != "") printf "Signed-By: %s\n", key
        exit
      }
    }' /etc/apt/sources.list.d/*.sources 2>/dev/null || true)
  if [ -n "$entry" ]; then
    printf '%s\n' "$entry" | "${sudo_cmd[@]}" tee "/etc/apt/sources.list.d/$codename-backports.sources" >/dev/null
    return
  fi
  # One-line format: "deb [options] URI SUITE COMPONENTS..."
  entry=$(awk -v suite="$codename" '$1 == "deb" {
      line = $0; sub(/^deb[ \t]+/, "", line)
      options = ""
      if (line ~ /^\[/) { options = substr(line, 1, index(line, "]")); line = substr(line, index(line, "]") + 1) }
      n = split(line, f, /[ \t]+/); start = (f[1] == "") ? 2 : 1
      if (f[start + 1] != suite) next
      out = "deb " (options != "" ? options " " : "") f[start] " " suite "-backports"
      for (i = start + 2; i <= n; i++) out = out " " f[i]
      print out; exit
    }' /etc/apt/sources.list 2>/dev/null || true)
  [ -n "$entry" ] || { echo "no apt source for $codename to take the backports suite from" >&2; exit 1; }
  printf '%s\n' "$entry" | "${sudo_cmd[@]}" tee "/etc/apt/sources.list.d/$codename-backports.list" >/dev/null
}

installed() {  # true when the package is installed (at least at the version given)
  local version
  version=$(dpkg-query -W -f='${Status} ${Version}' "$1" 2>/dev/null) || return 1
  [[ $version == "install ok installed "* ]] || return 1
  [ -z "${2:-}" ] || dpkg --compare-versions "${version##* }" ge "$2"
}

stage "install the cross compiler, the $arch libraries and the emulator"
missing=()
for p in "${packages[@]}"; do
  installed "$p" || missing+=("$p")
done
installed "$qemu_package" "$qemu_least" || missing+=("$qemu_package/$codename-backports")
if [ "${#missing[@]}" -gt 0 ]; then
  echo "installing ${missing[*]}"
  dpkg --print-foreign-architectures | grep -qx "$arch" || "${sudo_cmd[@]}" dpkg --add-architecture "$arch"
  add_backports
  "${sudo_cmd[@]}" apt-get -o DPkg::Lock::Timeout=600 update -qq
  "${sudo_cmd[@]}" apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# Child processes of the tests (the tool run by QProcess, by the batch test's
# shell) are arm64 programs started by the kernel: it hands them to the
# emulator once the format is registered. Without systemd nobody reads
# /usr/lib/binfmt.d, so register it here.
binfmt=/proc/sys/fs/binfmt_misc
if [ ! -e "$binfmt/qemu-aarch64" ]; then
  [ -e "$binfmt/register" ] || "${sudo_cmd[@]}" mount -t binfmt_misc binfmt_misc "$binfmt"
  "${sudo_cmd[@]}" sh -c "cat /usr/lib/binfmt.d/qemu-aarch64.conf > $binfmt/register"
fi
[ "$(head -n 1 "$binfmt/qemu-aarch64")" = enabled ] || { echo "the arm64 emulator is registered but disabled" >&2; exit 1; }
emulator=$(command -v qemu-aarch64-static || command -v qemu-aarch64)

# libgsl-dev:arm64 would replace the native libgsl-dev: its files are
# unpacked into the build tree instead and the link pointed there, at the
# installed arm64 runtime library.
overlay=$cross/gsl-overlay
gsl_version=$(dpkg-query -W -f='${Version}' "libgsl27:$arch")
if [ "$(cat "$overlay/version" 2>/dev/null)" != "$gsl_version" ]; then
  rm -rf "$overlay"
  mkdir -p "$overlay"
  (cd "$overlay" && apt-get download -qq -o APT::Sandbox::User=root "libgsl-dev:$arch=$gsl_version" &&
    dpkg -x libgsl-dev_*.deb . && rm libgsl-dev_*.deb)
  libdir=$overlay/usr/lib/$triplet
  for link in "$libdir"/*.so; do
    ln -sfn "/usr/lib/$triplet/$(readlink "$link")" "$link"
  done
  # A cross build looks for package configurations under PREFIX/lib/pkgconfig.
  mkdir -p "$overlay/usr/lib/pkgconfig"
  sed "s|/usr|$overlay/usr|g" "$libdir/pkgconfig/gsl.pc" >"$overlay/usr/lib/pkgconfig/gsl.pc"
  echo "$gsl_version" >"$overlay/version"
fi

stage "native build (the reference outputs)"
cmake -S "$root" -B "$native" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$native" --parallel "$jobs" --target skyimg manpage make_bench_images make_bench_xisf

stage "cross build"
# The native build's optimisation without its debugging information, which
# only slows the build: the package is stripped.
cmake -S "$root" -B "$cross" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSKYIMG_BENCH=OFF \
  -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O2 -DNDEBUG" -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -DNDEBUG" \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/$triplet.cmake" -DCMAKE_CROSSCOMPILING_EMULATOR="$emulator" \
  -DCMAKE_PREFIX_PATH="$overlay/usr" >/dev/null
cmake --build "$cross" --parallel "$jobs"
file -b "$cross/skyimg" | grep -q aarch64 || { echo "build-arm64/skyimg is not an arm64 program" >&2; exit 1; }

# The tests run the tool as a child process; a PID namespace keeps any
# signal a test sends from reaching processes outside the suite.
stage "test suite under the emulator"
"${sudo_cmd[@]}" unshare --pid --fork --mount-proc \
  env TZ=UTC LC_ALL=C.UTF-8 QT_QPA_PLATFORM=offscreen ctest --test-dir "$cross" --output-on-failure -j "$jobs"

stage "package"
deb=$cross/skyimg_$(sed -n 's/^project(skyimg VERSION \([^ ]*\).*/\1/p' "$root/CMakeLists.txt")_$arch.deb
rm -f "$deb"
bash "$root/tests/test_package.sh" "$cross" "$cross"
[ "$(dpkg-deb -f "$deb" Architecture)" = "$arch" ] || { echo "$deb is not labelled $arch" >&2; exit 1; }
dpkg-deb -I "$deb"

# Records (less the uuid, new in every run), messages, exit statuses and
# the bytes of every picture, from the samples and the benchmark inputs at a
# size the emulator handles quickly.
stage "outputs of the arm64 tool against the native one"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/in"
for f in "$root"/samples/*; do
  case $f in *.cpp|*.md) ;; *) cp "$f" "$work/in/" ;; esac
done
"$native/bench/make_bench_images" "$work/in" 1200 800 >/dev/null
"$native/bench/make_bench_xisf" "$work/in" >/dev/null
# Packed files, whose tiles the tool decodes itself: Rice, GZIP, HCOMPRESS,
# and fpack's quantised floats.
for v in r g h; do
  fpack -$v -O "$work/in/mono16-$v.fits.fz" "$work/in/mono16.fits"
done
fpack -O "$work/in/float32.fits.fz" "$work/in/float32.fits"
formats=(bmp cur icns ico jpg pbm pgm png ppm tif wbmp webp xbm xpm)
for f in "$work"/in/*; do
  n=$(basename "$f")
  echo "$n.meta --meta $f"
  echo "$n.preview --save-preview $n.preview.jpg --max-width 800 -q 90 $f"
  echo "$n.fast --save-preview $n.fast.png -f png --max-width 500 -q 50 $f"
  echo "$n.thumb --save-thumb $n.thumb.png -f png $f"
  case $n in
    starfield.fits|rggb16.fits|landscape.xisf)
      for format in "${formats[@]}"; do
        echo "$n.as-$format --save-preview $n.$format -f $format --max-width 300 $f"
      done ;;
  esac
done >"$work/jobs"
run_jobs() {  # BINARY DIR: every job, with its outputs, status and messages in DIR
  mkdir -p "$2"
  xargs -P "$jobs" -L 1 sh -c 'bin=$1 dir=$2 name=$3; shift 3; cd "$dir" &&
      { "$bin" "$@" >"$name.out" 2>"$name.err"; echo $? >"$name.status"; }' run "$1" "$2" <"$work/jobs"
  sed -i 's/"uuid":"[0-9a-f]*",\{0,1\}//' "$2"/*.meta.out
}
run_jobs "$native/skyimg" "$work/native"
run_jobs "$cross/skyimg" "$work/$arch"
cp "$native/skyimg.1" "$work/native/"
cp "$cross/skyimg.1" "$work/$arch/"
if ! diff -r "$work/native" "$work/$arch" >"$work/diff"; then
  echo "the $arch tool writes other outputs than the native one:" >&2
  head -n 40 "$work/diff" >&2
  exit 1
fi
pictures=$(find "$work/native" -type f ! -name '*.out' ! -name '*.err' ! -name '*.status' ! -name '*.1' -size +0 | wc -l)
echo "$(wc -l <"$work/jobs") runs, $pictures pictures and the manual page: the same bytes on $arch as natively"
stage ""
# Wall-clock time, then the processor time of this shell and of its children.
echo "arm64 stage: $SECONDS s"
times
