// The write entry: collects samples into 1280-sample chunks and runs each chunk through the
// stages, in order, on the caller's thread.
#include <algorithm>
#include <cstring>

#include "core/state.h"
#include "kalmoris_wakeword.h"
#include "pipeline/stages.h"

using namespace kalwake;

namespace {

// Builds the window of up to 480 history samples and the pending chunk, runs the stages and,
// if all succeed, keeps the last 480 samples as the next window's left context.
int process_chunk_locked() {
  const int e = g.audio_hist_len;
  const int f = g.pcm_len;
  const int n = std::min(e + f, kWindowLimit);
  const int p = std::min(f, n); // pending samples taken; more than 1280 only on a retry
  const int h = n - p;          // history samples taken

  // Converted by value: the models see raw 16-bit magnitudes. The window outlives the
  // mel stage's tensor, which is a view of it.
  float window[kWindowLimit];
  for (int j = 0; j < h; ++j) {
    window[j] = static_cast<float>(g.audio_hist[e - h + j]);
  }
  for (int j = 0; j < p; ++j) {
    window[h + j] = static_cast<float>(g.pcm_buf[j]);
  }

  float frame_window[kMelWindowFrames * kMelBins];
  if (run_melspec_locked(window, n, frame_window) != 0) {
    return -1;
  }
  if (g.mel_len >= kMelWindowFrames) {
    if (run_embedding_locked(frame_window) != 0) {
      return -1;
    }
    if (g.n_models >= 1 && score_models_locked() != 0) {
      return -1;
    }
  }
  // The new history is the tail of (old history + all pending samples); with at least 1280
  // pending samples that is always the last 480 pending ones.
  std::memcpy(g.audio_hist, g.pcm_buf + (f - kHistorySamples), kHistorySamples * sizeof(int16_t));
  g.audio_hist_len = kHistorySamples;
  g.pcm_len = 0;
  return 0;
}

} // namespace

extern "C" KALWAKE_API int kalwake_write(const int16_t *pcm, int n_samples) {
  if (pcm == nullptr || n_samples <= 0) {
    set_err("pcm is NULL or n_samples <= 0");
    return -1;
  }
  if (g_loaded.load() == 0) {
    set_err("%s", kNotLoadedMessage);
    return -1;
  }
  std::lock_guard<std::mutex> hold(g_lock);
  // An unload or a failed reload on another thread may have taken the lock first.
  if (g_loaded.load() == 0 || g.mel_sess == nullptr || g.emb_sess == nullptr) {
    set_err("%s", kNotLoadedMessage);
    return -1;
  }
  // A chunk that keeps failing gains one pending sample per call; once the buffer is full,
  // refuse rather than write past it. Only a reset clears the failing chunk.
  if (g.pcm_len >= kPendingCapacity) {
    set_err("pending buffer full \xE2\x80\x94 call kalwake_reset");
    return -1;
  }

  int chunks = 0;
  int i = 0;
  while (i < n_samples) {
    // Below a full chunk, take as many samples as complete it; on a retry (pending already
    // at 1280 or more) one sample completes the chunk again.
    const int room = std::max(kChunkSamples - g.pcm_len, 1);
    const int take = std::min(room, n_samples - i);
    std::memcpy(g.pcm_buf + g.pcm_len, pcm + i, static_cast<size_t>(take) * sizeof(int16_t));
    g.pcm_len += take;
    i += take;
    if (g.pcm_len < kChunkSamples) {
      break;
    }
    if (process_chunk_locked() != 0) {
      return -1;
    }
    ++chunks;
  }
  return chunks;
}
