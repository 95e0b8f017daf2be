// The binding to ONNX Runtime's C API.
#include "core/ort_binding.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "core/state.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace kalwake {

OrtEnv *g_env = nullptr;
OrtSessionOptions *g_opts = nullptr;
OrtMemoryInfo *g_mem = nullptr;
OrtAllocator *g_alloc = nullptr;

namespace {

// Newest first; 19 to 26 and 9 are deliberately not asked.
constexpr uint32_t kApiVersions[] = {27, 18, 17, 16, 15, 14, 13, 12, 11, 10, 8, 7, 1};
constexpr int64_t kDefaultWakeFrames = 16;

std::atomic<const OrtApi *> g_api{nullptr};
std::mutex g_api_lock; // one search at a time

std::atomic<int> g_ort_ready{0};
std::mutex g_setup_lock; // one set-up at a time

// Drops a status whose failure the library tolerates.
void ignore_status(const OrtApi *api, OrtStatus *status) {
  if (status != nullptr) {
    api->ReleaseStatus(status);
  }
}

#ifndef _WIN32
// UTF-16 code units a UTF-8 text (without its NUL) converts to, counted as the Windows
// converter counts them: a well-formed character is one unit, or two above U+FFFF, and each
// maximal ill-formed part (a lone byte, or a sequence cut short) becomes one replacement
// character. Keeps the path limit the same on every platform.
size_t utf16_units(const char *text) {
  const auto *p = reinterpret_cast<const unsigned char *>(text);
  size_t units = 0;
  while (*p != 0) {
    const unsigned char lead = *p;
    int len = 0;            // bytes of the whole sequence, 0 when the lead byte is not one
    unsigned char lo = 0x80; // range of the second byte: overlong forms, surrogates and
    unsigned char hi = 0xBF; // values past U+10FFFF are cut off there
    if (lead < 0x80) {
      len = 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      len = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      len = 3;
      lo = lead == 0xE0 ? 0xA0 : 0x80;
      hi = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      len = 4;
      lo = lead == 0xF0 ? 0x90 : 0x80;
      hi = lead == 0xF4 ? 0x8F : 0xBF;
    }
    int taken = 1;
    while (taken < len) {
      const unsigned char c = p[taken];
      const bool fits = taken == 1 ? (c >= lo && c <= hi) : (c & 0xC0) == 0x80;
      if (!fits) {
        break;
      }
      ++taken;
    }
    units += (taken == len && len == 4) ? 2 : 1;
    p += taken;
  }
  return units;
}
#endif

} // namespace

const OrtApi *ort_api() {
  const OrtApi *api = g_api.load(std::memory_order_acquire);
  if (api != nullptr) {
    return api;
  }
  std::lock_guard<std::mutex> hold(g_api_lock);
  api = g_api.load(std::memory_order_acquire);
  if (api != nullptr) {
    return api;
  }
  for (uint32_t version : kApiVersions) {
    api = OrtGetApiBase()->GetApi(version);
    if (api != nullptr) {
      g_api.store(api, std::memory_order_release);
      return api;
    }
  }
  return nullptr;
}

int ort_setup() {
  const OrtApi *api = ort_api();
  if (api == nullptr) {
    set_err("no compatible ONNX Runtime API");
    return -1;
  }
  if (g_ort_ready.load(std::memory_order_acquire) != 0) {
    return 0;
  }
  std::lock_guard<std::mutex> hold(g_setup_lock);
  if (g_ort_ready.load(std::memory_order_acquire) != 0) {
    return 0;
  }
  OrtStatus *st = api->CreateEnv(ORT_LOGGING_LEVEL_WARNING, "kalmoris-wakeword", &g_env);
  if (st != nullptr) {
    ort_fail("CreateEnv", st);
    g_env = nullptr;
    return -1;
  }
  st = api->CreateSessionOptions(&g_opts);
  if (st != nullptr) {
    ort_fail("CreateSessionOptions", st);
    api->ReleaseEnv(g_env);
    g_env = nullptr;
    g_opts = nullptr;
    return -1;
  }
  // One thread each and no parallel execution: the detector runs on the caller's thread and
  // must not compete with the host for cores. A setting the runtime refuses is not fatal.
  ignore_status(api, api->SetIntraOpNumThreads(g_opts, 1));
  ignore_status(api, api->SetInterOpNumThreads(g_opts, 1));
  ignore_status(api, api->SetSessionExecutionMode(g_opts, ORT_SEQUENTIAL));
  ignore_status(api, api->SetSessionGraphOptimizationLevel(g_opts, ORT_ENABLE_ALL));
  st = api->CreateCpuMemoryInfo(OrtArenaAllocator, OrtMemTypeDefault, &g_mem);
  if (st != nullptr) {
    ort_fail("CreateCpuMemoryInfo", st);
    api->ReleaseSessionOptions(g_opts);
    g_opts = nullptr;
    api->ReleaseEnv(g_env);
    g_env = nullptr;
    g_mem = nullptr;
    return -1;
  }
  st = api->GetAllocatorWithDefaultOptions(&g_alloc);
  if (st != nullptr) {
    ort_fail("GetAllocatorWithDefaultOptions", st);
    api->ReleaseMemoryInfo(g_mem);
    g_mem = nullptr;
    api->ReleaseSessionOptions(g_opts);
    g_opts = nullptr;
    api->ReleaseEnv(g_env);
    g_env = nullptr;
    g_alloc = nullptr;
    return -1;
  }
  g_ort_ready.store(1, std::memory_order_release);
  return 0;
}

