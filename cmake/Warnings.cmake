# Warnings as errors for the project's own targets (third-party headers come in
# as system includes and are not affected).
function(tovlink_warnings target)
  target_compile_options(${target} PRIVATE
    -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion
    -Wformat=2 -Wundef -Werror)
endfunction()
