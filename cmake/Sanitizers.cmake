# One sanitizer flavour per build folder; applied to every target, so the
# library, the tools and the tests are all instrumented alike.
if(TOVLINK_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=address,undefined)
elseif(TOVLINK_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
  # GCC 12 warns (-Wtsan) that TSan does not model std::atomic_thread_fence,
  # which Boost.Asio's headers use for their fenced blocks; that is the
  # sanitizer's limit, not a fault in our code, and -Werror must not stop on it.
  include(CheckCXXCompilerFlag)
  check_cxx_compiler_flag(-Wtsan TOVLINK_COMPILER_HAS_WTSAN)
  if(TOVLINK_COMPILER_HAS_WTSAN)
    add_compile_options(-Wno-tsan)
  endif()
elseif(NOT TOVLINK_SANITIZE STREQUAL "")
  message(FATAL_ERROR "TOVLINK_SANITIZE must be empty, 'address' or 'thread'")
endif()
