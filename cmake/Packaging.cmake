# What `cmake --install` puts under the prefix: the versioned shared library, the public headers
# in include/native64/, the host tool, a CMake package (find_package(Native64) gives the target
# Native64::native64) and a pkg-config file. Every file is found relative to the prefix, so the
# installed tree can be moved.
include(CMakePackageConfigHelpers)

set(NATIVE64_CMAKE_INSTALL_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Native64)
set(NATIVE64_PKGCONFIG_INSTALL_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

install(TARGETS native64 EXPORT Native64Targets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/native64
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
  FILES_MATCHING PATTERN "*.h")

# CMake package: the exported target, the OpenCV lookup it depends on, and a version file. Before
# 1.0 a minor release may change the interface, so only the same minor version is compatible.
install(EXPORT Native64Targets
  NAMESPACE Native64::
  DESTINATION ${NATIVE64_CMAKE_INSTALL_DIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/Native64Config.cmake.in
  ${PROJECT_BINARY_DIR}/Native64Config.cmake
  INSTALL_DESTINATION ${NATIVE64_CMAKE_INSTALL_DIR}
  NO_SET_AND_CHECK_MACRO)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/Native64ConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES
  ${PROJECT_BINARY_DIR}/Native64Config.cmake
  ${PROJECT_BINARY_DIR}/Native64ConfigVersion.cmake
  ${PROJECT_SOURCE_DIR}/cmake/OpenCVModules.cmake
  DESTINATION ${NATIVE64_CMAKE_INSTALL_DIR})

# pkg-config: the prefix is taken relative to the .pc file's own folder. OpenCV's per-module
# packages ship no opencv4.pc to require, so its core module is named directly.
file(RELATIVE_PATH NATIVE64_PKGCONFIG_TO_PREFIX
  /${NATIVE64_PKGCONFIG_INSTALL_DIR} /)
string(REGEX REPLACE "/$" "" NATIVE64_PKGCONFIG_TO_PREFIX "${NATIVE64_PKGCONFIG_TO_PREFIX}")
get_filename_component(NATIVE64_OPENCV_LIBRARY_DIR "${NATIVE64_OPENCV_core_LIBRARY}" DIRECTORY)
configure_file(${PROJECT_SOURCE_DIR}/cmake/native64.pc.in ${PROJECT_BINARY_DIR}/native64.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/native64.pc DESTINATION ${NATIVE64_PKGCONFIG_INSTALL_DIR})
