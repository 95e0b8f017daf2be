// Wraps the real ONNX Runtime function table; see ort_shim.h.
#include "ort_shim.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>

#include "onnxruntime_c_api.h"

// After the runtime's header, whose annotation macros would otherwise clash with the system's.
#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace shim {
namespace {

struct Fault {
  bool active = false;
  int remaining = 0;
  bool sticky = false;
  std::string message;
  bool no_message = false;
};

struct State {
  std::recursive_mutex lock;
  const OrtApiBase *real_base = nullptr;
  const OrtApi *real = nullptr;
  OrtApi table{};
  bool table_ready = false;
  uint32_t max_version = 0xFFFFFFFFu;
  std::vector<uint32_t> asked;
  Fault faults[kFnCount];
  int calls[kFnCount] = {};
  std::vector<std::string> log;
  Live live{};
  std::vector<Tensor> tensors;
  std::vector<std::string> paths;
  std::set<const OrtStatus *> silent; // statuses whose message reads as null
  std::function<void(int64_t *, size_t)> dims_hook;
  std::function<bool(size_t, Output *)> run_hook;
  bool records = true;
};

State &st() {
  static State *s = new State; // never destroyed: the runtime may call in during exit
  return *s;
}

const OrtApi *real() {
  return st().real;
}

void note(const char *name) {
  std::lock_guard<std::recursive_mutex> hold(st().lock);
  if (st().records) {
    st().log.emplace_back(name);
  }
}

// Counts the call and, when a fault is due, returns the status to fail it with.
OrtStatus *inject(Fn fn, const char *name) {
  std::lock_guard<std::recursive_mutex> hold(st().lock);
  State &s = st();
  if (s.records) {
    s.log.emplace_back(name);
  }
  ++s.calls[fn];
  Fault &f = s.faults[fn];
  if (!f.active) {
    return nullptr;
  }
  if (f.remaining > 1) {
    --f.remaining;
    return nullptr;
  }
  if (!f.sticky) {
    f.active = false;
  }
  OrtStatus *status = s.real->CreateStatus(ORT_FAIL, f.message.c_str());
  if (f.no_message) {
    s.silent.insert(status);
  }
  ++s.live.statuses;
  return status;
}

OrtStatus *track(OrtStatus *status) {
  if (status != nullptr) {
    std::lock_guard<std::recursive_mutex> hold(st().lock);
    ++st().live.statuses;
  }
  return status;
}

void add(long Live::*field, long delta) {
  std::lock_guard<std::recursive_mutex> hold(st().lock);
  st().live.*field += delta;
}

// Wraps a status-returning runtime function: injection, the log and status counting.
#define WRAP(NAME, PARAMS, ARGS)                                                                   \
  OrtStatus *ORT_API_CALL w_##NAME PARAMS NO_EXCEPTION {                                           \
    if (OrtStatus *injected = inject(NAME, #NAME)) {                                               \
      return injected;                                                                             \
    }                                                                                              \
    return track(real()->NAME ARGS);                                                               \
  }

WRAP(CreateEnv, (OrtLoggingLevel level, const char *id, OrtEnv **out), (level, id, out))
WRAP(CreateSessionOptions, (OrtSessionOptions * *out), (out))
WRAP(SetIntraOpNumThreads, (OrtSessionOptions * o, int n), (o, n))
WRAP(SetInterOpNumThreads, (OrtSessionOptions * o, int n), (o, n))
WRAP(SetSessionExecutionMode, (OrtSessionOptions * o, ExecutionMode m), (o, m))
WRAP(SetSessionGraphOptimizationLevel, (OrtSessionOptions * o, GraphOptimizationLevel l), (o, l))
WRAP(CreateCpuMemoryInfo, (OrtAllocatorType t, OrtMemType m, OrtMemoryInfo **out), (t, m, out))
WRAP(GetAllocatorWithDefaultOptions, (OrtAllocator * *out), (out))
WRAP(CastTypeInfoToTensorInfo, (const OrtTypeInfo *t, const OrtTensorTypeAndShapeInfo **out),
     (t, out))
WRAP(GetDimensionsCount, (const OrtTensorTypeAndShapeInfo *i, size_t *out), (i, out))
WRAP(GetTensorMutableData, (OrtValue * v, void **out), (v, out))
WRAP(GetTensorElementType, (const OrtTensorTypeAndShapeInfo *i, ONNXTensorElementDataType *out),
     (i, out))
WRAP(GetTensorShapeElementCount, (const OrtTensorTypeAndShapeInfo *i, size_t *out), (i, out))

void record_path(const ORTCHAR_T *path) {
#ifdef _WIN32
  // The runtime got UTF-16; it is recorded as UTF-8 so that tests compare it with what they
  // passed to the library. Converting back exposes any loss in the library's conversion.
  std::string utf8;
  const int n = WideCharToMultiByte(CP_UTF8, 0, path, -1, nullptr, 0, nullptr, nullptr);
  if (n > 0) {
    utf8.resize(static_cast<size_t>(n));
    WideCharToMultiByte(CP_UTF8, 0, path, -1, &utf8[0], n, nullptr, nullptr);
    utf8.resize(static_cast<size_t>(n - 1));
  }
  std::lock_guard<std::recursive_mutex> hold(st().lock);
  if (st().records) {
    st().paths.push_back(std::move(utf8));
  }
#else
  std::lock_guard<std::recursive_mutex> hold(st().lock);
  if (st().records) {
    st().paths.emplace_back(path);
  }
#endif
}

// Wrappers that also count what the runtime hands out.
#define WRAP_COUNTING(NAME, PARAMS, ARGS, ON_SUCCESS)                                              \
  OrtStatus *ORT_API_CALL w_##NAME PARAMS NO_EXCEPTION {                                           \
    if (OrtStatus *injected = inject(NAME, #NAME)) {                                               \
      return injected;                                                                             \
    }                                                                                              \
    OrtStatus *status = track(real()->NAME ARGS);                                                  \
    if (status == nullptr) {                                                                       \
      ON_SUCCESS;                                                                                  \
    }                                                                                              \
    return status;                                                                                 \
  }

WRAP_COUNTING(CreateSession,
              (const OrtEnv *env, const ORTCHAR_T *path, const OrtSessionOptions *o,
               OrtSession **out),
              (env, (record_path(path), path), o, out), add(&Live::sessions, 1))
WRAP_COUNTING(SessionGetInputTypeInfo, (const OrtSession *s, size_t i, OrtTypeInfo **out),
              (s, i, out), {
                if (*out != nullptr)
                  add(&Live::type_infos, 1);
              })
WRAP_COUNTING(GetDimensions, (const OrtTensorTypeAndShapeInfo *i, int64_t *dims, size_t n),
              (i, dims, n), {
                std::lock_guard<std::recursive_mutex> hold(st().lock);
                if (st().dims_hook)
                  st().dims_hook(dims, n);
              })
WRAP_COUNTING(GetTensorTypeAndShape, (const OrtValue *v, OrtTensorTypeAndShapeInfo **out), (v, out),
              {
                if (*out != nullptr)
                  add(&Live::shape_infos, 1);
              })
WRAP_COUNTING(SessionGetInputName, (const OrtSession *s, size_t i, OrtAllocator *a, char **out),
              (s, i, a, out), add(&Live::names, 1))
WRAP_COUNTING(SessionGetOutputName, (const OrtSession *s, size_t i, OrtAllocator *a, char **out),
              (s, i, a, out), add(&Live::names, 1))

OrtStatus *ORT_API_CALL w_AllocatorFree(OrtAllocator *a, void *p) NO_EXCEPTION {
  // An injected failure is reported after the name was really freed, so that a test sees
  // how the library treats the status without a leak of the runtime's own making.
  OrtStatus *injected = inject(AllocatorFree, "AllocatorFree");
  OrtStatus *status = track(real()->AllocatorFree(a, p));
  if (status == nullptr && p != nullptr) {
    add(&Live::names, -1);
  }
  return injected != nullptr ? injected : status;
}

OrtStatus *ORT_API_CALL w_CreateTensorWithDataAsOrtValue(const OrtMemoryInfo *info, void *data,
                                                         size_t len, const int64_t *shape,
                                                         size_t rank, ONNXTensorElementDataType t,
                                                         OrtValue **out) NO_EXCEPTION {
  if (OrtStatus *injected =
          inject(CreateTensorWithDataAsOrtValue, "CreateTensorWithDataAsOrtValue")) {
    return injected;
  }
  OrtStatus *status =
      track(real()->CreateTensorWithDataAsOrtValue(info, data, len, shape, rank, t, out));
  if (status == nullptr) {
    add(&Live::values, 1);
    Tensor tensor;
    tensor.shape.assign(shape, shape + rank);
    const auto *f = static_cast<const float *>(data);
    tensor.data.assign(f, f + len / sizeof(float));
    std::lock_guard<std::recursive_mutex> hold(st().lock);
    if (st().records) {
      st().tensors.push_back(std::move(tensor));
    }
  }
  return status;
}

// Bytes of one element of each fixed-size ONNX element type (0: strings and unknown types).
size_t element_size(int type) {
  switch (type) {
  case ONNX_TENSOR_ELEMENT_DATA_TYPE_UINT8:
  case ONNX_TENSOR_ELEMENT_DATA_TYPE_INT8:
  case ONNX_TENSOR_ELEMENT_DATA_TYPE_BOOL:
    return 1;
  case ONNX_TENSOR_ELEMENT_DATA_TYPE_UINT16:
  case ONNX_TENSOR_ELEMENT_DATA_TYPE_INT16:
  case ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT16:
  case ONNX_TENSOR_ELEMENT_DATA_TYPE_BFLOAT16:
    return 2;
  case ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT:
  case ONNX_TENSOR_ELEMENT_DATA_TYPE_INT32:
  case ONNX_TENSOR_ELEMENT_DATA_TYPE_UINT32:
    return 4;
  case ONNX_TENSOR_ELEMENT_DATA_TYPE_INT64:
  case ONNX_TENSOR_ELEMENT_DATA_TYPE_DOUBLE:
  case ONNX_TENSOR_ELEMENT_DATA_TYPE_UINT64:
  case ONNX_TENSOR_ELEMENT_DATA_TYPE_COMPLEX64:
    return 8;
  case ONNX_TENSOR_ELEMENT_DATA_TYPE_COMPLEX128:
    return 16;
  default:
    return 0;
  }
}

// Swaps *slot for a runtime-made tensor described by out. Direct calls to the real table:
// the library never sees them, so they are neither logged nor counted.
void replace_output(OrtValue **slot, const Output &out) {
  const OrtApi *api = real();
  OrtAllocator *alloc = nullptr;
  if (OrtStatus *e = api->GetAllocatorWithDefaultOptions(&alloc)) {
    api->ReleaseStatus(e);
    return;
  }
  OrtValue *made = nullptr;
  if (OrtStatus *e = api->CreateTensorAsOrtValue(alloc, out.shape.data(), out.shape.size(),
                                                 static_cast<ONNXTensorElementDataType>(out.type),
                                                 &made)) {
    api->ReleaseStatus(e);
    return;
  }
  const size_t size = element_size(out.type);
  void *data = nullptr;
  if (size > 0 && !out.bytes.empty()) {
    if (OrtStatus *e = api->GetTensorMutableData(made, &data)) {
      api->ReleaseStatus(e);
      data = nullptr;
    }
  }
  if (data != nullptr) {
    OrtTensorTypeAndShapeInfo *info = nullptr;
    size_t elements = 0;
    if (OrtStatus *e = api->GetTensorTypeAndShape(made, &info)) {
      api->ReleaseStatus(e);
    } else {
      if (OrtStatus *e2 = api->GetTensorShapeElementCount(info, &elements)) {
        api->ReleaseStatus(e2);
        elements = 0;
      }
      api->ReleaseTensorTypeAndShapeInfo(info);
    }
    auto *bytes = static_cast<uint8_t *>(data);
    for (size_t i = 0; i < elements * size; ++i) {
      bytes[i] = out.bytes[i % out.bytes.size()];
    }
  }
  api->ReleaseValue(*slot);
  *slot = made;
}

OrtStatus *ORT_API_CALL w_Run(OrtSession *s, const OrtRunOptions *ro, const char *const *in_names,
                              const OrtValue *const *inputs, size_t n_in,
                              const char *const *out_names, size_t n_out,
                              OrtValue **outputs) NO_EXCEPTION {
  if (OrtStatus *injected = inject(Run, "Run")) {
    return injected;
  }
  OrtStatus *status = track(real()->Run(s, ro, in_names, inputs, n_in, out_names, n_out, outputs));
  for (size_t i = 0; i < n_out; ++i) {
    if (outputs[i] != nullptr) {
      add(&Live::values, 1);
    }
  }
  if (status == nullptr) {
    std::function<bool(size_t, Output *)> hook;
    {
      std::lock_guard<std::recursive_mutex> hold(st().lock);
      hook = st().run_hook;
    }
    for (size_t i = 0; hook && i < n_out; ++i) {
      Output out;
      if (outputs[i] != nullptr && hook(i, &out)) {
        replace_output(&outputs[i], out);
      }
    }
  }
  return status;
}

const char *ORT_API_CALL w_GetErrorMessage(const OrtStatus *status) NO_EXCEPTION {
  {
    std::lock_guard<std::recursive_mutex> hold(st().lock);
    if (st().silent.count(status) != 0) {
      return nullptr;
    }
  }
  return real()->GetErrorMessage(status);
}

#define WRAP_RELEASE(NAME, TYPE, FIELD)                                                            \
  void ORT_API_CALL w_##NAME(TYPE *p) NO_EXCEPTION {                                               \
    note(#NAME);                                                                                   \
    if (p != nullptr) {                                                                            \
      add(FIELD, -1);                                                                              \
    }                                                                                              \
    real()->NAME(p);                                                                               \
  }

WRAP_RELEASE(ReleaseValue, OrtValue, &Live::values)
WRAP_RELEASE(ReleaseSession, OrtSession, &Live::sessions)
WRAP_RELEASE(ReleaseTypeInfo, OrtTypeInfo, &Live::type_infos)
WRAP_RELEASE(ReleaseTensorTypeAndShapeInfo, OrtTensorTypeAndShapeInfo, &Live::shape_infos)

void ORT_API_CALL w_ReleaseStatus(OrtStatus *p) NO_EXCEPTION {
  note("ReleaseStatus");
  if (p != nullptr) {
    add(&Live::statuses, -1);
    std::lock_guard<std::recursive_mutex> hold(st().lock);
    st().silent.erase(p);
  }
  real()->ReleaseStatus(p);
}

#define WRAP_RELEASE_UNCOUNTED(NAME, TYPE)                                                         \
  void ORT_API_CALL w_##NAME(TYPE *p) NO_EXCEPTION {                                               \
    note(#NAME);                                                                                   \
    real()->NAME(p);                                                                               \
  }
WRAP_RELEASE_UNCOUNTED(ReleaseEnv, OrtEnv)
WRAP_RELEASE_UNCOUNTED(ReleaseSessionOptions, OrtSessionOptions)
WRAP_RELEASE_UNCOUNTED(ReleaseMemoryInfo, OrtMemoryInfo)

void build_table() {
  State &s = st();
  s.table = *s.real;
#define SET(NAME) s.table.NAME = w_##NAME
  SET(CreateEnv);
  SET(CreateSessionOptions);
  SET(SetIntraOpNumThreads);
  SET(SetInterOpNumThreads);
  SET(SetSessionExecutionMode);
  SET(SetSessionGraphOptimizationLevel);
  SET(CreateCpuMemoryInfo);
  SET(GetAllocatorWithDefaultOptions);
  SET(CreateSession);
  SET(SessionGetInputTypeInfo);
  SET(CastTypeInfoToTensorInfo);
  SET(GetDimensionsCount);
  SET(GetDimensions);
  SET(CreateTensorWithDataAsOrtValue);
  SET(Run);
  SET(GetTensorMutableData);
  SET(GetTensorTypeAndShape);
  SET(GetTensorElementType);
  SET(GetTensorShapeElementCount);
  SET(SessionGetInputName);
  SET(SessionGetOutputName);
  SET(AllocatorFree);
  SET(GetErrorMessage);
  SET(ReleaseValue);
  SET(ReleaseSession);
  SET(ReleaseTypeInfo);
  SET(ReleaseTensorTypeAndShapeInfo);
  SET(ReleaseStatus);
  SET(ReleaseEnv);
  SET(ReleaseSessionOptions);
  SET(ReleaseMemoryInfo);
#undef SET
}

const OrtApi *ORT_API_CALL shim_get_api(uint32_t version) NO_EXCEPTION {
  State &s = st();
  std::lock_guard<std::recursive_mutex> hold(s.lock);
  s.asked.push_back(version);
  if (version > s.max_version) {
    return nullptr;
  }
  if (!s.table_ready) {
    s.real = s.real_base->GetApi(ORT_API_VERSION);
    if (s.real == nullptr) {
      return nullptr;
    }
    build_table();
    s.table_ready = true;
  }
  return &s.table;
}

const char *ORT_API_CALL shim_version_string() NO_EXCEPTION {
  return st().real_base->GetVersionString();
}

OrtApiBase g_base = {shim_get_api, shim_version_string};

} // namespace

