#!/usr/bin/env bash
# Installs the Debian 12 packages the build, the tests and the tools need.
# Idempotent: it calls apt-get only for what is missing.  Prints one line
# per group of packages; apt-get's own output goes to a log file that a
# failure names (HALVO_DEPS_LOG, default /tmp/halvo-install-deps.log).
set -euo pipefail

# g++-12-multilib, not the g++-multilib metapackage: that one conflicts with
# the armhf cross compiler (install-platform-deps.sh).
groups=(
  "build tools|build-essential cmake pkg-config git"
  "GLib and json-glib|libglib2.0-dev libjson-glib-dev"
  "test and benchmark frameworks|libgtest-dev libgmock-dev libbenchmark-dev"
  "D-Bus daemon and 32-bit compiler|dbus-daemon g++-12-multilib"
  "sanitizers and fuzzing|clang libclang-rt-14-dev llvm"
  "valgrind and doxygen|valgrind doxygen"
  "coverage and load|gcovr stress-ng"
  "Qt 6 (examples/qt-volume)|qt6-base-dev"
)
log=${HALVO_DEPS_LOG:-/tmp/halvo-install-deps.log}
: >"$log"

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
updated=no

for group in "${groups[@]}"; do
  title=${group%%|*}
  missing=()
  for p in ${group#*|}; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
      missing+=("$p")
    fi
  done
  if [ ${#missing[@]} -eq 0 ]; then
    echo "$title: installed"
    continue
  fi
  printf '%s: installing %s ... ' "$title" "${missing[*]}"
  if { [ $updated = yes ] || "${sudo_cmd[@]}" apt-get update -q >>"$log" 2>&1; } &&
     DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends \
       "${missing[@]}" >>"$log" 2>&1; then
    updated=yes
    echo done
  else
    echo failed
    echo "install-deps: apt-get failed for ${missing[*]}; its full output is in $log" >&2
    exit 1
  fi
done
