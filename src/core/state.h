// The detector record, its statics and the last-error text. One detector per process: every
// stage reads and writes `g` directly while holding `g_lock`.
#ifndef KALWAKE_CORE_STATE_H
#define KALWAKE_CORE_STATE_H

#include <atomic>
#include <cstdint>
#include <mutex>

#include "onnxruntime_c_api.h"
#include "pipeline/contract.h"

#if defined(__GNUC__)
#define KALWAKE_PRINTF(fmt_index, first_arg) __attribute__((format(printf, fmt_index, first_arg)))
#else
#define KALWAKE_PRINTF(fmt_index, first_arg)
#endif

namespace kalwake {

// One wake-model slot.
struct wake_model {
  OrtSession *sess;  // null when the slot is empty
  int64_t frames;    // embeddings per prediction as declared by the model (16 when unknown)
  float threshold;   // score at or above which a detection latches
  float score;       // latest probability; 0.0 until the first prediction
  int32_t triggered; // a detection latched and not yet collected
  int32_t armed;     // the warm-up is over
  int32_t n_pred;    // predictions since the slot was filled or the stream reset
  int32_t cooldown;  // predictions left before the slot may fire again
};

// The whole mutable detector state: fixed capacities, no allocation.
struct wake_state {
  OrtSession *mel_sess;
  OrtSession *emb_sess;
  wake_model models[kMaxModels];
  int32_t n_models;
  float default_threshold;
  int16_t audio_hist[kWindowLimit]; // left context of the next window, oldest first
  int32_t audio_hist_len;
  int16_t pcm_buf[kPendingCapacity]; // samples of the chunk being collected
  int32_t pcm_len;
  float mel_buf[kMelHistoryFrames][kMelBins]; // scaled mel frames, oldest first
  int32_t mel_len;
  float emb_buf[kEmbeddingHistory][kEmbeddingSize]; // embeddings, newest in the last row
  int32_t emb_len;
};

// Written by entry points that need a loaded library; the dash is U+2014.
constexpr const char *kNotLoadedMessage = "not loaded \xE2\x80\x94 call kalwake_load first";

extern wake_state g;
// Guards `g`. Not recursive; no function holding it calls an entry point.
extern std::mutex g_lock;
// Set under `g_lock`, read before it by the entry points that need a loaded library.
extern std::atomic<int> g_loaded;

// Returns the stream to its starting point, keeping models and thresholds. Caller holds g_lock.
void reset_stream_locked();

// Formats the last-error text (at most 1023 bytes and a NUL).
void set_err(const char *fmt, ...) KALWAKE_PRINTF(1, 2);
// Reports a failed runtime call as "what: message" and releases the status.
void ort_fail(const char *what, OrtStatus *status);
// The last-error buffer itself, handed to the host.
const char *last_error_text();

} // namespace kalwake

#endif
