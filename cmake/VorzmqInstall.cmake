# SPDX-License-Identifier: MIT
# Installation, the CMake package, pkg-config file and the Debian packages.
#
# Components decide which .deb a file lands in:
#   runtime -> libvorzmq1     (libvorzmq.so.1, libvorzmq.so.1.0.0)
#   dev     -> libvorzmq-dev  (header, libvorzmq.so link, vorzmq.pc, CMake package)
#   tools   -> vorzmq-tools   (the vorzmq command; installed by tools/)
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

# Debian packages: `cpack -G DEB` in a build configured with
# -DCMAKE_INSTALL_PREFIX=/usr, so that the library lands in the multiarch
# directory. Run-time dependencies come from dpkg-shlibdeps.
set(VORZMQ_PACKAGE_MAINTAINER "libvorzmq developers <vorzmq@localhost>"
  CACHE STRING "Maintainer field of the Debian packages")
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vorzmq)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
# Debian packages always install under /usr, whatever the build's own prefix.
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime dev)
if(TARGET vorzmq_tool)
  list(APPEND CPACK_COMPONENTS_ALL tools)
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# Packages carry stripped binaries, as Debian's own do; strip keeps the
# dynamic symbol table, so the exported interface is unchanged.
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${VORZMQ_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The tool links the library from this build, which no installed package
# describes yet; let dpkg-shlibdeps find it here.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR})
# Ships a shlibs file so that programs packaged against libvorzmq1 get the
# right dependency from dpkg-shlibdeps.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libvorzmq1)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
# The first line of each description is that package's synopsis; an empty
# common summary keeps CPack from putting the project's in front of it.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "")
set(VORZMQ_DEB_SYNOPSIS "ZeroMQ request/reply and publish/subscribe library")
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION
  "${VORZMQ_DEB_SYNOPSIS} - runtime library
libvorzmq wraps libzmq in a context, request/reply sockets with a fixed OK
acknowledgement, publish/subscribe sockets and a re-broadcast client.
This package holds the shared library.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libvorzmq-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
# vorzmq.h includes log4cxx and JsonCpp headers; vorzmq.pc names libzmq.
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS
  "libvorzmq1 (= ${PROJECT_VERSION}), liblog4cxx-dev, libjsoncpp-dev, libzmq3-dev")
set(CPACK_COMPONENT_DEV_DESCRIPTION
  "${VORZMQ_DEB_SYNOPSIS} - development files
libvorzmq wraps libzmq in a context, request/reply sockets with a fixed OK
acknowledgement, publish/subscribe sockets and a re-broadcast client.
This package holds the header, the pkg-config file and the CMake package.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME vorzmq-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION net)
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "libvorzmq1 (= ${PROJECT_VERSION})")
set(CPACK_COMPONENT_TOOLS_DESCRIPTION
  "${VORZMQ_DEB_SYNOPSIS} - command-line tool
The vorzmq command sends requests, answers them, publishes and subscribes
through libvorzmq, for scripts and for trying out a deployment.")

include(CPack)
