#!/usr/bin/env bash
# Installs the Debian 12 packages the build, the tests and the tools need.
# Idempotent: it calls apt-get only for what is missing.
set -euo pipefail

packages=(
  build-essential cmake pkg-config git
  libglib2.0-dev libjson-glib-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  dbus-daemon
  # -m32 for the layout check.  Not the g++-multilib metapackage: it
  # conflicts with the armhf cross compiler (install-platform-deps.sh).
  g++-12-multilib
  clang libclang-rt-14-dev llvm
  valgrind doxygen
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  sudo_cmd=()
  if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
