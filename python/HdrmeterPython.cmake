# Finds what the Python module is built with: an interpreter with its headers, and pybind11's CMake
# package. Debian's /usr/bin/python3 comes first when nothing is asked for, because the module is built
# for the interpreter whose numpy and site directories Debian packages; an interpreter earlier on PATH
# (a pyenv shim, say) would get a module that Debian's python cannot load. Sets
# HDRMETER_PYTHON_FOUND.
if(NOT DEFINED Python3_EXECUTABLE AND EXISTS /usr/bin/python3)
  set(Python3_EXECUTABLE /usr/bin/python3 CACHE FILEPATH "The Python interpreter the module is built for")
endif()
find_package(Python3 COMPONENTS Interpreter Development.Module QUIET)
if(Python3_FOUND)
  find_package(pybind11 CONFIG QUIET)
endif()
if(Python3_FOUND AND pybind11_FOUND)
  set(HDRMETER_PYTHON_FOUND ON)
else()
  set(HDRMETER_PYTHON_FOUND OFF)
endif()
