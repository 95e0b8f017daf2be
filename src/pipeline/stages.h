// The per-chunk stages. Each runs with g_lock held and returns 0, or -1 with the last-error
// text set and every runtime object it created released.
#ifndef KALWAKE_PIPELINE_STAGES_H
#define KALWAKE_PIPELINE_STAGES_H

#include "core/state.h"

namespace kalwake {

// Runs the mel model over window[0 .. n-1], appends the scaled frames to the mel history and,
// when it holds at least 76 frames, copies the newest 76 into frame_window (76 x 32 floats).
int run_melspec_locked(float *window, int n, float *frame_window);

// Runs the embedding model over frame_window and pushes the embedding into the history.
int run_embedding_locked(float *frame_window);

// Runs every loaded wake model over its newest embeddings, stores each score and applies the
// slot's latch before the next slot runs.
int score_models_locked();

// The latch rule for one prediction whose probability is already in the slot's score.
void update_latch(wake_model &m);

// Turns a wake model's raw output into a probability: values outside [-1e-6, 1 + 1e-6] are
// logits; values inside, and NaN, are kept.
float to_probability(float x);

} // namespace kalwake

#endif
