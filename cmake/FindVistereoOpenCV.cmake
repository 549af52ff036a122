# Debian ships the OpenCV module packages (core, imgproc, imgcodecs,
# features2d) without a CMake package configuration; locate the headers and
# the libraries directly and expose them as imported targets.
find_path(VistereoOpenCV_INCLUDE_DIR opencv2/core.hpp PATH_SUFFIXES opencv4)
set(_vistereo_cv_vars VistereoOpenCV_INCLUDE_DIR)
foreach(_m core imgproc imgcodecs features2d)
  find_library(VistereoOpenCV_${_m}_LIBRARY opencv_${_m})
  list(APPEND _vistereo_cv_vars VistereoOpenCV_${_m}_LIBRARY)
endforeach()
# The image codecs' soname (libopencv_imgcodecs.so.406), which the conversion
# library opens on first use instead of linking the codecs.
if(VistereoOpenCV_imgcodecs_LIBRARY AND NOT VistereoOpenCV_imgcodecs_SONAME)
  execute_process(COMMAND ${CMAKE_OBJDUMP} -p ${VistereoOpenCV_imgcodecs_LIBRARY} OUTPUT_VARIABLE _vistereo_cv_dump
                  ERROR_QUIET)
  if(_vistereo_cv_dump MATCHES "SONAME +([^ \n]+)")
    set(VistereoOpenCV_imgcodecs_SONAME ${CMAKE_MATCH_1} CACHE STRING "soname of OpenCV's image codecs library")
  endif()
endif()
list(APPEND _vistereo_cv_vars VistereoOpenCV_imgcodecs_SONAME)
include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(VistereoOpenCV REQUIRED_VARS ${_vistereo_cv_vars})
# The calibration module is for the tests alone (they check the lens laws against
# cv::fisheye); the programs never link it.
find_library(VistereoOpenCV_calib3d_LIBRARY opencv_calib3d)
if(VistereoOpenCV_FOUND)
  set(_vistereo_cv_targets core imgproc imgcodecs features2d)
  if(VistereoOpenCV_calib3d_LIBRARY)
    list(APPEND _vistereo_cv_targets calib3d)
  endif()
  foreach(_m ${_vistereo_cv_targets})
    if(NOT TARGET OpenCV::${_m})
      add_library(OpenCV::${_m} UNKNOWN IMPORTED)
      set_target_properties(OpenCV::${_m} PROPERTIES
        IMPORTED_LOCATION "${VistereoOpenCV_${_m}_LIBRARY}"
        INTERFACE_INCLUDE_DIRECTORIES "${VistereoOpenCV_INCLUDE_DIR}")
    endif()
  endforeach()
endif()
