# Locates OpenCV 4 modules installed from Debian's per-module -dev packages, which ship headers and
# libraries but no CMake package file, and defines one imported target per module found:
# OpenCV::core, OpenCV::imgproc, ... A module that is missing gets no target; the caller decides
# whether that is an error. Installed beside the package file, which uses it for OpenCV::core.
find_path(NATIVE64_OPENCV_INCLUDE_DIR opencv2/core.hpp PATH_SUFFIXES opencv4)

function(native64_find_opencv_modules)
  foreach(module IN LISTS ARGN)
    if(TARGET OpenCV::${module})
      continue()
    endif()
    find_library(NATIVE64_OPENCV_${module}_LIBRARY opencv_${module})
    if(NATIVE64_OPENCV_INCLUDE_DIR AND NATIVE64_OPENCV_${module}_LIBRARY)
      add_library(OpenCV::${module} SHARED IMPORTED)
      set_target_properties(OpenCV::${module} PROPERTIES
        IMPORTED_LOCATION "${NATIVE64_OPENCV_${module}_LIBRARY}"
        INTERFACE_INCLUDE_DIRECTORIES "${NATIVE64_OPENCV_INCLUDE_DIR}")
    endif()
  endforeach()
endfunction()
