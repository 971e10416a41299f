# Only OpenCV's core and imgproc are needed. Debian's libopencv-core-dev and libopencv-imgproc-dev ship
# no CMake config or pkg-config file (those come with the 200-package meta-package), so when
# find_package(OpenCV) finds nothing the headers and libraries are located directly.
find_package(OpenCV QUIET COMPONENTS core imgproc)
add_library(hdrmeter_opencv INTERFACE)
if(OpenCV_FOUND)
  target_include_directories(hdrmeter_opencv SYSTEM INTERFACE ${OpenCV_INCLUDE_DIRS})
  target_link_libraries(hdrmeter_opencv INTERFACE opencv_core opencv_imgproc)
  message(STATUS "OpenCV ${OpenCV_VERSION} from its CMake package")
else()
  find_path(HDRMETER_OPENCV_INCLUDE_DIR opencv2/core.hpp PATH_SUFFIXES opencv4)
  find_library(HDRMETER_OPENCV_CORE_LIBRARY opencv_core)
  find_library(HDRMETER_OPENCV_IMGPROC_LIBRARY opencv_imgproc)
  if(NOT HDRMETER_OPENCV_INCLUDE_DIR OR NOT HDRMETER_OPENCV_CORE_LIBRARY OR NOT HDRMETER_OPENCV_IMGPROC_LIBRARY)
    message(FATAL_ERROR "OpenCV core and imgproc not found: install libopencv-core-dev and libopencv-imgproc-dev "
                        "(or run scripts/deps.sh)")
  endif()
  target_include_directories(hdrmeter_opencv SYSTEM INTERFACE ${HDRMETER_OPENCV_INCLUDE_DIR})
  target_link_libraries(hdrmeter_opencv INTERFACE ${HDRMETER_OPENCV_IMGPROC_LIBRARY} ${HDRMETER_OPENCV_CORE_LIBRARY})
  message(STATUS "OpenCV from ${HDRMETER_OPENCV_INCLUDE_DIR} and ${HDRMETER_OPENCV_CORE_LIBRARY}")
endif()
