// The reference mel-spectrogram model run through the library, against golden frames that the
// independent numpy implementation computed over each whole signal as one stream.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "core/ort_binding.h"
#include "core/state.h"
#include "harness.h"

using harness::LibraryTest;
using harness::model;
using kalwake::g;

namespace {

constexpr double kToleranceDb = 0.01;
constexpr int kBins = 32;

template <typename T> std::vector<T> read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  EXPECT_TRUE(in.good()) << "cannot read " << path;
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<T> out(bytes.size() / sizeof(T));
  std::copy(bytes.begin(), bytes.begin() + static_cast<long>(out.size() * sizeof(T)),
            reinterpret_cast<char *>(out.data()));
  return out;
}

struct Golden {
  std::vector<int16_t> pcm;
  std::vector<float> mel; // [frames][32] decibels
  int frames() const { return static_cast<int>(mel.size() / kBins); }
};

Golden golden(const std::string &name) {
  const std::string stem = std::string(KALWAKE_GOLDEN_DIR) + "/" + name;
  Golden gd{read_file<int16_t>(stem + ".pcm"), read_file<float>(stem + ".mel")};
  EXPECT_GT(gd.frames(), 100) << name;
  return gd;
}

// A front-end folder with the committed mel model and the frame-statistics probe embedding.
class RealMelFrontend {
public:
  RealMelFrontend() {
    harness::place_file(std::string(KALWAKE_MODELS_DIR) + "/melspectrogram.onnx",
                        dir_.file("melspectrogram.onnx"));
    harness::place_model("emb_frames", dir_.file("embedding_model.onnx"));
  }
  const std::string &dir() const { return dir_.path(); }

private:
  harness::TempDir dir_;
};

class MelModel : public LibraryTest {
protected:
  void load() {
    ASSERT_EQ(kalwake_load(frontend_.dir().c_str(), model("wake_mean_1").c_str(), 0.5f), 0)
        << kalwake_last_error();
  }
  RealMelFrontend frontend_;
};

// Writes the samples in blocks of the given sizes, cycling through them.
void write_blocks(const std::vector<int16_t> &pcm, const std::vector<int> &sizes) {
  size_t at = 0;
  for (size_t i = 0; at < pcm.size(); ++i) {
    const int n = std::min(sizes[i % sizes.size()], static_cast<int>(pcm.size() - at));
    ASSERT_GE(kalwake_write(pcm.data() + at, n), 0) << kalwake_last_error();
    at += static_cast<size_t>(n);
  }
}

class GoldenStream : public MelModel, public ::testing::WithParamInterface<const char *> {};

// The frames of consecutive chunks, as the library stores them, are the frames of the whole
// signal: the first chunk gives frames 0 to 4, every later chunk the next 8, none missing and
// none repeated, each within 0.01 dB of the numpy reference.
TEST_P(GoldenStream, LibraryFramesEqualTheWholeSignalsFrames) {
  const Golden gd = golden(GetParam());
  load();
  write_blocks(gd.pcm, {1280, 700, 3001, 1, 2560, 999});
  const int chunks = static_cast<int>(gd.pcm.size() / 1280);
  const int produced = 5 + 8 * (chunks - 1);
  ASSERT_EQ(g.mel_len, 76 + produced);
  ASSERT_LE(produced, gd.frames());
  // The history a reset left stays in front of the new frames.
  for (int r = 0; r < 76; ++r) {
    for (int b = 0; b < kBins; ++b) {
      ASSERT_EQ(g.mel_buf[r][b], 1.0f);
    }
  }
  double worst = 0.0;
  for (int f = 0; f < produced; ++f) {
    for (int b = 0; b < kBins; ++b) {
      // The library stores v / 10 + 2; undo it to compare in decibels.
      const double got = (static_cast<double>(g.mel_buf[76 + f][b]) - 2.0) * 10.0;
      const double want = gd.mel[static_cast<size_t>(f * kBins + b)];
      const double dev = std::fabs(got - want);
      worst = std::max(worst, dev);
      ASSERT_LE(dev, kToleranceDb)
          << "frame " << f << " bin " << b << ": " << got << " vs " << want;
    }
  }
  std::printf("%s: %d frames, max deviation %.5f dB\n", GetParam(), produced, worst);
  RecordProperty("max_deviation_db", std::to_string(worst));
}

INSTANTIATE_TEST_SUITE_P(Signals, GoldenStream, ::testing::Values("speech", "fullscale", "quiet"),
                         [](const ::testing::TestParamInfo<const char *> &info) {
                           return std::string(info.param);
                         });