void join_path(char *out, const char *folder, const char *file) {
  size_t len = std::strlen(folder);
  const char *fmt = (len > 0 && folder[len - 1] == '/') ? "%s%s" : "%s/%s";
  // A result longer than the buffer is cut, and the cut path is what gets opened.
  std::snprintf(out, kPathCapacity, fmt, folder, file);
#ifdef _WIN32
  for (char *p = out; *p != '\0'; ++p) {
    if (*p == '/') {
      *p = '\\';
    }
  }
#endif
}

OrtSession *load_session(const char *path) {
  const OrtApi *api = ort_api();
  if (api == nullptr) {
    set_err("no compatible ONNX Runtime API");
    return nullptr;
  }
#ifdef _WIN32
  wchar_t wide[kPathCapacity];
  if (MultiByteToWideChar(CP_UTF8, 0, path, -1, wide, static_cast<int>(kPathCapacity)) == 0) {
    set_err("bad path encoding: %s", path);
    return nullptr;
  }
  const ORTCHAR_T *ort_path = wide;
#else
  // The runtime takes UTF-8 here; the same 1024-unit bound as on Windows keeps the library's
  // answer to an overlong path identical on every platform.
  if (utf16_units(path) + 1 > kPathCapacity) {
    set_err("bad path encoding: %s", path);
    return nullptr;
  }
  const ORTCHAR_T *ort_path = path;
#endif
  OrtSession *sess = nullptr;
  OrtStatus *st = api->CreateSession(g_env, ort_path, g_opts, &sess);
  if (st != nullptr) {
    ort_fail("CreateSession", st);
    return nullptr;
  }
  return sess;
}

int64_t wake_input_frames(OrtSession *sess) {
  const OrtApi *api = ort_api();
  OrtTypeInfo *type_info = nullptr;
  OrtStatus *st = api->SessionGetInputTypeInfo(sess, 0, &type_info);
  if (st != nullptr) {
    api->ReleaseStatus(st);
    return kDefaultWakeFrames;
  }
  if (type_info == nullptr) {
    return kDefaultWakeFrames;
  }
  const OrtTensorTypeAndShapeInfo *tensor = nullptr;
  st = api->CastTypeInfoToTensorInfo(type_info, &tensor);
  if (st != nullptr) {
    api->ReleaseTypeInfo(type_info);
    api->ReleaseStatus(st);
    return kDefaultWakeFrames;
  }
  int64_t frames = kDefaultWakeFrames;
  if (tensor != nullptr) {
    size_t rank = 0;
    ignore_status(api, api->GetDimensionsCount(tensor, &rank));
    if (rank == 3) {
      int64_t dims[3] = {0, 0, 0};
      ignore_status(api, api->GetDimensions(tensor, dims, 3));
      if (dims[1] >= 1) {
        frames = dims[1];
      }
    }
  }
  // The tensor view belongs to the type information and goes with it.
  api->ReleaseTypeInfo(type_info);
  return frames;
}

void release_session(OrtSession *&sess) {
  if (sess != nullptr) {
    ort_api()->ReleaseSession(sess);
    sess = nullptr;
  }
}

} // namespace kalwake
