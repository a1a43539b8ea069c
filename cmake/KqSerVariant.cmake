# SPDX-License-Identifier: MIT
# kqser_add_variant(<variant>)
#
# Builds one variant of the library, ${CMAKE_BINARY_DIR}/<variant>/kqSer.so,
# from the sources collected on the kqser_sources interface target and the
# pure core. The variants differ only in the log sink and the log-config
# file, chosen by KQSER_CONSOLE_LOG at compile time.
function(kqser_add_variant variant)
  set(target kqSer_${variant})
  add_library(${target} SHARED)
  target_link_libraries(${target} PRIVATE kqser_sources kqser_warnings)
  if(variant STREQUAL "console")
    target_compile_definitions(${target} PRIVATE KQSER_CONSOLE_LOG=1)
    set(map_symbols "")
  else()
    target_link_libraries(${target} PRIVATE kqser_sink)
    target_compile_definitions(${target} PRIVATE KQSER_CONSOLE_LOG=0)
    set(map_symbols "trace_log; filename; flogIni;")
  endif()

  # No version in the name: CMake gives the library the SONAME kqSer.so.
  # Only the listed API leaves the library; standard-library instantiations
  # and internal helpers stay local. trace_log stays preemptible: the map
  # exports it and nothing binds it locally (no -Bsymbolic).
  set(map_file ${CMAKE_CURRENT_BINARY_DIR}/kqSer_${variant}.map)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/kqSer.map.in ${map_file} @ONLY)

  set_target_properties(${target} PROPERTIES
    PREFIX ""
    OUTPUT_NAME kqSer
    SUFFIX ".so"
    LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/${variant}
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON
    LINK_DEPENDS ${map_file})
  # Each function and object in a section of its own, so that the linker
  # drops what nothing references (the console build has no use for the
  # log-config code). Optimised for size outside debug builds: the hot paths
  # are a few system calls each, and the ini parser is most of the code.
  target_compile_options(${target} PRIVATE
    -ffunction-sections -fdata-sections
    $<$<NOT:$<CONFIG:Debug>>:-Os>)
  target_link_options(${target} PRIVATE
    -Wl,--no-undefined
    -Wl,--gc-sections
    -Wl,--version-script=${map_file})
endfunction()

# Where the public headers are staged in the build tree, as they are installed.
set(KQSER_STAGED_INCLUDEDIR ${PROJECT_BINARY_DIR}/include)

# kqser_public_headers(<files...>): headers installed for hosts under
# include/kqSer, and staged for kqser_public. Every other header is internal
# and carries the _p.h suffix.
function(kqser_public_headers)
  foreach(header ${ARGN})
    if(header MATCHES "_p\\.h$")
      message(FATAL_ERROR "${header}: an internal header cannot be public")
    endif()
    set_property(GLOBAL APPEND PROPERTY KQSER_PUBLIC_HEADERS ${CMAKE_CURRENT_SOURCE_DIR}/${header})
    configure_file(${header} ${KQSER_STAGED_INCLUDEDIR}/${header} COPYONLY)
  endforeach()
endfunction()

# kqser_subsystem([SOURCES <files...>] [CORE <files...>] [PUBLIC <headers...>])
#
# What one folder of src/ adds to the library: SOURCES compiled once per
# variant, CORE sources of the pure core, PUBLIC headers for hosts. The
# folder itself is on the internal include path, for its _p.h headers.
function(kqser_subsystem)
  cmake_parse_arguments(S "" "" "SOURCES;CORE;PUBLIC" ${ARGN})
  list(TRANSFORM S_SOURCES PREPEND ${CMAKE_CURRENT_SOURCE_DIR}/)
  list(TRANSFORM S_CORE PREPEND ${CMAKE_CURRENT_SOURCE_DIR}/)
  target_sources(kqser_sources INTERFACE ${S_SOURCES})
  target_sources(kqcore PRIVATE ${S_CORE})
  target_include_directories(kqser_internal INTERFACE ${CMAKE_CURRENT_SOURCE_DIR})
  kqser_public_headers(${S_PUBLIC})
endfunction()
