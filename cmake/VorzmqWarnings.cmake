# SPDX-License-Identifier: MIT
function(vorzmq_set_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow=local -Wconversion -Wno-sign-conversion)
  if(VORZMQ_WARNINGS_AS_ERRORS)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
