# SPDX-License-Identifier: MIT
# Cross build for 32-bit ARM (Debian armhf): cmake -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-armhf.cmake
# Tests run under user-mode emulation (qemu-user).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(KQSER_DEB_ARCH armhf)
set(KQSER_TRIPLE arm-linux-gnueabihf)
include(${CMAKE_CURRENT_LIST_DIR}/KqSerCross.cmake)
# 64-bit file offsets, as the device's userland is built.
add_compile_definitions(_FILE_OFFSET_BITS=64)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -L /usr/${KQSER_TRIPLE})
# GCC notes that the passing of some arguments changed in GCC 7.1: it matters
# only when linking with code built by an older GCC, which nothing here does.
add_compile_options(-Wno-psabi)
