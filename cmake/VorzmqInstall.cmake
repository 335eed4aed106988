# SPDX-License-Identifier: MIT
# Installation: the library, the header, the CMake package and the
# pkg-config file. The Debian packages (debian/) split the installed tree;
# the components name the same split for `cmake --install --component`:
#   runtime -> libvorzmq1     (libvorzmq.so.1, libvorzmq.so.1.x.y)
#   dev     -> libvorzmq-dev  (header, libvorzmq.so link, vorzmq.pc, CMake package)
#   tools   -> vorzmq-tools   (the vorzmq command and its man page; tools/)
include(CMakePackageConfigHelpers)

set(VORZMQ_INSTALL_CMAKEDIR "${CMAKE_INSTALL_LIBDIR}/cmake/vorzmq"
  CACHE STRING "Where vorzmqConfig.cmake is installed, relative to the prefix")
mark_as_advanced(VORZMQ_INSTALL_CMAKEDIR)

install(TARGETS vorzmq EXPORT vorzmqTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev
  PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)

install(EXPORT vorzmqTargets
  NAMESPACE vorzmq::
  FILE vorzmqTargets.cmake
  DESTINATION ${VORZMQ_INSTALL_CMAKEDIR}
  COMPONENT dev)

configure_package_config_file(
  ${CMAKE_CURRENT_LIST_DIR}/vorzmqConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/vorzmqConfig.cmake
  INSTALL_DESTINATION ${VORZMQ_INSTALL_CMAKEDIR})
# Soname 1 promises compatibility across every 1.x release.
write_basic_package_version_file(
  ${CMAKE_CURRENT_BINARY_DIR}/vorzmqConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${CMAKE_CURRENT_BINARY_DIR}/vorzmqConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/vorzmqConfigVersion.cmake
  DESTINATION ${VORZMQ_INSTALL_CMAKEDIR}
  COMPONENT dev)

# The .pc file finds its prefix relative to itself, so one file serves
# `cmake --install --prefix <anywhere>` and the packaged /usr alike.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  set(VORZMQ_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
else()
  file(RELATIVE_PATH VORZMQ_PC_UP "/prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/prefix")
  string(REGEX REPLACE "/$" "" VORZMQ_PC_UP "${VORZMQ_PC_UP}")
  set(VORZMQ_PC_PREFIX "\${pcfiledir}/${VORZMQ_PC_UP}")
endif()
foreach(kind IN ITEMS LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${kind}}")
    set(VORZMQ_PC_${kind} "${CMAKE_INSTALL_${kind}}")
  else()
    set(VORZMQ_PC_${kind} "\${prefix}/${CMAKE_INSTALL_${kind}}")
  endif()
endforeach()
configure_file(${CMAKE_CURRENT_LIST_DIR}/vorzmq.pc.in ${CMAKE_CURRENT_BINARY_DIR}/vorzmq.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/vorzmq.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
  COMPONENT dev)
