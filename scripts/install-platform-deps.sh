#!/usr/bin/env bash
# Installs what the platform stages need on top of scripts/install-deps.sh:
# the armhf cross toolchain and libraries (Debian multiarch), qemu user
# emulation, the Debian packaging tools and the ABI tools.  Idempotent: it
# calls apt-get only for what is missing.
set -euo pipefail

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi

packages=(
  crossbuild-essential-armhf qemu-user
  libc6:armhf libstdc++6:armhf
  libglib2.0-dev:armhf libjson-glib-dev:armhf libgtest-dev:armhf
  debhelper devscripts lintian fakeroot
  abigail-tools
)

added_arch=false
if ! dpkg --print-foreign-architectures | grep -qx armhf; then
  "${sudo_cmd[@]}" dpkg --add-architecture armhf
  added_arch=true
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ] || $added_arch; then
  echo "installing: ${missing[*]}"
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
