# Installation: the shared libraries with their SONAME links, the public
# headers, a CMake package (find_package(TovLinkLib) -> TovLinkLib::TovLinkLib
# and TovLinkLib::TovLinkCxx), the pkg-config files tovlink.pc and
# tovlink-cxx.pc, the Python module, and the tovlink and
# tovlink-sim programs with their man pages.  Only the shared library is
# exported: the object and static libraries behind it stay in the build tree.
include(CMakePackageConfigHelpers)

set(TOVLINK_CMAKE_INSTALL_DIR "${CMAKE_INSTALL_LIBDIR}/cmake/TovLinkLib"
  CACHE STRING "Where the CMake package files go, relative to the prefix")
set(TOVLINK_PKGCONFIG_INSTALL_DIR "${CMAKE_INSTALL_LIBDIR}/pkgconfig"
  CACHE STRING "Where tovlink.pc goes, relative to the prefix")
# Debian's python3 looks in /usr/lib/python3/dist-packages; other prefixes
# need PYTHONPATH (or this variable pointed at a directory on sys.path).
set(TOVLINK_PYTHON_INSTALL_DIR "lib/python3/dist-packages"
  CACHE STRING "Where the Python module tovlink goes, relative to the prefix")

set(tovlink_packaging_dir "${CMAKE_BINARY_DIR}/packaging")

# --- Library and header -----------------------------------------------------
install(TARGETS TovLinkLib
  EXPORT TovLinkLibTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT Runtime
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Runtime
    NAMELINK_COMPONENT Development
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Development
  PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT Development)

# The C++ interface and the C interface of sessions: their library and
# tovlink/robot.hpp, tovlink/contract.hpp and tovlink/session.h.
install(TARGETS TovLinkCxx
  EXPORT TovLinkLibTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT Runtime
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Runtime
    NAMELINK_COMPONENT Development
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Development)
# Motions for C hosts (tovlink/motion.h, installed by motion/), where built.
if(TARGET TovLinkMotion AND NOT WIN32)
  install(TARGETS TovLinkMotion
    EXPORT TovLinkLibTargets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Runtime
      NAMELINK_COMPONENT Development)
endif()
install(FILES ${PROJECT_SOURCE_DIR}/TovLinkLib/include/tovlink/robot.hpp
    ${PROJECT_SOURCE_DIR}/TovLinkLib/include/tovlink/contract.hpp
    ${PROJECT_SOURCE_DIR}/TovLinkLib/include/tovlink/session.h
    ${PROJECT_SOURCE_DIR}/TovLinkLib/include/tovlink/session.hpp
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/tovlink
  COMPONENT Development)

# --- CMake package ----------------------------------------------------------
install(EXPORT TovLinkLibTargets
  NAMESPACE TovLinkLib::
  DESTINATION ${TOVLINK_CMAKE_INSTALL_DIR}
  COMPONENT Development)
configure_package_config_file(
  ${CMAKE_CURRENT_LIST_DIR}/TovLinkLibConfig.cmake.in
  ${tovlink_packaging_dir}/TovLinkLibConfig.cmake
  INSTALL_DESTINATION ${TOVLINK_CMAKE_INSTALL_DIR})
# The SONAME changes with the major version, so only the same major is
# compatible.
write_basic_package_version_file(
  ${tovlink_packaging_dir}/TovLinkLibConfigVersion.cmake
  VERSION ${PROJECT_VERSION}
  COMPATIBILITY SameMajorVersion)
install(FILES
    ${tovlink_packaging_dir}/TovLinkLibConfig.cmake
    ${tovlink_packaging_dir}/TovLinkLibConfigVersion.cmake
  DESTINATION ${TOVLINK_CMAKE_INSTALL_DIR}
  COMPONENT Development)

# --- Files that name install paths ------------------------------------------
# tovlink.pc and the Python module's note of its library's place (the session
# library, libTovLinkCxx, which tovlink.Robot loads with ctypes) are written
# at install time, so `cmake --install --prefix DIR` names paths under DIR
# rather than under the prefix the build was configured with.
if(WIN32)
  set(tovlink_library_dir "${CMAKE_INSTALL_BINDIR}")
  set(tovlink_python_library_file "TovLinkCxx.dll")
