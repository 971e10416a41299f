# Run with cmake -P. Installs the built library into WORK_DIR/prefix, then builds and runs the example
# host program against that tree twice: through find_package(hdrmeter) and through pkg-config. Last, a
# host adds the source tree with add_subdirectory, without GoogleTest or CLI11, and its own code must
# not be compiled with hdrmeter's options.
file(REMOVE_RECURSE ${WORK_DIR})
function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "failed (${rc}): ${ARGN}\n${out}\n${err}")
  endif()
  set(last_output "${out}" PARENT_SCOPE)
endfunction()

set(prefix ${WORK_DIR}/prefix)
run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})

file(GLOB_RECURSE sonames ${prefix}/*/libhdrmeter.so.0)
if(NOT sonames)
  message(FATAL_ERROR "the installed tree has no libhdrmeter.so.0 link")
endif()
list(GET sonames 0 soname)
get_filename_component(libdir ${soname} DIRECTORY)

run(${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${WORK_DIR}/cmake-build -DCMAKE_PREFIX_PATH=${prefix}
    -DCMAKE_CXX_COMPILER=${CXX})
run(${CMAKE_COMMAND} --build ${WORK_DIR}/cmake-build)
run(${CMAKE_COMMAND} -E env LD_LIBRARY_PATH=${libdir} ${WORK_DIR}/cmake-build/measure_frame 64 48)
if(NOT last_output MATCHES "largest light" OR NOT last_output MATCHES "99.98th percentile")
  message(FATAL_ERROR "the find_package consumer printed no results:\n${last_output}")
endif()

find_program(PKG_CONFIG pkg-config REQUIRED)
execute_process(COMMAND ${CMAKE_COMMAND} -E env PKG_CONFIG_PATH=${libdir}/pkgconfig
                ${PKG_CONFIG} --cflags --libs hdrmeter
                RESULT_VARIABLE rc OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "pkg-config does not know hdrmeter from ${libdir}/pkgconfig")
endif()
separate_arguments(flags UNIX_COMMAND "${flags}")
run(${CXX} -std=c++17 ${SOURCE_DIR}/measure_frame.cpp ${flags} -o ${WORK_DIR}/measure_frame_pc)
run(${CMAKE_COMMAND} -E env LD_LIBRARY_PATH=${libdir} ${WORK_DIR}/measure_frame_pc 64 48)
if(NOT last_output MATCHES "largest light" OR NOT last_output MATCHES "99.98th percentile")
  message(FATAL_ERROR "the pkg-config consumer printed no results:\n${last_output}")
endif()

set(host ${WORK_DIR}/subdirectory-host)
file(WRITE ${host}/CMakeLists.txt "cmake_minimum_required(VERSION 3.21)
project(subdirectory_host LANGUAGES CXX)
add_subdirectory(${ROOT_DIR} hdrmeter)
add_executable(measure_frame ${SOURCE_DIR}/measure_frame.cpp)
target_link_libraries(measure_frame PRIVATE hdrmeter::hdrmeter)
")
run(${CMAKE_COMMAND} -S ${host} -B ${host}/build -DCMAKE_CXX_COMPILER=${CXX} -DCMAKE_BUILD_TYPE=Release
    -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON -DCMAKE_DISABLE_FIND_PACKAGE_CLI11=ON)
run(${CMAKE_COMMAND} --build ${host}/build --target measure_frame -j2)
run(${host}/build/measure_frame 64 48)
if(NOT last_output MATCHES "99.98th percentile")
  message(FATAL_ERROR "the add_subdirectory host printed no results:\n${last_output}")
endif()
file(READ ${host}/build/compile_commands.json commands)
string(REGEX MATCH "\"command\": \"[^\"]*measure_frame\\.cpp\"" host_command "${commands}")
if(host_command MATCHES "ffp-contract" OR host_command STREQUAL "")
  message(FATAL_ERROR "the host's own code was compiled with hdrmeter's options: ${host_command}")
endif()
