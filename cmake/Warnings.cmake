# Warnings for the project's own targets (third-party headers come in as
# system includes and are not affected).  They are errors only when asked for:
# CI and developers build with -DTOVLINK_WARNINGS_AS_ERRORS=ON, while a user's
# build with another compiler or flags never fails on a new warning.
option(TOVLINK_WARNINGS_AS_ERRORS "Treat compiler warnings in the project's own code as errors" OFF)

function(tovlink_warnings target)
  target_compile_options(${target} PRIVATE
    -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion
    -Wformat=2 -Wundef)
  if(TOVLINK_WARNINGS_AS_ERRORS)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
