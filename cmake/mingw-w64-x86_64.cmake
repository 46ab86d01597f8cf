# Cross build for 64-bit Windows with Debian's mingw-w64 (package
# g++-mingw-w64-x86-64):
#   cmake -S . -B build-mingw -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
#
# The "-posix" compilers are the ones whose libstdc++ has std::thread and
# std::mutex (on top of winpthreads); the "-win32" flavour lacks them.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TOVLINK_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TOVLINK_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TOVLINK_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${TOVLINK_MINGW_TRIPLE}-windres)

# Libraries and packages come from the cross sysroot only, never from the
# build machine's /usr.
set(CMAKE_FIND_ROOT_PATH /usr/${TOVLINK_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Every program and DLL carries its own C++ runtime and winpthreads, so it
# needs nothing beyond the DLLs that come with Windows.  -static also makes
# the driver pick libwinpthread.a over its import library.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")


# CLI11 (header-only) comes from the build machine's Debian package, through
# a config file that exposes only its headers.
set(CLI11_DIR ${CMAKE_CURRENT_LIST_DIR}/mingw-w64 CACHE PATH "CLI11 for the cross build")

# GCC 12 at -O3 reports a false -Wrestrict overlap inside std::string's
# operator+ (GCC bug 105329), which -Werror turns into a failed build of the
# tool; Release builds here use -O2 instead.
set(CMAKE_C_FLAGS_RELEASE "-O2 -DNDEBUG" CACHE STRING "Flags for Release builds")
set(CMAKE_CXX_FLAGS_RELEASE "-O2 -DNDEBUG" CACHE STRING "Flags for Release builds")
