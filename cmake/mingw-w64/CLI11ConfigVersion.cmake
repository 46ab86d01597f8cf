# The version is that of the Debian package whose headers are used.
include(/usr/share/cmake/CLI11/CLI11ConfigVersion.cmake OPTIONAL RESULT_VARIABLE _tovlink_cli11_version)
if(NOT _tovlink_cli11_version)
  set(PACKAGE_VERSION_UNSUITABLE TRUE)
endif()
