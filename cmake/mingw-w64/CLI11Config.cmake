# CLI11 for the mingw-w64 cross build.  CLI11 is header-only, so Debian's
# package (libcli11-dev) serves the Windows programs too; but its own config
# file adds the build machine's /usr/include, which would put glibc's headers
# in front of mingw-w64's.  This one exposes a folder holding nothing but a
# link to the CLI/ headers.  The toolchain file points CLI11_DIR here.
set(_tovlink_cli11_headers /usr/include/CLI)
if(NOT EXISTS ${_tovlink_cli11_headers}/CLI.hpp)
  set(CLI11_FOUND FALSE)
  set(CLI11_NOT_FOUND_MESSAGE "no ${_tovlink_cli11_headers}/CLI.hpp: install libcli11-dev")
  return()
endif()
if(NOT TARGET CLI11::CLI11)
  set(_tovlink_cli11_include ${CMAKE_BINARY_DIR}/cross-cli11/include)
  if(NOT EXISTS ${_tovlink_cli11_include}/CLI)
    file(MAKE_DIRECTORY ${_tovlink_cli11_include})
    file(CREATE_LINK ${_tovlink_cli11_headers} ${_tovlink_cli11_include}/CLI SYMBOLIC)
  endif()
  add_library(CLI11::CLI11 INTERFACE IMPORTED)
  set_target_properties(CLI11::CLI11 PROPERTIES
    INTERFACE_INCLUDE_DIRECTORIES ${_tovlink_cli11_include}
    INTERFACE_COMPILE_FEATURES cxx_std_11)
endif()
