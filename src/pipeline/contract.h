// The model set contract and the fixed sizes of the streaming pipeline.
#ifndef KALWAKE_PIPELINE_CONTRACT_H
#define KALWAKE_PIPELINE_CONTRACT_H

#include <cstdint>

namespace kalwake {

constexpr int kMaxModels = 8; // wake-model slots

// Audio, in samples (80 ms chunks and 30 ms of left context at 16 kHz).
constexpr int kChunkSamples = 1280;    // pending samples that complete a chunk
constexpr int kHistorySamples = 480;   // samples of the previous chunk kept as left context
constexpr int kWindowLimit = 1760;     // longest window fed to the mel model (480 + 1280)
constexpr int kPendingCapacity = 2560; // two chunks: room for retries of a failing chunk

// Mel stage.
constexpr int kMelBins = 32;              // values per mel frame
constexpr int kMelFrameDivisor = 160;     // a window of N samples yields at most N / 160 frames
constexpr int kMelHistoryFrames = 1046;   // frames kept in the mel history
constexpr int kMelWindowFrames = 76;      // newest frames fed to the embedding model
constexpr float kMelScaleDivisor = 10.0f; // stored value = model value / 10 + 2
constexpr float kMelScaleOffset = 2.0f;
constexpr int kMelMaxRank = 4; // output ranks above this are not read

// Embedding stage.
constexpr int kEmbeddingSize = 96;    // values per embedding
constexpr int kEmbeddingHistory = 16; // embeddings kept, newest last

// Latch.
constexpr int kWarmupPredictions = 5; // a slot arms once it has made more than this many
constexpr int kCooldownPredictions = 8;

// Tensor names of the front-end models.
constexpr const char *kMelInputName = "input";
constexpr const char *kMelOutputName = "output";
constexpr const char *kEmbInputName = "input_1";
constexpr const char *kEmbOutputName = "conv2d_19";
constexpr const char *kMelFileName = "melspectrogram.onnx";
constexpr const char *kEmbFileName = "embedding_model.onnx";

} // namespace kalwake

#endif