void reset() {
  State &s = st();
  std::lock_guard<std::recursive_mutex> hold(s.lock);
  for (Fault &f : s.faults) {
    f = Fault{};
  }
  std::fill(std::begin(s.calls), std::end(s.calls), 0);
  s.log.clear();
  s.tensors.clear();
  s.paths.clear();
  s.asked.clear();
  s.dims_hook = nullptr;
  s.run_hook = nullptr;
}

void answer_api_versions_up_to(uint32_t max_version) {
  std::lock_guard<std::recursive_mutex> hold(st().lock);
  st().max_version = max_version;
}

std::vector<uint32_t> asked_versions() {
  std::lock_guard<std::recursive_mutex> hold(st().lock);
  return st().asked;
}

void fail(Fn fn, int nth, const char *message, bool sticky) {
  std::lock_guard<std::recursive_mutex> hold(st().lock);
  Fault &f = st().faults[fn];
  f.active = true;
  f.remaining = nth;
  f.sticky = sticky;
  f.no_message = message == nullptr;
  f.message = message != nullptr ? message : "";
}

int calls(Fn fn) {
  std::lock_guard<std::recursive_mutex> hold(st().lock);
  return st().calls[fn];
}

std::vector<std::string> log() {
  std::lock_guard<std::recursive_mutex> hold(st().lock);
  return st().log;
}

