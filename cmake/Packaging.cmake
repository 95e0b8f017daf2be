# Installs the library, its header, a CMake package and a pkg-config file.
include(CMakePackageConfigHelpers)

set(KALWAKE_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/kalmoris-wakeword)

install(TARGETS kalmoris-wakeword
  EXPORT kalmoris-wakeword-targets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

# A fetched runtime is not on the system: install it beside the library, which finds it
# through its $ORIGIN rpath.
if(KALWAKE_ORT_FETCHED AND WIN32)
  # On Windows the DLL goes beside kalmoris-wakeword.dll, where the loader looks first.
  install(FILES "${ONNXRUNTIME_LIBRARY}" DESTINATION ${CMAKE_INSTALL_BINDIR})
elseif(KALWAKE_ORT_FETCHED)
  file(GLOB _ort_libs "${ONNXRUNTIME_LIBRARY_DIR}/libonnxruntime.so*")
  install(FILES ${_ort_libs} DESTINATION ${CMAKE_INSTALL_LIBDIR})
endif()

install(EXPORT kalmoris-wakeword-targets
  NAMESPACE kalmoris-wakeword::
  DESTINATION ${KALWAKE_CMAKE_DIR})

configure_package_config_file(cmake/kalmoris-wakeword-config.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/kalmoris-wakeword-config.cmake
  INSTALL_DESTINATION ${KALWAKE_CMAKE_DIR})
write_basic_package_version_file(
  ${CMAKE_CURRENT_BINARY_DIR}/kalmoris-wakeword-config-version.cmake
  VERSION ${PROJECT_VERSION}
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${CMAKE_CURRENT_BINARY_DIR}/kalmoris-wakeword-config.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/kalmoris-wakeword-config-version.cmake
  DESTINATION ${KALWAKE_CMAKE_DIR})

file(RELATIVE_PATH KALWAKE_PC_TO_PREFIX "/root/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/root")
configure_file(cmake/kalmoris-wakeword.pc.in ${CMAKE_CURRENT_BINARY_DIR}/kalmoris-wakeword.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/kalmoris-wakeword.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
