# Finds ONNX Runtime and defines the imported target onnxruntime::onnxruntime.
#
# ONNXRUNTIME_ROOT names an install holding include/onnxruntime_c_api.h and
# lib/libonnxruntime.so (for Windows: bin/onnxruntime.dll, and lib/onnxruntime.lib if the
# linker wants an import library). Without it, scripts/fetch_onnxruntime.sh (for Windows
# scripts/fetch_onnxruntime_windows.sh) fetches the pinned release into a cache folder,
# checked by sha512, and the build uses that.
set(ONNXRUNTIME_ROOT "" CACHE PATH "ONNX Runtime install (include/ and lib/); fetched when empty")

set(KALWAKE_ORT_FETCHED OFF)
set(_ort_root "${ONNXRUNTIME_ROOT}")
if(NOT _ort_root)
  if(WIN32)
    set(_ort_fetch ${CMAKE_CURRENT_SOURCE_DIR}/scripts/fetch_onnxruntime_windows.sh)
  else()
    set(_ort_fetch ${CMAKE_CURRENT_SOURCE_DIR}/scripts/fetch_onnxruntime.sh)
  endif()
  # The script returns at once when the cache already holds the runtime.
  execute_process(
    COMMAND ${_ort_fetch}
    OUTPUT_VARIABLE _ort_out
    RESULT_VARIABLE _ort_rc
    OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT _ort_rc EQUAL 0)
    message(FATAL_ERROR "Fetching ONNX Runtime failed; set ONNXRUNTIME_ROOT to an install instead")
  endif()
  string(REGEX REPLACE ".*\n" "" _ort_root "${_ort_out}")
  set(KALWAKE_ORT_FETCHED ON)
endif()

find_path(ONNXRUNTIME_INCLUDE_DIR onnxruntime_c_api.h
  PATHS ${_ort_root}/include ${_ort_root}/include/onnxruntime NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
if(WIN32)
  # The DLL itself; the import library is optional, since mingw links straight against a DLL.
  find_file(ONNXRUNTIME_LIBRARY onnxruntime.dll PATHS ${_ort_root}/bin ${_ort_root}/lib
    NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
  find_file(ONNXRUNTIME_IMPLIB NAMES onnxruntime.lib libonnxruntime.dll.a PATHS ${_ort_root}/lib
    NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
  if(NOT ONNXRUNTIME_IMPLIB)
    set(ONNXRUNTIME_IMPLIB "${ONNXRUNTIME_LIBRARY}")
  endif()
else()
  find_library(ONNXRUNTIME_LIBRARY NAMES onnxruntime PATHS ${_ort_root}/lib NO_DEFAULT_PATH)
endif()
if(NOT ONNXRUNTIME_INCLUDE_DIR OR NOT ONNXRUNTIME_LIBRARY)
  message(FATAL_ERROR "ONNX Runtime not found under ${_ort_root}")
endif()
message(STATUS "ONNX Runtime: ${ONNXRUNTIME_LIBRARY}")

add_library(onnxruntime::onnxruntime SHARED IMPORTED)
set_target_properties(onnxruntime::onnxruntime PROPERTIES
  IMPORTED_LOCATION "${ONNXRUNTIME_LIBRARY}"
  INTERFACE_INCLUDE_DIRECTORIES "${ONNXRUNTIME_INCLUDE_DIR}")
if(WIN32)
  set_target_properties(onnxruntime::onnxruntime PROPERTIES IMPORTED_IMPLIB "${ONNXRUNTIME_IMPLIB}")
endif()
get_filename_component(ONNXRUNTIME_LIBRARY_DIR "${ONNXRUNTIME_LIBRARY}" DIRECTORY)

if(WIN32)
  # Beside the library and the programs, where Windows looks for it.
  file(COPY "${ONNXRUNTIME_LIBRARY}" DESTINATION "${CMAKE_BINARY_DIR}/bin")
endif()
