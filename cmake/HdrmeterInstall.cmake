# Installs the header, the library with its SONAME links, a CMake package (hdrmeter::hdrmeter) and a
# pkg-config file. OpenCV is a private dependency of the shared library: consumers need only the header.
include(CMakePackageConfigHelpers)
set(HDRMETER_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/hdrmeter)

install(TARGETS hdrmeter EXPORT hdrmeterTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/hdrmeter DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT hdrmeterTargets NAMESPACE hdrmeter:: DESTINATION ${HDRMETER_CMAKE_DIR})

configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/hdrmeterConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/hdrmeterConfig.cmake INSTALL_DESTINATION ${HDRMETER_CMAKE_DIR})
# A request is met by what the SONAME promises: the same MAJOR.MINOR while MAJOR is 0, the same MAJOR after.
if(PROJECT_VERSION_MAJOR EQUAL 0)
  set(hdrmeter_compatibility SameMinorVersion)
else()
  set(hdrmeter_compatibility SameMajorVersion)
endif()
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/hdrmeterConfigVersion.cmake
  COMPATIBILITY ${hdrmeter_compatibility})
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/hdrmeterConfig.cmake ${CMAKE_CURRENT_BINARY_DIR}/hdrmeterConfigVersion.cmake
  DESTINATION ${HDRMETER_CMAKE_DIR})

# The .pc file finds its prefix from its own place, so the installed tree can be moved.
file(RELATIVE_PATH HDRMETER_PC_TO_PREFIX "/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/")
configure_file(${CMAKE_CURRENT_LIST_DIR}/hdrmeter.pc.in ${CMAKE_CURRENT_BINARY_DIR}/hdrmeter.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/hdrmeter.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

