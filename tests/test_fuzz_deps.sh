#!/usr/bin/env bash
# Checks the helpers of scripts/fuzz-deps.sh without building anything: the
# tarball unpacking on a listing far larger than a pipe's buffer, and the
# deb-src entries derived from apt source files of both forms.
#   tests/test_fuzz_deps.sh SOURCE_DIR
set -euo pipefail
root=$1
# shellcheck source=../scripts/fuzz-deps.sh
. "$root/scripts/fuzz-deps.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
expect_same() {  # WHAT EXPECTED ACTUAL
  if [ "$2" != "$3" ]; then
    printf 'FAIL %s\n--- expected\n%s\n--- got\n%s\n' "$1" "$2" "$3"
    failures=$((failures + 1))
  fi
}

# About 600 KB of names, from few files under a deep path (creating files is
# slow on a busy disk): tar is still writing when a reader that wants only
# the first line has gone.
long=$(printf 'folder_%.0s' {1..24})
deep=pkg-1.0/deep/$long/$long/$long/$long/$long/$long/$long/$long/folder
mkdir -p "$work/make/$deep"
(cd "$work/make/$deep" && touch file_{001..400}_with_a_long_name_to_fill_the_listing_quickly)
tar -C "$work/make" -czf "$work/pkg_1.0.orig.tar.gz" pkg-1.0
tar -C "$work/make" -cJf "$work/dotted_2.orig.tar.xz" ./pkg-1.0/deep
for round in 1 2 3; do
  rm -rf "$work/pkg-1.0"
  expect_same "large listing, round $round" pkg-1.0 "$(unpack_tarball "$work" 'pkg_*.orig.tar.*')"
  [ -f "$work/$deep/file_400_with_a_long_name_to_fill_the_listing_quickly" ] ||
    { echo "FAIL round $round: not unpacked"; failures=$((failures + 1)); }
done
expect_same "names behind ./" pkg-1.0 "$(unpack_tarball "$work" 'dotted_*.orig.tar.*')"
if unpack_tarball "$work" 'missing_*.orig.tar.*' 2>"$work/err"; then
  echo "FAIL a missing tarball passed"; failures=$((failures + 1))
fi
expect_same "missing tarball message" "fuzz-deps: no missing_*.orig.tar.* in $work" "$(cat "$work/err")"

# deb822: comments between fields, a stanza of another vendor, a disabled
# one, deb-src already there, several suites of which some are foreign, and
# a key block in continuation lines that must come through untouched.
cat >"$work/mirror.sources" <<'EOF'
Types: deb
# a note about the snapshot
URIs: http://mirror.example/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb deb-src
URIs: http://mirror.example/debian-security
Suites: bookworm-security trixie-security
Components: main contrib
Signed-By:
 -----BEGIN PGP PUBLIC KEY BLOCK-----
 .
 mQINBFxyz
 -----END PGP PUBLIC KEY BLOCK-----

Types: deb
URIs: https://vendor.example/apt
Suites: nodistro
Components: main

Types: deb
Enabled: no
URIs: http://off.example/debian
Suites: bookworm
Components: main
EOF
expect_same "deb822" "Types: deb-src
Suites: bookworm bookworm-updates
URIs: http://mirror.example/debian
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb-src
Suites: bookworm-security
URIs: http://mirror.example/debian-security
Components: main contrib
Signed-By:
 -----BEGIN PGP PUBLIC KEY BLOCK-----
 .
 mQINBFxyz
 -----END PGP PUBLIC KEY BLOCK-----" "$(deb_src_entries "$work/mirror.sources" bookworm)"

cat >"$work/sources.list" <<'EOF'
# the one-line form
deb http://mirror.example/debian bookworm main contrib
deb [arch=amd64 signed-by=/etc/apt/keyrings/k.gpg] http://proxy.example:3142/debian bookworm-updates main
  deb	http://tabs.example/debian   bookworm-security main # trailing note
deb-src http://mirror.example/debian bookworm main
deb https://vendor.example/apt cloud-sdk-bookworm main
#deb http://old.example/debian bookworm main
EOF
expect_same "one-line" "deb-src http://mirror.example/debian bookworm main contrib
deb-src [arch=amd64 signed-by=/etc/apt/keyrings/k.gpg] http://proxy.example:3142/debian bookworm-updates main
deb-src http://tabs.example/debian bookworm-security main" "$(deb_src_entries "$work/sources.list" bookworm)"
expect_same "another release" "" "$(deb_src_entries "$work/sources.list" trixie)"

if [ "$failures" -ne 0 ]; then
  echo "$failures failed"
  exit 1
fi
echo "fuzz-deps helpers: all passed"
