#!/usr/bin/env bash
# The platform stages of CI, one per kind of delivery (all by default, or
# the ones named):
#   armhf     cross-builds everything for 32-bit ARM and runs the tests
#             under qemu user emulation;
#   prefix    installs a build into a prefix with `cmake --install
#             --prefix` and builds an application's project against it,
#             through find_package and through pkg-config, and runs it;
#   bus       runs that prefix's tools on a bus with Debian's system
#             policy: the simulator as root, halvoctl as nobody;
#   system    builds the library against that prefix's stand-ins as the
#             platform's own components (HALVO_PLATFORM=system) and runs
#             the tests;
#   packages  builds the Debian packages, runs lintian, installs them and
#             builds and runs the examples against the installed files;
#   abi       compares the library with the committed ABI baseline.
# and, by name only, abi-baseline writes that baseline again.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD
jobs=$(nproc)
start=$SECONDS
out=$top/build/platform
prefix=$out/prefix

stages=("$@")
if [ ${#stages[@]} -eq 0 ]; then
  stages=(armhf prefix bus system packages abi)
fi

scripts/install-deps.sh
scripts/install-platform-deps.sh "${stages[@]}"

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi

stage() {
  echo "== $* ($((SECONDS - start)) s)"
}

# The examples against halvo-sim on a private bus: HALVO_SIM and HALVOCTL
# name the tools, $1 the directory of the examples.
run_examples() {
  HALVO_EXAMPLES=$1 G_DEBUG=fatal-criticals bash tests/e2e/tools-e2e.sh examples
}

# The examples built into $1 with the plain compiler and pkg-config, as an
# application's own build would; the other arguments go to the linker.
build_plain_examples() {
  local dir=$1 ex
  shift
  mkdir -p "$dir"
  for ex in list-devices follow-volume last-speakers poll-loop; do
    # shellcheck disable=SC2046
    cc -std=c11 -Wall -Werror -o "$dir/$ex" examples/$ex.c $(pkg-config --cflags --libs halvo-api) "$@"
  done
  for ex in list-devices-cxx follow-volume-cxx volume-screen-cxx; do
    # shellcheck disable=SC2046
    c++ -std=c++17 -Wall -Werror -o "$dir/$ex" examples/$ex.cpp $(pkg-config --cflags --libs halvo-api) "$@"
  done
}

# Prints the RUNPATH of the ELF file $1 (empty: none).
runpath() {
  readelf -d "$1" | sed -n 's/.*(RUNPATH).*\[\(.*\)\]$/\1/p'
}

# Library, stand-ins and tools, installed into $prefix.  The ABI stage
# reads this library too (RelWithDebInfo: it has the debug information).
prefix_built=false
build_prefix() {
  $prefix_built && return
  rm -rf "$prefix"
  cmake -S "$top" -B "$out/install" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DHALVO_BUILD_TESTS=OFF >/dev/null
  cmake --build "$out/install" -j"$jobs"
  cmake --install "$out/install" --prefix "$prefix" >/dev/null
  prefix_built=true
}

stage_armhf() {
  stage "armhf: cross build, tests under qemu-arm"
  # The fuzz corpus replays in the native stages.
  cmake -S "$top" -B build/armhf -DCMAKE_TOOLCHAIN_FILE="$top/cmake/armhf-toolchain.cmake" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build build/armhf -j"$jobs"
  readelf -h build/armhf/libhalvo-api.so | grep -q "Version5 EABI, hard-float ABI" ||
    { echo "not an armhf library"; exit 1; }
  (cd build/armhf && ctest --output-on-failure -j"$jobs")
}

stage_prefix() {
  stage "prefix: cmake --install --prefix, consumer through find_package and pkg-config"
  build_prefix
  # Nothing in the installed files may point at the configured prefix.
  if grep -rl "$(cmake -L -N "$out/install" | sed -n 's/^CMAKE_INSTALL_PREFIX:PATH=//p')" \
       "$prefix/lib/pkgconfig" "$prefix/lib/cmake"; then
    echo "an installed file names the configured prefix"
    exit 1
  fi
  # The libraries the application does not link stay out of its link line.
  local libs
  libs=$(PKG_CONFIG_PATH=$prefix/lib/pkgconfig pkg-config --libs halvo-api)
  echo "pkg-config --libs halvo-api: $libs"
  if grep -qE -- "-l(kerlo|valko|uiconf)" <<<"$libs"; then
    echo "the platform's components leak into the application's link"
    exit 1
  fi
  # The installed tree finds its own libraries from where it lies, so
  # nothing below sets LD_LIBRARY_PATH.
  local file want found
  for file in lib/libhalvo-api.so.1 lib/libkerlo.so.1 lib/libvalko.so.1 lib/libuiconf.so.1 \
              bin/halvoctl bin/halvo-sim; do
    want=\$ORIGIN
    if [[ $file == bin/* ]]; then want=\$ORIGIN/../lib; fi
    found=$(runpath "$prefix/$file")
    echo "$file: RUNPATH [$found]"
    [ "$found" = "$want" ] || { echo "$file: RUNPATH should be [$want]"; exit 1; }
  done
  export HALVO_SIM=$prefix/bin/halvo-sim HALVOCTL=$prefix/bin/halvoctl
  local way
  for way in find_package pkg-config; do
    rm -rf "$out/consumer-$way"
    PKG_CONFIG_PATH=$prefix/lib/pkgconfig cmake -S examples/consumer -B "$out/consumer-$way" \
      -DHALVO_FIND=$way -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
    cmake --build "$out/consumer-$way" -j"$jobs"
    run_examples "$out/consumer-$way"
  done
  # A plain link needs no more than the program's own search path: the
  # linker finds the stand-ins through the library's RUNPATH.
  rm -rf "$out/consumer-plain"
  PKG_CONFIG_PATH=$prefix/lib/pkgconfig build_plain_examples "$out/consumer-plain" -Wl,-rpath,"$prefix/lib"
  run_examples "$out/consumer-plain"
  unset HALVO_SIM HALVOCTL
}

stage_bus() {
  stage "bus: the prefix's tools under Debian's system bus policy, halvoctl as nobody"
  build_prefix
  "${sudo_cmd[@]}" bash tests/e2e/system-bus.sh "$prefix"
}

stage_system() {
  stage "system: HALVO_PLATFORM=system against the installed stand-ins, tests"
  build_prefix
  PKG_CONFIG_PATH=$prefix/lib/pkgconfig cmake -S "$top" -B "$out/system" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DHALVO_PLATFORM=system >/dev/null
  cmake --build "$out/system" -j"$jobs"
  rm -rf "$out/system-root"
  cmake --install "$out/system" --prefix "$out/system-root" >/dev/null
  if find "$out/system" "$out/system-root" -name 'lib*kerlo*' -o -name 'lib*valko*' -o -name 'lib*uiconf*' \
       -o -name '*kerlo.h' -o -name '*valko.h' -o -name '*uiconf.h' -o -name '*.pc' ! -name halvo-api.pc | grep .; then
    echo "a stand-in was built or installed"
    exit 1
  fi
  (cd "$out/system" && ctest --output-on-failure -j"$jobs")
}

stage_packages() {
  stage "packages: dpkg-buildpackage, lintian, install, examples"
  local deb=$out/deb src=$out/deb/halvo-api
  rm -rf "$deb"
  mkdir -p "$src"
  git ls-files -z --cached --others --exclude-standard | xargs -0 cp --parents -t "$src"
  (cd "$src" && dpkg-buildpackage -b -us -uc >"$deb/build.log" 2>&1) || { tail -50 "$deb/build.log"; exit 1; }
  lintian --fail-on error "$deb"/*.changes | tee "$deb/lintian.txt"
  # In the system's library directories nothing needs a search path.
  local file found
  for file in "$src"/debian/libhalvo-api1/usr/lib/*/libhalvo-api.so.1 \
              "$src"/debian/halvo-platform-standins/usr/lib/*/lib{kerlo,valko,uiconf}.so.1 \
              "$src"/debian/halvo-tools/usr/bin/{halvoctl,halvo-sim}; do
    found=$(runpath "$file")
    echo "${file#"$src"/debian/}: RUNPATH [$found]"
    [ -z "$found" ] || { echo "a package's file has a RUNPATH"; exit 1; }
  done

  local names=(libhalvo-api1 libhalvo-api-dev halvo-tools halvo-platform-standins) before=()
  for p in "${names[@]}"; do
    if dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then before+=("$p"); fi
  done
  local debs=()
  for p in "${names[@]}"; do debs+=("$deb/${p}_"*.deb); done
  "${sudo_cmd[@]}" dpkg -i "${debs[@]}" >/dev/null

  build_plain_examples "$deb/examples"
  HALVO_SIM=/usr/bin/halvo-sim HALVOCTL=/usr/bin/halvoctl run_examples "$deb/examples"

  # Leave the machine as it was.
  if [ ${#before[@]} -eq 0 ]; then
    "${sudo_cmd[@]}" dpkg --purge "${names[@]}" >/dev/null
  fi
}

# The ABI of the prefix's library as abidw sees it: every exported name
# and every type of the public header.  The records travel in GSLists, so
# no function type reaches them: all of the header's types are loaded.
abi_dump() {
  abidw --no-show-locs --no-corpus-path --load-all-types --headers-dir "$top/include" \
    --out-file "$1" "$prefix/lib/libhalvo-api.so.1"
  sed -i "s|$top/||g" "$1"
}

stage_abi() {
  stage "abi: libhalvo-api.so.1 against abi/libhalvo-api.so.1.abi"
  build_prefix
  abi_dump "$out/libhalvo-api.so.1.abi"
  # Any change but an added name fails: a record's layout, a function's
  # type, a name removed.
  # Only the public header's records count (abi/public-types.supp): the
  # sources' own types and the system's come and go with them.
  abidiff --no-added-syms --non-reachable-types --suppressions abi/public-types.supp \
    abi/libhalvo-api.so.1.abi "$out/libhalvo-api.so.1.abi"
  echo "abidiff: no change against the baseline"
}

# Writes the baseline again, for a deliberate change (README.md, "The
# ABI"); the tree's own path is left out of it.
stage_abi-baseline() {
  stage "abi-baseline: abi/libhalvo-api.so.1.abi written again"
  build_prefix
  abi_dump abi/libhalvo-api.so.1.abi
}

for s in "${stages[@]}"; do
  "stage_$s"
done
stage "platform done"
