# SPDX-License-Identifier: MIT
# Every dependency comes from Debian 12 packages (see scripts/install-deps).
find_package(PkgConfig REQUIRED)
pkg_check_modules(ZMQ REQUIRED IMPORTED_TARGET libzmq>=4.3)
find_package(log4cxx REQUIRED CONFIG)
find_package(jsoncpp REQUIRED CONFIG)
find_package(Boost 1.74 REQUIRED COMPONENTS thread date_time)
find_package(Threads REQUIRED)

if(VORZMQ_SANITIZER STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
elseif(VORZMQ_SANITIZER STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(NOT VORZMQ_SANITIZER STREQUAL "")
  message(FATAL_ERROR "VORZMQ_SANITIZER must be empty, address or thread")
endif()
