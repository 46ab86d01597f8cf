# One sanitizer flavour per build folder; applied to every target, so the
# library, the tools and the tests are all instrumented alike.
if(TOVLINK_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=address,undefined)
elseif(TOVLINK_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(NOT TOVLINK_SANITIZE STREQUAL "")
  message(FATAL_ERROR "TOVLINK_SANITIZE must be empty, 'address' or 'thread'")
endif()
