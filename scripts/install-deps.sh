#!/usr/bin/env bash
# Installs the Debian packages skyimg needs to build, test and demo.
# Runs `apt-get update` only when something is missing, so a provisioned
# machine pays nothing.
set -euo pipefail

packages=(
  build-essential cmake pkg-config
  qtbase5-dev qt5-image-formats-plugins
  libcfitsio-dev wcslib-dev libraw-dev libgsl-dev
  libcfitsio-bin
  zlib1g-dev liblz4-dev libzstd-dev libdeflate-dev
  libgtest-dev libbenchmark-dev
  clang libclang-rt-14-dev
  help2man dpkg-dev file locales
)
if [ "$#" -gt 0 ]; then
  packages+=("$@")
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

sudo_cmd=()
[ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
if [ "${#missing[@]}" -gt 0 ]; then
  echo "install-deps: installing ${missing[*]}" >&2
  export DEBIAN_FRONTEND=noninteractive
  "${sudo_cmd[@]}" apt-get update -qq
  "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# The sanitizer pass of the tests runs under a comma-decimal locale.
if ! locale -a 2>/dev/null | grep -qx 'de_DE.utf8'; then
  echo "install-deps: generating the de_DE.UTF-8 locale" >&2
  "${sudo_cmd[@]}" localedef -i de_DE -c -f UTF-8 de_DE.UTF-8
fi
