# SPDX-License-Identifier: MIT
# Installation, in three components (one Debian package each, scripts/packages):
#   runtime  the silent kqSer.so in the library folder, the console-log build
#            in a subfolder of its own, kqser.conf(5) and the example file
#   tools    the kqser tool (tools/)
#   dev      the public headers under include/kqSer, a pkg-config file per
#            variant and a CMake package with an imported target per variant
# GNUInstallDirs picks Debian's multiarch folder only for native builds; a
# cross build for the device's /usr gets the same layout.
if(CMAKE_CROSSCOMPILING AND CMAKE_LIBRARY_ARCHITECTURE AND CMAKE_INSTALL_PREFIX MATCHES "^/usr/?$"
   AND NOT DEFINED CACHE{CMAKE_INSTALL_LIBDIR})
  set(CMAKE_INSTALL_LIBDIR lib/${CMAKE_LIBRARY_ARCHITECTURE} CACHE PATH "Object code libraries")
endif()
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(KQSER_CONSOLE_LIBDIR ${CMAKE_INSTALL_LIBDIR}/kqSer-console)
set(KQSER_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR}/kqSer)

foreach(variant silent console)
  target_include_directories(kqSer_${variant} INTERFACE $<INSTALL_INTERFACE:${KQSER_INCLUDEDIR}>)
endforeach()
set_target_properties(kqSer_silent PROPERTIES EXPORT_NAME kqSer)
set_target_properties(kqSer_console PROPERTIES EXPORT_NAME console)

# A shared library is loaded, not run: no execute bits (Debian policy 8.1).
set(KQSER_LIB_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
install(TARGETS kqSer_silent EXPORT kqSerTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime
  PERMISSIONS ${KQSER_LIB_PERMISSIONS})
install(TARGETS kqSer_console EXPORT kqSerTargets
  LIBRARY DESTINATION ${KQSER_CONSOLE_LIBDIR} COMPONENT runtime
  PERMISSIONS ${KQSER_LIB_PERMISSIONS})
# The commented kqser.conf: every field option at its default, with why.
install(FILES ${PROJECT_SOURCE_DIR}/doc/kqser.conf.example
  DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/libkqser/examples COMPONENT runtime)
# Its manual page, kqser.conf(5), from the key table the library reads the
# file with. Made with the library, so that a build of just kqser (as
# scripts/demo's) can be installed.
set(KQSER_CONF_MAN ${PROJECT_BINARY_DIR}/doc/kqser.conf.5)
set(kqser_key_table ${PROJECT_SOURCE_DIR}/src/config/Config.cpp)
add_custom_command(OUTPUT ${KQSER_CONF_MAN}
  COMMAND ${CMAKE_COMMAND} -DTABLE=${kqser_key_table} -DMAN=${KQSER_CONF_MAN}
          -DVERSION=${PROJECT_VERSION} -DDOCDIR=${CMAKE_INSTALL_FULL_DATADIR}/doc/libkqser
          -P ${PROJECT_SOURCE_DIR}/cmake/KqserConfPage.cmake
  DEPENDS ${kqser_key_table} ${PROJECT_SOURCE_DIR}/cmake/KqserConfPage.cmake
          ${PROJECT_SOURCE_DIR}/cmake/KqserRoff.cmake
  COMMENT "kqser.conf(5) from the configuration key table")
add_custom_target(kqser_conf_man ALL DEPENDS ${KQSER_CONF_MAN})
add_dependencies(kqSer_silent kqser_conf_man)
install(FILES ${KQSER_CONF_MAN} DESTINATION ${CMAKE_INSTALL_MANDIR}/man5 COMPONENT runtime)

# Exactly the headers registered with kqser_public_headers(); every other
# header is internal and stays in the source tree.
get_property(headers GLOBAL PROPERTY KQSER_PUBLIC_HEADERS)
install(FILES ${headers} DESTINATION ${KQSER_INCLUDEDIR} COMPONENT dev)

install(EXPORT kqSerTargets NAMESPACE kqSer::
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/kqSer COMPONENT dev)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/kqSerConfig.cmake.in
  ${PROJECT_BINARY_DIR}/kqSerConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/kqSer)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/kqSerConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/kqSerConfig.cmake ${PROJECT_BINARY_DIR}/kqSerConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/kqSer COMPONENT dev)

foreach(pc kqSer kqSer-console)
  if(pc STREQUAL "kqSer")
    set(KQSER_PC_LIBDIR ${CMAKE_INSTALL_LIBDIR})
    set(KQSER_PC_DESCRIPTION "serial, GPIO and network ports for embedded hosts (silent build)")
  else()
    set(KQSER_PC_LIBDIR ${KQSER_CONSOLE_LIBDIR})
    set(KQSER_PC_DESCRIPTION "serial, GPIO and network ports for embedded hosts (console-log build)")
  endif()
  # Relative to the file itself, so the tree can be installed under any prefix.
  file(RELATIVE_PATH KQSER_PC_PREFIX /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/kqSer.pc.in ${PROJECT_BINARY_DIR}/${pc}.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/${pc}.pc
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)
endforeach()
