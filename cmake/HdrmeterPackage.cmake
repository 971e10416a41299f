# A Debian package of what `cmake --install` puts in place: the tool, the libraries, the headers, the
# CMake and pkg-config files and the Python module. scripts/package.sh builds it with a /usr prefix.
# Its dependencies are read from the binaries by dpkg-shlibdeps, so that they are the shared libraries
# of the Debian release it was built on (FFmpeg's, OpenCV's, librsvg's ...); the module's interpreter and
# numpy are named here, since no binary links them (and nothing of Python's when the module is not built).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME hdrmeter)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "hdrmeter developers <hdrmeter@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "measures HDR video: MaxCLL, MaxFALL, HDR10+ and Dolby Vision metadata")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "hdrmeter measures the light of HDR10 and HLG video frame by frame and writes the metadata encoders
need: MaxCLL and MaxFALL, HDR10+ JSON, a Dolby Vision generator config, per-frame CSV, plots and an HTML
report. The package holds the command-line tool, the libraries with their headers, CMake and
pkg-config files, and the Python module.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION video)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The module is built for one interpreter (_hdrmeter.cpython-311-...so loads in Python 3.11 alone), so the
# package asks for that version, as Debian's own extension packages do.
if(HDRMETER_BUILD_PYTHON)
  math(EXPR hdrmeter_next_python_minor "${Python3_VERSION_MINOR} + 1")
  set(CPACK_DEBIAN_PACKAGE_DEPENDS
      "python3 (>= ${Python3_VERSION_MAJOR}.${Python3_VERSION_MINOR}~), python3 (<< ${Python3_VERSION_MAJOR}.${hdrmeter_next_python_minor}), python3-numpy")
endif()
include(CPack)
