# Finds ONNX Runtime and defines the imported target onnxruntime::onnxruntime.
#
# ONNXRUNTIME_ROOT names an install holding include/onnxruntime_c_api.h and
# lib/libonnxruntime.so. Without it, scripts/fetch_onnxruntime.sh fetches the pinned release
# into a cache folder (checked by sha512) and the build uses that.
set(ONNXRUNTIME_ROOT "" CACHE PATH "ONNX Runtime install (include/ and lib/); fetched when empty")

set(KALWAKE_ORT_FETCHED OFF)
set(_ort_root "${ONNXRUNTIME_ROOT}")
if(NOT _ort_root)
  # The script returns at once when the cache already holds the runtime.
  execute_process(
    COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/scripts/fetch_onnxruntime.sh
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
  PATHS ${_ort_root}/include ${_ort_root}/include/onnxruntime NO_DEFAULT_PATH)
find_library(ONNXRUNTIME_LIBRARY NAMES onnxruntime PATHS ${_ort_root}/lib NO_DEFAULT_PATH)
if(NOT ONNXRUNTIME_INCLUDE_DIR OR NOT ONNXRUNTIME_LIBRARY)
  message(FATAL_ERROR "ONNX Runtime not found under ${_ort_root}")
endif()
message(STATUS "ONNX Runtime: ${ONNXRUNTIME_LIBRARY}")

add_library(onnxruntime::onnxruntime SHARED IMPORTED)
set_target_properties(onnxruntime::onnxruntime PROPERTIES
  IMPORTED_LOCATION "${ONNXRUNTIME_LIBRARY}"
  INTERFACE_INCLUDE_DIRECTORIES "${ONNXRUNTIME_INCLUDE_DIR}")
get_filename_component(ONNXRUNTIME_LIBRARY_DIR "${ONNXRUNTIME_LIBRARY}" DIRECTORY)
