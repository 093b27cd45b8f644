# Locates the OpenCV 4 modules installed from Debian's per-module -dev packages, which ship
# headers and libraries but no CMake package file, and defines one imported target per module:
# OpenCV::core, OpenCV::imgproc, ...
find_path(OPENCV4_INCLUDE_DIR opencv2/core.hpp PATH_SUFFIXES opencv4 REQUIRED)

function(native64_find_opencv_module module)
  if(TARGET OpenCV::${module})
    return()
  endif()
  find_library(OPENCV_${module}_LIBRARY opencv_${module} REQUIRED)
  add_library(OpenCV::${module} SHARED IMPORTED)
  set_target_properties(OpenCV::${module} PROPERTIES
    IMPORTED_LOCATION "${OPENCV_${module}_LIBRARY}"
    INTERFACE_INCLUDE_DIRECTORIES "${OPENCV4_INCLUDE_DIR}")
endfunction()

foreach(module core imgproc highgui calib3d imgcodecs features2d)
  native64_find_opencv_module(${module})
endforeach()
