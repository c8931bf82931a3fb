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
  zlib1g-dev liblz4-dev libzstd-dev
  libgtest-dev libbenchmark-dev
  clang libclang-rt-14-dev
  help2man dpkg-dev file
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

[ "${#missing[@]}" -eq 0 ] && exit 0

echo "install-deps: installing ${missing[*]}" >&2
sudo_cmd=()
[ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
