# Debian packages with CPack's DEB generator (docs/packaging.md):
#   cmake -S . -B build-deb -DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF
#   cmake --build build-deb -j2 --target package
# One package per install component: the runtime libraries, their -dev
# package, the tool with the virtual robot, and the service.  The Python
# package is not one of them: pip builds it with its own copy of the
# libraries (python/).  Dependencies on system libraries come from
# dpkg-shlibdeps; between these packages, from the components' own.
if(WIN32 OR NOT CMAKE_SYSTEM_NAME STREQUAL "Linux")
  return()
endif()

set(TOVLINK_PACKAGE_MAINTAINER "TovLinkLib developers <developers@tovlinklib.org>"
  CACHE STRING "The Maintainer field of the Debian packages")
set(TOVLINK_PACKAGE_HOMEPAGE "" CACHE STRING "The Homepage field of the Debian packages")

# Package name -> component; the Service component exists where tovlinkd is
# built.
set(tovlink_deb_components Runtime Development Programs)
if(TARGET tovlinkd)
  list(APPEND tovlink_deb_components Service)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tovlink)
set(CPACK_PACKAGE_VENDOR "TovLinkLib developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${TOVLINK_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL ${tovlink_deb_components})
set(CPACK_DEB_COMPONENT_INSTALL ON)
# A component's dependencies become its package's, at the same version.
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${TOVLINK_PACKAGE_MAINTAINER}")
if(TOVLINK_PACKAGE_HOMEPAGE)
  set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "${TOVLINK_PACKAGE_HOMEPAGE}")
endif()
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# dpkg-shlibdeps finds our own libraries in the build tree; the dependency
# on their package comes from the components (below), not from it.
get_target_property(tovlink_library_build_dir TovLinkLib BINARY_DIR)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS "${tovlink_library_build_dir}")
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME "libtovlinklib${PROJECT_VERSION_MAJOR}")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION
  "drive the robot through its serial link adapter - shared libraries
TovLinkLib connects to the robot through its serial link adapter, reads
its telemetry and moves its motors, LEDs and voice.  This package holds the
library with its flat C interface (libTovLinkLib) and the C++ interface
over it (libTovLinkCxx).")

# dpkg's ldconfig trigger instead of the scripts CPack would write to call
# ldconfig.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA "")
foreach(file postinst postrm triggers)
  configure_file(${PROJECT_SOURCE_DIR}/packaging/debian/libtovlinklib.${file}
    ${tovlink_packaging_dir}/deb/runtime/${file} COPYONLY)
  list(APPEND CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${tovlink_packaging_dir}/deb/runtime/${file})
