# SPDX-License-Identifier: MIT
# kqser_apidoc: HTML of the public headers (Doxygen, Debian's doxygen package)
# in <build>/doc/html, with the README as its first page. Not part of the
# default build nor of scripts/test:  cmake --build build --target kqser_apidoc
# Warnings (an undocumented operation, a wrong parameter name) fail the target.
find_package(Doxygen QUIET)
if(NOT DOXYGEN_FOUND)
  add_custom_target(kqser_apidoc
    COMMAND ${CMAKE_COMMAND} -E echo "kqser_apidoc needs Doxygen: apt-get install doxygen"
    COMMAND ${CMAKE_COMMAND} -E false)
  return()
endif()

get_property(kqser_doc_headers GLOBAL PROPERTY KQSER_PUBLIC_HEADERS)
set(DOXYGEN_PROJECT_NAME kqSer)
set(DOXYGEN_PROJECT_NUMBER ${PROJECT_VERSION})
set(DOXYGEN_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/doc)
set(DOXYGEN_USE_MDFILE_AS_MAINPAGE ${PROJECT_SOURCE_DIR}/README.md)
set(DOXYGEN_GENERATE_LATEX NO)
set(DOXYGEN_JAVADOC_AUTOBRIEF YES)
set(DOXYGEN_FULL_PATH_NAMES NO)
set(DOXYGEN_SHOW_INCLUDE_FILES NO)
set(DOXYGEN_WARN_NO_PARAMDOC NO)
set(DOXYGEN_WARN_IF_UNDOCUMENTED YES)
set(DOXYGEN_WARN_AS_ERROR FAIL_ON_WARNINGS)
# KQ_API marks exports; the documentation shows the plain declarations.
set(DOXYGEN_ENABLE_PREPROCESSING YES)
set(DOXYGEN_MACRO_EXPANSION YES)
set(DOXYGEN_EXPAND_ONLY_PREDEF YES)
set(DOXYGEN_PREDEFINED "KQ_API=" "__attribute__(x)=")
# The README links the benchmark results: they are a page of their own.
doxygen_add_docs(kqser_apidoc ${kqser_doc_headers} ${PROJECT_SOURCE_DIR}/README.md
  ${PROJECT_SOURCE_DIR}/bench/RESULTS.md
  COMMENT "API documentation in ${CMAKE_BINARY_DIR}/doc/html")