int count(const std::string &name) {
  std::lock_guard<std::recursive_mutex> hold(st().lock);
  return static_cast<int>(std::count(st().log.begin(), st().log.end(), name));
}

Live live() {
  std::lock_guard<std::recursive_mutex> hold(st().lock);
  return st().live;
}

std::vector<Tensor> created_tensors() {
  std::lock_guard<std::recursive_mutex> hold(st().lock);
  return st().tensors;
}

std::vector<std::string> session_paths() {
  std::lock_guard<std::recursive_mutex> hold(st().lock);
  return st().paths;
}

void on_get_dimensions(std::function<void(int64_t *, size_t)> hook) {
  std::lock_guard<std::recursive_mutex> hold(st().lock);
  st().dims_hook = std::move(hook);
}

void on_run(std::function<bool(size_t, Output *)> hook) {
  std::lock_guard<std::recursive_mutex> hold(st().lock);
  st().run_hook = std::move(hook);
}

void keep_records(bool on) {
  std::lock_guard<std::recursive_mutex> hold(st().lock);
  st().records = on;
}

} // namespace shim

namespace {

using GetBase = const OrtApiBase *(ORT_API_CALL *)();

#ifdef _WIN32
// This DLL stands where the library looks for onnxruntime.dll; the real runtime is the
// onnxruntime.dll in the folder "runtime" beside it.
GetBase real_get_api_base() {
  HMODULE self = nullptr;
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                              GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                          reinterpret_cast<LPCWSTR>(&shim::reset), &self)) {
    return nullptr;
  }
  std::wstring path(32768, L'\0');
  const DWORD len = GetModuleFileNameW(self, &path[0], static_cast<DWORD>(path.size()));
  if (len == 0 || len >= path.size()) {
    return nullptr;
  }
  path.resize(len);
  path.erase(path.find_last_of(L"\\/") + 1);
  path += L"runtime\\onnxruntime.dll";
  HMODULE real = LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  if (real == nullptr) {
    std::fprintf(stderr, "ort_shim: cannot open %ls (error %lu)\n", path.c_str(), GetLastError());
    return nullptr;
  }
  return reinterpret_cast<GetBase>(reinterpret_cast<void *>(GetProcAddress(real, "OrtGetApiBase")));
}
#endif

} // namespace

