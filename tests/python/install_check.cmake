# Installs the project into a scratch prefix and imports the package from there with the module's
# interpreter, as a user's PYTHONPATH would; the module must load the library of that prefix (through its
# relative RPATH), not the build tree's.
file(REMOVE_RECURSE ${WORK_DIR})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${WORK_DIR}/prefix
  RESULT_VARIABLE result OUTPUT_QUIET)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "cmake --install into ${WORK_DIR}/prefix failed")
endif()
set(check [=[
import os, sys
import numpy as np
import hdrmeter
prefix = os.path.realpath(sys.argv[1])
assert os.path.realpath(hdrmeter.__file__).startswith(prefix + "/"), hdrmeter.__file__
with open("/proc/self/maps") as maps:
    libraries = {line.split()[-1] for line in maps if "libhdrmeter.so" in line}
assert libraries and all(os.path.realpath(p).startswith(prefix + "/") for p in libraries), libraries
y, chroma = np.full((2, 2), 940, np.uint16), np.full((1, 1), 512, np.uint16)
assert hdrmeter.analyze_frame(y, chroma, chroma).largest_light_nits == 10000.0
print("imported hdrmeter", hdrmeter.__version__, "from", os.path.dirname(hdrmeter.__file__))
]=])
execute_process(COMMAND ${CMAKE_COMMAND} -E env --unset=LD_LIBRARY_PATH
    PYTHONPATH=${WORK_DIR}/prefix/${PYTHON_INSTALL_DIR} PYTHONDONTWRITEBYTECODE=1
    ${PYTHON} -c "${check}" ${WORK_DIR}/prefix
  WORKING_DIRECTORY ${WORK_DIR} RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "the installed package did not import or measure (see above)")
endif()