endforeach()

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME "libtovlinklib-dev")
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_COMPONENT_DEVELOPMENT_DEPENDS Runtime)
set(CPACK_COMPONENT_DEVELOPMENT_DESCRIPTION
  "drive the robot through its serial link adapter - development files
The headers tovlink.h (C) and tovlink/robot.hpp (C++20), the link-time
names of the libraries, the CMake package (find_package(TovLinkLib)) and
the pkg-config files tovlink.pc and tovlink-cxx.pc.")

set(CPACK_DEBIAN_PROGRAMS_PACKAGE_NAME "tovlink")
set(CPACK_DEBIAN_PROGRAMS_PACKAGE_SECTION electronics)
set(CPACK_COMPONENT_PROGRAMS_DEPENDS Runtime)
set(CPACK_COMPONENT_PROGRAMS_DESCRIPTION
  "drive the robot from the command line, and a virtual robot
tovlink runs one command or an interactive shell against a robot, directly
on its serial port or through the robot service tovlinkd.  tovlink-sim
plays the link adapter and the robot on a pseudo-terminal, for trying
hosts out without the hardware.")

set(CPACK_DEBIAN_SERVICE_PACKAGE_NAME "tovlinkd")
set(CPACK_DEBIAN_SERVICE_PACKAGE_SECTION electronics)
set(CPACK_COMPONENT_SERVICE_DEPENDS Runtime)
set(CPACK_DEBIAN_SERVICE_PACKAGE_DEPENDS "adduser")
set(CPACK_DEBIAN_SERVICE_PACKAGE_SUGGESTS "tovlink")
set(CPACK_COMPONENT_SERVICE_DESCRIPTION
  "robot service: robots on the network, web panel, MQTT bridge
tovlinkd owns the robots named in /etc/tovlink/tovlinkd.conf, keeps them
connected, polls their telemetry and serves clients on a Unix socket,
over WebSocket with its web panel, and through an MQTT broker.  It comes
with its systemd units (socket activation), the tovlink system user and
group, and a udev rule that names link adapters /dev/tovlink/SERIAL.")
set(tovlink_maintainer_scripts "")
foreach(script postinst prerm postrm)
  # CPack takes them by their Debian names; the file modes (0755) come along.
  configure_file(${PROJECT_SOURCE_DIR}/packaging/debian/tovlinkd.${script}
    ${tovlink_packaging_dir}/deb/tovlinkd/${script} COPYONLY)
  list(APPEND tovlink_maintainer_scripts ${tovlink_packaging_dir}/deb/tovlinkd/${script})
endforeach()
# The configuration file is a conffile: dpkg keeps an administrator's edits.
get_property(tovlinkd_conffiles GLOBAL PROPERTY TOVLINKD_CONFFILES)
list(JOIN tovlinkd_conffiles "\n" tovlinkd_conffiles)
file(WRITE ${tovlink_packaging_dir}/deb/tovlinkd/conffiles "${tovlinkd_conffiles}\n")
list(APPEND tovlink_maintainer_scripts ${tovlink_packaging_dir}/deb/tovlinkd/conffiles)
set(CPACK_DEBIAN_SERVICE_PACKAGE_CONTROL_EXTRA ${tovlink_maintainer_scripts})

# Every package brings its copyright file (the service's also the web
# panel's charting library, compiled into it), its changelog and its lintian
# overrides (docs/packaging.md says why each is there).
find_program(TOVLINK_GZIP gzip REQUIRED)
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(tovlink_changelog_date "$ENV{SOURCE_DATE_EPOCH}")
else()
  string(TIMESTAMP tovlink_changelog_date "%s" UTC)
endif()
execute_process(COMMAND date -u -R -d "@${tovlink_changelog_date}"
  OUTPUT_VARIABLE tovlink_changelog_date OUTPUT_STRIP_TRAILING_WHITESPACE)
foreach(component IN LISTS tovlink_deb_components)
  string(TOUPPER ${component} upper)
  set(package ${CPACK_DEBIAN_${upper}_PACKAGE_NAME})
  set(doc_dir ${tovlink_packaging_dir}/deb/doc/${package})
  file(READ ${PROJECT_SOURCE_DIR}/packaging/debian/copyright copyright)
  if(component STREQUAL "Service")
    file(READ ${PROJECT_SOURCE_DIR}/packaging/debian/copyright-uplot uplot)
    string(APPEND copyright "${uplot}")
  endif()
  file(WRITE ${doc_dir}/copyright "${copyright}")
  file(WRITE ${doc_dir}/changelog
    "tovlink (${PROJECT_VERSION}) unstable; urgency=medium\n\n"
    "  * Built from the TovLinkLib source tree, version ${PROJECT_VERSION}.\n\n"
    " -- ${TOVLINK_PACKAGE_MAINTAINER}  ${tovlink_changelog_date}\n")
  execute_process(COMMAND ${TOVLINK_GZIP} -9nf ${doc_dir}/changelog)
  install(FILES ${doc_dir}/copyright ${doc_dir}/changelog.gz
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package}
    COMPONENT ${component} EXCLUDE_FROM_ALL)
  set(overrides ${PROJECT_SOURCE_DIR}/packaging/debian/${package}.lintian-overrides)
  if(EXISTS ${overrides})
    install(FILES ${overrides} DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides
      RENAME ${package} COMPONENT ${component} EXCLUDE_FROM_ALL)
  endif()
endforeach()

include(CPack)
