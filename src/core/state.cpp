// The detector record, the stream reset rule and the last-error text.
#include "core/state.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "core/ort_binding.h"

namespace kalwake {

wake_state g;
std::mutex g_lock;
std::atomic<int> g_loaded{0};

namespace {

constexpr size_t kErrCapacity = 1024;
char g_err[kErrCapacity] = "no error";
// Serialises writers of the text so that two failing threads cannot interleave their bytes.
// Readers still read the buffer in place, as the interface promises.
std::mutex g_err_lock;

} // namespace

void reset_stream_locked() {
  std::memset(g.audio_hist, 0, sizeof g.audio_hist);
  g.audio_hist_len = 0;
  g.pcm_len = 0;
  // 1.0 is where a model output of -10 lands after scaling: the embedding window is full
  // from the first chunk on.
  for (auto &frame : g.mel_buf) {
    for (float &v : frame) {
      v = 1.0f;
    }
  }
  g.mel_len = kMelWindowFrames;
  // The rows stay: the first embedding after a reset overwrites all of them.
  g.emb_len = 0;
  for (int i = 0; i < g.n_models; ++i) {
    wake_model &m = g.models[i];
    m.score = 0.0f;
    m.triggered = 0;
    m.armed = 0;
    m.n_pred = 0;
    m.cooldown = 0;
  }
}

void set_err(const char *fmt, ...) {
  std::lock_guard<std::mutex> hold(g_err_lock);
  va_list args;
  va_start(args, fmt);
  std::vsnprintf(g_err, kErrCapacity, fmt, args);
  va_end(args);
}

void ort_fail(const char *what, OrtStatus *status) {
  const OrtApi *api = ort_api();
  if (api == nullptr) {
    // No table to read or release the status with.
    set_err("%s: %s", what, "?");
    return;
  }
  const char *msg = api->GetErrorMessage(status);
  set_err("%s: %s", what, msg != nullptr ? msg : "unknown");
  // The message belongs to the status: release only after formatting.
  api->ReleaseStatus(status);
}

const char *last_error_text() {
  return g_err;
}

} // namespace kalwake
