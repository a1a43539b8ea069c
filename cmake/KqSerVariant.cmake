# SPDX-License-Identifier: MIT
# kqser_add_variant(<variant>)
#
# Builds one variant of the library, ${CMAKE_BINARY_DIR}/<variant>/kqSer.so,
# from one object library per folder of src/ (its SOURCES, compiled for this
# variant with the headers of that folder and the folders below it only) and
# the pure core. The variants differ only in the log sink and the log-config
# file, chosen by KQSER_CONSOLE_LOG at compile time.
function(kqser_add_variant variant)
  set(target kqSer_${variant})
  add_library(${target} SHARED)
  if(variant STREQUAL "console")
    set(console 1)
    set(map_symbols "")
  else()
    set(console 0)
    target_link_libraries(${target} PRIVATE kqser_sink)
    set(map_symbols "trace_log; filename; flogIni;")
  endif()
  target_compile_definitions(${target} PRIVATE KQSER_CONSOLE_LOG=${console})
  target_link_libraries(${target} PRIVATE kqser_internal kqcore kqser_warnings)
  get_property(folders GLOBAL PROPERTY KQSER_FOLDERS)
  foreach(folder ${folders})
    get_property(sources GLOBAL PROPERTY KQSER_SOURCES_${folder})
    set(objects kqser_${folder}_${variant})
    add_library(${objects} OBJECT ${sources})
    target_link_libraries(${objects} PRIVATE kqser_${folder} kqser_warnings)
    target_compile_definitions(${objects} PRIVATE KQSER_CONSOLE_LOG=${console})
    kqser_library_code(${objects})
    kqser_harden(${objects})
    target_link_libraries(${target} PRIVATE ${objects})
  endforeach()

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
    LINK_DEPENDS ${map_file})
  kqser_library_code(${target})
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

# kqser_library_code(<target>): how code that goes into kqSer.so is compiled.
# Hidden unless marked KQ_API. Each function and object in a section of its
# own, so that the linker drops what nothing references (the console build
# has no use for the log-config code). Optimised for size outside debug
# builds: the hot paths are a few system calls each, and the ini parser is
# most of the code.
function(kqser_library_code target)
  set_target_properties(${target} PROPERTIES
    POSITION_INDEPENDENT_CODE ON
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON)
  target_compile_options(${target} PRIVATE -ffunction-sections -fdata-sections
    $<$<NOT:$<CONFIG:Debug>>:-Os>)
endfunction()

# kqser_subsystem([BELOW <folders...>] [SOURCES <files...>] [CORE <files...>]
#                 [PUBLIC <headers...>])
#
# What one folder of src/ adds to the library: SOURCES compiled once per
# variant, CORE sources of the pure core, PUBLIC headers for hosts. BELOW
# names the folders whose headers it includes; each must have been added
# before it, so the folders point one way. The folder's target kqser_<folder>
# carries its include path and links those below it only: a source that
# includes a header of a folder above its own does not compile.
function(kqser_subsystem)
  cmake_parse_arguments(S "" "" "BELOW;SOURCES;CORE;PUBLIC" ${ARGN})
  get_filename_component(folder ${CMAKE_CURRENT_SOURCE_DIR} NAME)
  set(below)
  foreach(name ${S_BELOW})
    if(NOT TARGET kqser_${name})
      message(FATAL_ERROR "src/${folder}: ${name} is not a folder added before it")
    endif()
    list(APPEND below kqser_${name})
  endforeach()
  add_library(kqser_${folder} INTERFACE)
  target_include_directories(kqser_${folder} INTERFACE ${CMAKE_CURRENT_SOURCE_DIR})
  target_compile_definitions(kqser_${folder} INTERFACE _GNU_SOURCE)
  target_link_libraries(kqser_${folder} INTERFACE ${below})
  target_link_libraries(kqser_internal INTERFACE kqser_${folder})
  if(S_CORE)
    set(core kqcore_${folder})
    add_library(${core} STATIC ${S_CORE})
    target_include_directories(${core} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
    target_compile_definitions(${core} PRIVATE _GNU_SOURCE)
    target_link_libraries(${core} PRIVATE ${below} kqser_warnings)
    kqser_library_code(${core})
    target_link_libraries(kqser_${folder} INTERFACE ${core})
    target_link_libraries(kqcore INTERFACE ${core})
  endif()
  if(S_SOURCES)
    list(TRANSFORM S_SOURCES PREPEND ${CMAKE_CURRENT_SOURCE_DIR}/)
    set_property(GLOBAL APPEND PROPERTY KQSER_FOLDERS ${folder})
    set_property(GLOBAL PROPERTY KQSER_SOURCES_${folder} ${S_SOURCES})
    # Every variant source in one list, for a build of its own (the fuzzers').
    target_sources(kqser_sources INTERFACE ${S_SOURCES})
  endif()
  kqser_public_headers(${S_PUBLIC})
endfunction()
