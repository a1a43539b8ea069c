# SPDX-License-Identifier: MIT
# Cross build for 64-bit ARM (Debian arm64): cmake -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-arm64.cmake
# Tests run under user-mode emulation (qemu-user).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(KQSER_DEB_ARCH arm64)
set(KQSER_TRIPLE aarch64-linux-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/KqSerCross.cmake)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L /usr/${KQSER_TRIPLE})
