// The features the training tools compute (tools/stream_features.py) against what the library
// really feeds its models: every embedding input of a stream, and which embedding each row of
// a wake model's input holds.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "harness.h"

using harness::LibraryTest;
using harness::model;

namespace {

template <typename T> std::vector<T> read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  EXPECT_TRUE(in.good()) << "cannot read " << path;
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<T> out(bytes.size() / sizeof(T));
  std::memcpy(out.data(), bytes.data(), out.size() * sizeof(T));
  return out;
}

constexpr size_t kWindow = 76 * 32;

class TrainingFeatures : public LibraryTest {};

TEST_F(TrainingFeatures, EqualWhatTheLibraryFeedsItsModels) {
  harness::TempDir fe;
  harness::place_file(std::string(KALWAKE_MODELS_DIR) + "/melspectrogram.onnx",
                      fe.file("melspectrogram.onnx"));
  // A probe embedding (statistics of its frames), so that every chunk's embedding differs.
  harness::place_model("emb_frames", fe.file("embedding_model.onnx"));
  ASSERT_EQ(kalwake_load(fe.path().c_str(), model("wake_mean_16").c_str(), 0.5f), 0)
      << kalwake_last_error();

  const std::string dir = KALWAKE_FEATURE_GOLDEN_DIR;
  const auto pcm = read_file<int16_t>(std::string(KALWAKE_GOLDEN_DIR) + "/speech.pcm");
  const auto windows = read_file<float>(dir + "/windows.f32");
  const auto context = read_file<int32_t>(dir + "/context_index.i32");
  const size_t chunks = pcm.size() / 1280;
  ASSERT_EQ(windows.size(), chunks * kWindow);
  ASSERT_EQ(context.size(), chunks * 16);

  // Blocks of uneven size: the chunking must not change what the models see.
  const int sizes[] = {333, 2000, 1280, 4097, 1};
  for (size_t at = 0, i = 0; at < pcm.size(); ++i) {
    const size_t take = std::min<size_t>(static_cast<size_t>(sizes[i % 5]), pcm.size() - at);
    ASSERT_GE(kalwake_write(pcm.data() + at, static_cast<int>(take)), 0) << kalwake_last_error();
    at += take;
  }

  std::vector<std::vector<float>> emb_inputs, wake_inputs;
  for (const shim::Tensor &t : shim::created_tensors()) {
    if (t.shape == std::vector<int64_t>{1, 76, 32, 1}) {
      emb_inputs.push_back(t.data);
    } else if (t.shape == std::vector<int64_t>{1, 16, 96}) {
      wake_inputs.push_back(t.data);
    }
  }
  ASSERT_EQ(emb_inputs.size(), chunks);
  ASSERT_EQ(wake_inputs.size(), chunks);

  double worst = 0.0;
  for (size_t c = 0; c < chunks; ++c) {
    for (size_t i = 0; i < kWindow; ++i) {
      const double dev = std::fabs(emb_inputs[c][i] - windows[c * kWindow + i]);
      worst = std::max(worst, dev);
      // 0.001 in stored units is 0.01 dB.
      ASSERT_LE(dev, 1e-3) << "chunk " << c << " value " << i;
    }
  }
  std::printf("embedding inputs of %zu chunks: max deviation %.6f (stored units)\n", chunks, worst);

  // The newest row of a chunk's wake input is that chunk's embedding; every other row must be
  // the embedding of the chunk the training side says.
  for (size_t c = 0; c < chunks; ++c) {
    for (size_t r = 0; r < 16; ++r) {
      const size_t src = static_cast<size_t>(context[c * 16 + r]);
      ASSERT_LE(src, c);
      for (size_t k = 0; k < 96; ++k) {
        ASSERT_EQ(wake_inputs[c][r * 96 + k], wake_inputs[src][15 * 96 + k])
            << "chunk " << c << " row " << r;
      }
    }
  }
}

} // namespace