#ifdef _WIN32
#define SHIM_ENTRY __declspec(dllexport)
#else
#define SHIM_ENTRY
#endif

// The program's definition (on Windows: this DLL) wins over the runtime's for the library's
// calls; the runtime's own is found behind it.
extern "C" SHIM_ENTRY const OrtApiBase *ORT_API_CALL OrtGetApiBase(void) NO_EXCEPTION {
  shim::State &s = shim::st();
  if (s.real_base == nullptr) {
#ifdef _WIN32
    GetBase next = real_get_api_base();
#else
    auto next = reinterpret_cast<GetBase>(dlsym(RTLD_NEXT, "OrtGetApiBase"));
    if (next == nullptr) {
      // A program linking the static library needs nothing else from the runtime, so the
      // linker may have left it out: open it by its SONAME.
      void *ort = dlopen("libonnxruntime.so.1", RTLD_NOW | RTLD_GLOBAL);
      next = ort != nullptr ? reinterpret_cast<GetBase>(dlsym(ort, "OrtGetApiBase")) : nullptr;
    }
#endif
    if (next == nullptr) {
      std::fprintf(stderr, "ort_shim: the runtime's OrtGetApiBase was not found\n");
      std::abort();
    }
    s.real_base = next();
  }
  return &shim::g_base;
}
