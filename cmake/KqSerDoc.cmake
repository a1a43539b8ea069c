# SPDX-License-Identifier: MIT
# kqser_apidoc: HTML of the public headers (Doxygen, Debian's doxygen package)
# in <build>/doc/html, with the README as its first page and the guides of
# doc/ beside it. Not part of the default build nor of scripts/test:
#   cmake --build build --target kqser_apidoc
# Warnings (an undocumented operation, a wrong parameter name, a broken link)
# fail the target. Doxygen is looked for when the target runs, so installing
# it after the first configure needs no new CMake run.
get_property(kqser_doc_headers GLOBAL PROPERTY KQSER_PUBLIC_HEADERS)
set(kqser_doxyfile ${CMAKE_BINARY_DIR}/doc/Doxyfile)
# The README links the guides and the benchmark results: pages of their own.
set(kqser_doc_input ${kqser_doc_headers} ${PROJECT_SOURCE_DIR}/README.md
    ${PROJECT_SOURCE_DIR}/doc ${PROJECT_SOURCE_DIR}/bench/RESULTS.md)
list(JOIN kqser_doc_input "\" \"" kqser_doc_input)
# KQ_API marks exports; the documentation shows the plain declarations.
file(WRITE ${kqser_doxyfile} "\
PROJECT_NAME = kqSer
PROJECT_NUMBER = ${PROJECT_VERSION}
OUTPUT_DIRECTORY = \"${CMAKE_BINARY_DIR}/doc\"
INPUT = \"${kqser_doc_input}\"
FILE_PATTERNS = *.md
USE_MDFILE_AS_MAINPAGE = \"${PROJECT_SOURCE_DIR}/README.md\"
GENERATE_LATEX = NO
HAVE_DOT = NO
JAVADOC_AUTOBRIEF = YES
FULL_PATH_NAMES = NO
SHOW_INCLUDE_FILES = NO
WARN_NO_PARAMDOC = NO
WARN_IF_UNDOCUMENTED = YES
WARN_AS_ERROR = FAIL_ON_WARNINGS
QUIET = YES
ENABLE_PREPROCESSING = YES
MACRO_EXPANSION = YES
EXPAND_ONLY_PREDEF = YES
PREDEFINED = KQ_API= KQ_LOCAL= \"__attribute__(x)=\"
")
add_custom_target(kqser_apidoc
  COMMAND ${CMAKE_COMMAND} -DDOXYFILE=${kqser_doxyfile} -P ${PROJECT_SOURCE_DIR}/cmake/KqSerApiDoc.cmake
  WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/doc
  COMMENT "API documentation in ${CMAKE_BINARY_DIR}/doc/html"
  VERBATIM)
