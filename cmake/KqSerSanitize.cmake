# SPDX-License-Identifier: MIT
# KQSER_SANITIZE: sanitizers for the whole tree (library, tests, test support,
# tools), given as -fsanitize takes them, e.g.
#
#   cmake -DKQSER_SANITIZE=address,undefined ...
#   cmake -DKQSER_SANITIZE=thread ...
#
# Every finding aborts the process, so a report always fails its test.
set(KQSER_SANITIZE "" CACHE STRING "Sanitizers for -fsanitize= (empty: none)")

if(KQSER_SANITIZE)
  # The library's build sets its own optimisation; keep frames for the stacks.
  add_compile_options(-fsanitize=${KQSER_SANITIZE} -fno-omit-frame-pointer
    -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${KQSER_SANITIZE})
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    # GCC's flow analysis misreads the instrumentation (false alarms inside
    # <regex> and <functional>); the plain build keeps this warning.
    add_compile_options(-Wno-maybe-uninitialized)
  endif()
  # A sanitized kqSer.so needs the sanitizer runtime loaded before it; a
  # compiler that links the runtime only into executables (clang's default)
  # must link it into the library too, or -Wl,--no-undefined fails.
  if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    add_link_options(-shared-libsan)
  endif()
  message(STATUS "kqSer: sanitizers ${KQSER_SANITIZE}")
endif()

# KQSER_FUZZ: libFuzzer executables (tests/fuzz, target kqfuzz_all). Every
# target of such a tree is instrumented for coverage, AddressSanitizer and
# UndefinedBehaviorSanitizer, the pure core included.
option(KQSER_FUZZ "Build the libFuzzer executables (needs clang)" OFF)
if(KQSER_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "KQSER_FUZZ needs clang: -DCMAKE_CXX_COMPILER=clang++")
  endif()
  add_compile_options(-fsanitize=address,undefined,fuzzer-no-link
    -fno-sanitize-recover=undefined -fno-omit-frame-pointer -g)
  add_link_options(-fsanitize=address,undefined)
endif()
