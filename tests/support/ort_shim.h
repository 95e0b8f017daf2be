// A stand-in for ONNX Runtime's entry point, linked into every test program. The program's own
// OrtGetApiBase wins over the runtime's (symbol interposition), so the library reaches the
// runtime through a copy of the real function table in which every call it makes is wrapped:
// counted, logged, optionally made to fail. Nothing in the library knows about it.
//
// Windows has no symbol interposition, but its loader looks for a DLL in the program's folder
// first. There the shim is built as a DLL named onnxruntime.dll beside the test programs, so
// that the library's import of the runtime binds to it; it opens the real runtime from the
// runtime\ folder below by full path. The functions below are then exported by that DLL.
#ifndef KALWAKE_TESTS_ORT_SHIM_H
#define KALWAKE_TESTS_ORT_SHIM_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#if defined(_WIN32)
#if defined(KALWAKE_SHIM_BUILDING)
#define SHIM_API __declspec(dllexport)
#else
#define SHIM_API __declspec(dllimport)
#endif
#else
#define SHIM_API
#endif

namespace shim {

// The runtime functions the library calls that return a status and can be made to fail.
enum Fn {
  CreateEnv,
  CreateSessionOptions,
  SetIntraOpNumThreads,
  SetInterOpNumThreads,
  SetSessionExecutionMode,
  SetSessionGraphOptimizationLevel,
  CreateCpuMemoryInfo,
  GetAllocatorWithDefaultOptions,
  CreateSession,
  SessionGetInputTypeInfo,
  CastTypeInfoToTensorInfo,
  GetDimensionsCount,
  GetDimensions,
  CreateTensorWithDataAsOrtValue,
  Run,
  GetTensorMutableData,
  GetTensorTypeAndShape,
  GetTensorElementType,
  GetTensorShapeElementCount,
  SessionGetInputName,
  SessionGetOutputName,
  AllocatorFree,
  kFnCount
};

// Forgets every fault, hook, call counter and log entry. Keeps the API version limit and the
// count of live objects, which describe the process, not the test step.
SHIM_API void reset();

// The runtime answers GetApi only for versions up to max_version (0: none).
SHIM_API void answer_api_versions_up_to(uint32_t max_version);
// Versions the library asked for, in order.
SHIM_API std::vector<uint32_t> asked_versions();

// Makes the nth call of fn from now on fail with a status. With sticky, every call from the
// nth on fails. A null message makes GetErrorMessage return null for that status.
SHIM_API void fail(Fn fn, int nth = 1, const char *message = "injected failure",
                   bool sticky = false);

// Calls of fn since the last reset.
SHIM_API int calls(Fn fn);

// Every runtime call and release, in order, by its C API name ("CreateEnv", "ReleaseValue").
SHIM_API std::vector<std::string> log();
// Number of entries of the log equal to name.
SHIM_API int count(const std::string &name);

// Objects the library got from the runtime and has not yet released. A leak-free library
// brings values, statuses, names, type infos and shape infos back to zero after every call.
struct Live {
  long values, statuses, names, type_infos, shape_infos, sessions;
};
SHIM_API Live live();

// A tensor the library created over its own memory, copied at creation.
struct Tensor {
  std::vector<int64_t> shape;
  std::vector<float> data;
};
// Tensors created since the last reset, in order of creation.
SHIM_API std::vector<Tensor> created_tensors();

// Path strings handed to CreateSession, in order.
SHIM_API std::vector<std::string> session_paths();

// Rewrites dimensions as GetDimensions returns them (after the real call).
SHIM_API void on_get_dimensions(std::function<void(int64_t *dims, size_t n)> hook);

// A value a Run hook hands back in place of a model's output: the element type (an ONNX
// element type number, 1 = float, 8 = string, 11 = double), the shape, and raw bytes that fill
// the tensor's storage in order, repeated when shorter (zeros when empty; string tensors hold
// empty strings).
struct Output {
  int type = 1;
  std::vector<int64_t> shape;
  std::vector<uint8_t> bytes;
};
// Called after every successful Run for each of its outputs; returning true replaces that
// output with *out, made through the runtime (the model's own value is released). A value the
// runtime refuses to make (a negative dimension, an unknown type) leaves the output as it was.
SHIM_API void on_run(std::function<bool(size_t index, Output *out)> hook);

// Stops or resumes keeping the call log, the created tensors and the session paths. Counters
// and live objects are kept either way: long runs switch records off to keep memory flat.
SHIM_API void keep_records(bool on);

} // namespace shim

#endif
