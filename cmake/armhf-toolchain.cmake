# 32-bit ARM, hard float, as the sets run it: the Debian cross compiler
# and the armhf libraries installed through multiarch
# (scripts/install-platform-deps.sh).  Programs built here run under
# qemu user emulation: CTest starts each test through it, and the tests
# start their helper programs through it too (no binfmt handler in a
# container).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(PKG_CONFIG_EXECUTABLE arm-linux-gnueabihf-pkg-config CACHE FILEPATH "pkg-config for armhf")

# Without -L: the multiarch loader from libc6:armhf finds the armhf
# libraries, and a sysroot given with -L makes GDBus programs crash.
find_program(HALVO_QEMU_ARM qemu-arm REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${HALVO_QEMU_ARM})
