// The binding to ONNX Runtime: the function table, the one-time set-up, session creation and
// the wake-model frame probe.
#ifndef KALWAKE_CORE_ORT_BINDING_H
#define KALWAKE_CORE_ORT_BINDING_H

#include <cstddef>
#include <cstdint>

#include "onnxruntime_c_api.h"

namespace kalwake {

// Process-wide runtime handles, created once by ort_setup and kept until the process ends.
extern OrtEnv *g_env;
extern OrtSessionOptions *g_opts;
extern OrtMemoryInfo *g_mem;
extern OrtAllocator *g_alloc;

constexpr size_t kPathCapacity = 1024; // bytes of a joined path, or UTF-16 units of a converted one

// The runtime's function table, or null when it answers none of the versions asked.
// A failed search is not remembered: the next call searches again.
const OrtApi *ort_api();

// Makes sure the table exists and the one-time set-up is done. Returns 0, or -1 with the
// last-error text set. Safe against concurrent first calls; a failure is retried next time.
int ort_setup();

// Joins a front-end folder and a file name into out (kPathCapacity bytes, cut to fit).
void join_path(char *out, const char *folder, const char *file);

// Creates a session for a UTF-8 path; null with the last-error text set on failure.
OrtSession *load_session(const char *path);

// Embeddings a wake model takes per prediction: the second dimension of its first input when
// that input is a rank-3 tensor with a positive second dimension, otherwise 16.
int64_t wake_input_frames(OrtSession *sess);

// Releases a session handle if present and sets it to null.
void release_session(OrtSession *&sess);

} // namespace kalwake

#endif
