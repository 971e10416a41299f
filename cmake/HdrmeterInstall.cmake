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
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/hdrmeterConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/hdrmeterConfig.cmake ${CMAKE_CURRENT_BINARY_DIR}/hdrmeterConfigVersion.cmake
  DESTINATION ${HDRMETER_CMAKE_DIR})

# The .pc file finds its prefix from its own place, so the installed tree can be moved.
file(RELATIVE_PATH HDRMETER_PC_TO_PREFIX "/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/")
configure_file(${CMAKE_CURRENT_LIST_DIR}/hdrmeter.pc.in ${CMAKE_CURRENT_BINARY_DIR}/hdrmeter.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/hdrmeter.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
