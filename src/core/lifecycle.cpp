// The lifecycle entry points: load, add a wake model, count, reset, unload, last error, version.
#include <cmath>

#include "core/ort_binding.h"
#include "core/state.h"
#include "kalmoris_wakeword.h"

using namespace kalwake;

namespace {

constexpr float kFallbackThreshold = 0.5f;

// Thresholds outside (0, 1), NaN included, would fire always or never.
float settle_threshold(float t) {
  return (t > 0.0f && t < 1.0f) ? t : kFallbackThreshold;
}

void fill_slot_locked(wake_model &m, OrtSession *sess, float threshold) {
  m.sess = sess;
  m.frames = wake_input_frames(sess);
  m.threshold = threshold;
  m.score = 0.0f;
  m.triggered = 0;
  m.armed = 0;
  m.n_pred = 0;
  m.cooldown = 0;
}

// Releases the front-end sessions and then the wake-model sessions of every slot.
void release_models_locked() {
  release_session(g.mel_sess);
  release_session(g.emb_sess);
  for (wake_model &m : g.models) {
    release_session(m.sess);
  }
  g.n_models = 0;
}

} // namespace

extern "C" KALWAKE_API int kalwake_load(const char *frontend_dir, const char *model_path,
                                        float threshold) {
  if (frontend_dir == nullptr || frontend_dir[0] == '\0') {
    set_err("frontend_dir is empty");
    return -1;
  }
  if (model_path == nullptr || model_path[0] == '\0') {
    set_err("model_path is empty");
    return -1;
  }
  const float t = settle_threshold(threshold);
  if (ort_setup() != 0) {
    return -1;
  }

  std::lock_guard<std::mutex> hold(g_lock);
  release_models_locked();
  // The loaded flag keeps its value while the new set is made, so that a call on another
  // thread that found the library loaded waits for the lock and then runs with the new set.
  // A failure leaves the library not loaded, set before the lock is given back: those calls
  // then see it under the lock and no stage runs with an absent session. Sessions this call
  // created stay in the record until the next load or unload releases them.
  const auto fail = [] {
    g_loaded.store(0);
    return -1;
  };

  char path[kPathCapacity];
  join_path(path, frontend_dir, kMelFileName);
  g.mel_sess = load_session(path);
  if (g.mel_sess == nullptr) {
    return fail();
  }
  join_path(path, frontend_dir, kEmbFileName);
  g.emb_sess = load_session(path);
  if (g.emb_sess == nullptr) {
    return fail();
  }
  OrtSession *wake = load_session(model_path);
  if (wake == nullptr) {
    return fail();
  }
  fill_slot_locked(g.models[0], wake, t);
  g.n_models = 1;
  g.default_threshold = t;
  reset_stream_locked();
  g_loaded.store(1);
  set_err("no error");
  return 0;
}

extern "C" KALWAKE_API int kalwake_load_model(const char *model_path) {
  if (model_path == nullptr || model_path[0] == '\0') {
    set_err("model_path is empty");
    return -1;
  }
  if (g_loaded.load() == 0) {
    set_err("%s", kNotLoadedMessage);
    return -1;
  }
  std::lock_guard<std::mutex> hold(g_lock);
  // An unload or failed reload on another thread may have won the lock.
  if (g_loaded.load() == 0) {
    set_err("%s", kNotLoadedMessage);
    return -1;
  }
  if (g.n_models >= kMaxModels) {
    set_err("too many wake models (max %d)", kMaxModels);
    return -1;
  }
  const int i = g.n_models;
  OrtSession *sess = load_session(model_path);
  if (sess == nullptr) {
    return -1;
  }
  fill_slot_locked(g.models[i], sess, g.default_threshold);
  g.n_models = i + 1;
  return i;
}

extern "C" KALWAKE_API int kalwake_model_count(void) {
  if (g_loaded.load() == 0) {
    return -1;
  }
  std::lock_guard<std::mutex> hold(g_lock);
  return g_loaded.load() != 0 ? g.n_models : -1;
}

extern "C" KALWAKE_API void kalwake_reset(void) {
  if (g_loaded.load() == 0) {
    return;
  }
  std::lock_guard<std::mutex> hold(g_lock);
  if (g_loaded.load() != 0) {
    reset_stream_locked();
  }
}

extern "C" KALWAKE_API void kalwake_unload(void) {
  {
    std::lock_guard<std::mutex> hold(g_lock);
    // Unloading never fails: with no table there is no session to release either.
    if (ort_api() != nullptr) {
      release_models_locked();
    }
    g.n_models = 0;
    g_loaded.store(0);
  }
  set_err("no error");
}

extern "C" KALWAKE_API const char *kalwake_last_error(void) {
  return last_error_text();
}

extern "C" KALWAKE_API const char *kalwake_version(void) {
  return "1.0.0";
}