else()
  set(tovlink_library_dir "${CMAKE_INSTALL_LIBDIR}")
  set(tovlink_python_library_file "libTovLinkCxx.so.${PROJECT_VERSION_MAJOR}")
endif()
configure_file(${CMAKE_CURRENT_LIST_DIR}/InstallPaths.cmake.in
  ${tovlink_packaging_dir}/InstallPaths.cmake @ONLY)
install(SCRIPT ${tovlink_packaging_dir}/InstallPaths.cmake
  COMPONENT Development)
install(FILES ${tovlink_packaging_dir}/tovlink.pc ${tovlink_packaging_dir}/tovlink-cxx.pc
    ${tovlink_packaging_dir}/tovlink-session.pc
  DESTINATION ${TOVLINK_PKGCONFIG_INSTALL_DIR}
  COMPONENT Development)

# --- Python module ----------------------------------------------------------
install(DIRECTORY ${PROJECT_SOURCE_DIR}/python/tovlink
  DESTINATION ${TOVLINK_PYTHON_INSTALL_DIR}
  COMPONENT Python
  FILES_MATCHING PATTERN "*.py" PATTERN "py.typed"
  PATTERN "__pycache__" EXCLUDE)
install(FILES ${tovlink_packaging_dir}/_install_location.py
  DESTINATION ${TOVLINK_PYTHON_INSTALL_DIR}/tovlink
  COMPONENT Python)

# --- Programs and their man pages ---------------------------------------------
# help2man turns each program's --help into a man page at build time; without
# it (or when cross-compiling, where the programs cannot run) the programs'
# --help stays the documentation.
find_program(TOVLINK_HELP2MAN help2man)
find_program(TOVLINK_GZIP gzip)
if(NOT TOVLINK_GZIP)
  set(TOVLINK_HELP2MAN TOVLINK_HELP2MAN-NOTFOUND)
endif()

# Installs a program and, where it can be made, its man page in section 1.
function(tovlink_install_program target summary)
  if(NOT TARGET ${target})
    return()
  endif()
  # The tool links the shared library; from a private prefix it finds it
  # beside its own bin folder (a system folder needs no search path).
  if(NOT WIN32 AND NOT TOVLINK_LIBDIR_IS_SYSTEM)
    file(RELATIVE_PATH lib_from_bin "/${CMAKE_INSTALL_BINDIR}" "/${CMAKE_INSTALL_LIBDIR}")
    set_property(TARGET ${target} APPEND PROPERTY INSTALL_RPATH "$ORIGIN/${lib_from_bin}")
  endif()
  install(TARGETS ${target} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT Programs)
  if(NOT TOVLINK_HELP2MAN OR CMAKE_CROSSCOMPILING)
    return()
  endif()
  set(page "${tovlink_packaging_dir}/man/${target}.1")
  # A program may add sections (examples, environment) through its target's
  # TOVLINK_MAN_INCLUDE property: a help2man --include file.
  get_target_property(include ${target} TOVLINK_MAN_INCLUDE)
  set(include_option "")
  if(include)
    set(include_option "--include=${include}")
  else()
    set(include "")
  endif()
  # Installed compressed, as man finds them and as Debian packages must.
  add_custom_command(OUTPUT ${page}.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${tovlink_packaging_dir}/man
    COMMAND ${TOVLINK_HELP2MAN} --no-info --version-string=${PROJECT_VERSION}
      --name=${summary} ${include_option} --output=${page} $<TARGET_FILE:${target}>
    COMMAND ${TOVLINK_GZIP} -9nf ${page}
    DEPENDS ${target} ${include}
    COMMENT "Man page ${target}.1"
    VERBATIM)
  add_custom_target(${target}_man ALL DEPENDS ${page}.gz)
  install(FILES ${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT Programs)
endfunction()

tovlink_install_program(tovlink "drive the robot through its serial link adapter")
tovlink_install_program(tovlink-sim "virtual robot on a pseudo-terminal")
