# SPDX-License-Identifier: MIT
# Runs Doxygen on the Doxyfile KqSerDoc.cmake wrote: cmake -DDOXYFILE=... -P
# KqSerApiDoc.cmake. Looked for here, at build time, so that a Doxygen
# installed after the configure step is found.
cmake_minimum_required(VERSION 3.18)
find_program(doxygen NAMES doxygen)
if(NOT doxygen)
  message(FATAL_ERROR "kqser_apidoc needs Doxygen, which is not installed: "
                      "apt-get install doxygen, then build the target again")
endif()
execute_process(COMMAND ${doxygen} ${DOXYFILE} RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "Doxygen failed (${result}): see its warnings above")
endif()
