// The detection queries: collect one latched detection, read every slot's latest score.
#include <cstring>

#include "core/state.h"
#include "kalmoris_wakeword.h"

using namespace kalwake;

namespace {

void hand_over(int32_t *out_index, float *out_score, int32_t index, float score) {
  if (out_index != nullptr) {
    *out_index = index;
  }
  if (out_score != nullptr) {
    *out_score = score;
  }
}

int triggered_not_loaded(int32_t *out_index, float *out_score) {
  set_err("not loaded");
  // Score first, then index: the documented order for this case (a collected detection
  // writes the index first, through hand_over).
  if (out_score != nullptr) {
    *out_score = 0.0f;
  }
  if (out_index != nullptr) {
    *out_index = -1;
  }
  return 0;
}

} // namespace

extern "C" KALWAKE_API int kalwake_triggered(int32_t *out_index, float *out_score) {
  if (g_loaded.load() == 0) {
    return triggered_not_loaded(out_index, out_score);
  }
  std::lock_guard<std::mutex> hold(g_lock);
  // An unload or a failed reload on another thread may have taken the lock first.
  if (g_loaded.load() == 0) {
    return triggered_not_loaded(out_index, out_score);
  }
  // Lowest slot first; later slots keep their detections for later calls.
  for (int j = 0; j < g.n_models; ++j) {
    wake_model &m = g.models[j];
    if (m.triggered != 0) {
      m.triggered = 0;
      hand_over(out_index, out_score, j, m.score);
      return 1;
    }
  }
  hand_over(out_index, out_score, -1, 0.0f);
  return 0;
}

extern "C" KALWAKE_API int kalwake_scores(float *scores, int n) {
  if (scores == nullptr || n <= 0) {
    set_err("scores is NULL or n <= 0");
    return -1;
  }
  if (g_loaded.load() == 0) {
    set_err("not loaded");
    return -1;
  }
  std::lock_guard<std::mutex> hold(g_lock);
  if (g_loaded.load() == 0) { // unloaded on another thread while this call waited
    set_err("not loaded");
    return -1;
  }
  const int m = g.n_models;
  int j = 0;
  for (; j < m && j < n; ++j) {
    scores[j] = g.models[j].score;
  }
  if (n > m) {
    std::memset(scores + m, 0, static_cast<size_t>(n - m) * sizeof(float));
  }
  return 0;
}
