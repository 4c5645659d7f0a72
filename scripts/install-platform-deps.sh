#!/usr/bin/env bash
# install-platform-deps.sh [STAGE...] - installs what the platform stages
# (scripts/test-platform.sh) need on top of scripts/install-deps.sh, for the
# stages named, or all: the armhf cross toolchain and libraries (Debian
# multiarch) and qemu user emulation, the Debian packaging tools, the ABI
# tools, Debian's system bus configuration.  Idempotent: it calls apt-get
# only for what is missing.
set -euo pipefail

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi

declare -A needs=(
  [armhf]="crossbuild-essential-armhf qemu-user libc6:armhf libstdc++6:armhf
           libglib2.0-dev:armhf libjson-glib-dev:armhf libgtest-dev:armhf"
  [packages]="debhelper devscripts lintian fakeroot"
  [abi]="abigail-tools"
  [abi-baseline]="abigail-tools"
  [bus]="dbus-system-bus-common"
)
stages=("$@")
if [ ${#stages[@]} -eq 0 ]; then stages=("${!needs[@]}"); fi

packages=()
for s in "${stages[@]}"; do
  # shellcheck disable=SC2206
  packages+=(${needs[$s]:-})
done

added_arch=false
if [[ " ${stages[*]} " == *" armhf "* ]] && ! dpkg --print-foreign-architectures | grep -qx armhf; then
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