TEST_F(MelModel, DigitalSilenceLooksExactlyLikeAFreshHistory) {
  load();
  ASSERT_EQ(harness::write_const(0, 1280 * 20), 20);
  ASSERT_EQ(g.mel_len, 76 + 5 + 8 * 19);
  for (int r = 0; r < g.mel_len; ++r) {
    for (int b = 0; b < kBins; ++b) {
      ASSERT_EQ(g.mel_buf[r][b], 1.0f) << "frame " << r << " bin " << b;
    }
  }
}

TEST_F(MelModel, AResetStartsTheFrameStreamAgainFromTheNextSample) {
  const Golden gd = golden("speech");
  load();
  // Some unrelated audio first, then a reset: the stream restarts and its frames are those of
  // the signal from its own first sample.
  ASSERT_EQ(harness::write_const(9000, 1280 * 3 + 17), 3);
  kalwake_reset();
  write_blocks(std::vector<int16_t>(gd.pcm.begin(), gd.pcm.begin() + 1280 * 6), {1280});
  ASSERT_EQ(g.mel_len, 76 + 5 + 8 * 5);
  for (int f = 0; f < 5 + 8 * 5; ++f) {
    for (int b = 0; b < kBins; ++b) {
      const double got = (static_cast<double>(g.mel_buf[76 + f][b]) - 2.0) * 10.0;
      ASSERT_NEAR(got, gd.mel[static_cast<size_t>(f * kBins + b)], kToleranceDb);
    }
  }
}

// Any window of at least one frame works, not only the 1280 and 1760 the stream uses: a
// retried chunk, for one, is longer. Frame k of a window is the frame at sample 160 k.
TEST_F(MelModel, AnyWindowLengthGivesTheFramesThatFitInIt) {
  ASSERT_EQ(kalwake::ort_setup(), 0) << kalwake_last_error();
  const std::string path = std::string(KALWAKE_MODELS_DIR) + "/melspectrogram.onnx";
  OrtSession *sess = kalwake::load_session(path.c_str());
  ASSERT_NE(sess, nullptr) << kalwake_last_error();
  const OrtApi *api = kalwake::ort_api();
  const Golden gd = golden("fullscale");
  for (int n : {512, 513, 671, 672, 1280, 1281, 1759, 1760, 2400, 16000}) {
    SCOPED_TRACE(n);
    std::vector<float> window(gd.pcm.begin(), gd.pcm.begin() + n);
    const int64_t shape[2] = {1, n};
    OrtValue *input = nullptr;
    ASSERT_EQ(api->CreateTensorWithDataAsOrtValue(kalwake::g_mem, window.data(),
                                                  window.size() * sizeof(float), shape, 2,
                                                  ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT, &input),
              nullptr);
    const char *in_names[] = {"input"};
    const char *out_names[] = {"output"};
    OrtValue *output = nullptr;
    OrtStatus *st = api->Run(sess, nullptr, in_names, &input, 1, out_names, 1, &output);
    api->ReleaseValue(input);
    ASSERT_EQ(st, nullptr) << api->GetErrorMessage(st);
    OrtTensorTypeAndShapeInfo *info = nullptr;
    ASSERT_EQ(api->GetTensorTypeAndShape(output, &info), nullptr);
    int64_t dims[4] = {0, 0, 0, 0};
    size_t rank = 0;
    ASSERT_EQ(api->GetDimensionsCount(info, &rank), nullptr);
    ASSERT_EQ(rank, 4u);
    ASSERT_EQ(api->GetDimensions(info, dims, 4), nullptr);
    api->ReleaseTensorTypeAndShapeInfo(info);
    const int frames = (n - 512) / 160 + 1;
    EXPECT_EQ(dims[0], 1);
    EXPECT_EQ(dims[1], 1);
    EXPECT_EQ(dims[2], frames);
    EXPECT_EQ(dims[3], kBins);
    EXPECT_LE(frames, n / 160);
    float *data = nullptr;
    ASSERT_EQ(api->GetTensorMutableData(output, reinterpret_cast<void **>(&data)), nullptr);
    for (int i = 0; i < frames * kBins; ++i) {
      ASSERT_NEAR(data[i], gd.mel[static_cast<size_t>(i)], kToleranceDb) << "value " << i;
    }
    api->ReleaseValue(output);
  }
  kalwake::release_session(sess);
}

} // namespace
