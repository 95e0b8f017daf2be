// The mel stage: which output shapes are accepted, how values are scaled, and how the mel
// history and the 76-frame window evolve. Looks at the record through the static build.
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "core/state.h"
#include "harness.h"

using harness::Frontend;
using harness::LibraryTest;
using harness::model;
using kalwake::g;

namespace {

class MelStage : public LibraryTest {
protected:
  void load_with(const std::string &mel, const std::string &emb = "emb_frames") {
    fe_ = std::make_unique<Frontend>(mel, emb);
    ASSERT_EQ(kalwake_load(fe_->dir().c_str(), model("wake_mean_1").c_str(), 0.5f), 0)
        << kalwake_last_error();
  }
  std::unique_ptr<Frontend> fe_;
};

TEST_F(MelStage, AcceptsRank3AndRank4OutputsUpToNOver160Frames) {
  for (const char *mel : {"mel_window", "mel_rank3"}) {
    SCOPED_TRACE(mel);
    load_with(mel);
    ASSERT_EQ(harness::write_chunk(0), 1) << kalwake_last_error();
    EXPECT_EQ(g.mel_len, 76 + 8); // 1280 samples: at most 8 frames
    ASSERT_EQ(harness::write_chunk(0), 1) << kalwake_last_error();
    EXPECT_EQ(g.mel_len, 76 + 8 + 11); // 1760 samples: at most 11
  }
  load_with("mel_one_frame");
  ASSERT_EQ(harness::write_chunk(0), 1);
  EXPECT_EQ(g.mel_len, 77);
}

struct Rejected {
  const char *mel;
  int good_chunks; // chunks accepted before the rejected one
  const char *message;
};

void PrintTo(const Rejected &r, std::ostream *os) {
  *os << r.mel;
}

class MelShapes : public MelStage, public ::testing::WithParamInterface<Rejected> {};

TEST_P(MelShapes, AreRejectedWithFramesAndBinsAndChangeNothing) {
  const Rejected &r = GetParam();
  load_with(r.mel);
  for (int i = 0; i < r.good_chunks; ++i) {
    ASSERT_EQ(harness::write_chunk(static_cast<int16_t>(-10 * i)), 1) << kalwake_last_error();
  }
  const int mel_len = g.mel_len;
  std::vector<float> before(&g.mel_buf[0][0], &g.mel_buf[0][0] + sizeof g.mel_buf / sizeof(float));
  EXPECT_EQ(harness::write_chunk(123), -1);
  EXPECT_STREQ(kalwake_last_error(), r.message);
  EXPECT_EQ(g.mel_len, mel_len);
  EXPECT_EQ(0, std::memcmp(before.data(), g.mel_buf, sizeof g.mel_buf));
  EXPECT_TRUE(harness::embedding_inputs().size() == static_cast<size_t>(r.good_chunks));
}

INSTANTIATE_TEST_SUITE_P(
    Outputs, MelShapes,
    ::testing::Values(Rejected{"mel_over_first", 0, "unexpected melspec shape 9x32"},
                      Rejected{"mel_over_later", 1, "unexpected melspec shape 12x32"},
                      Rejected{"mel_trailing_one", 0, "unexpected melspec shape 32x1"},
                      Rejected{"mel_rank2", 0, "unexpected melspec shape 32x0"},
                      Rejected{"mel_rank5", 0, "unexpected melspec shape 0x0"},
                      Rejected{"mel_no_frames", 0, "unexpected melspec shape 0x32"},
                      Rejected{"mel_33_bins", 0, "unexpected melspec shape 8x33"},
                      // [0, 8, 32] passes the shape test but holds no value to read.
                      Rejected{"mel_empty_batch", 0,
                               "melspec output too short (0 values, need 256)"},
                      Rejected{"mel_double", 0, "melspec output not float"}),
    [](const ::testing::TestParamInfo<Rejected> &info) { return std::string(info.param.mel); });

TEST_F(MelStage, ANegativeFrameCountIsRejectedAsSigned) {
  load_with("mel_avg");
  shim::on_get_dimensions([](int64_t *dims, size_t n) {
    if (n == 4) {
      dims[2] = -1;
    }
  });
  EXPECT_EQ(harness::write_chunk(0), -1);
  EXPECT_STREQ(kalwake_last_error(), "unexpected melspec shape -1x32");
}

TEST_F(MelStage, ScalesByATrueSinglePrecisionDivision) {
  load_with("mel_window");
  std::vector<int16_t> pcm(1280, 0);
  // mel_window puts window[160 k + 5 b] into bin b of frame k.
  pcm[0] = 0;
  pcm[5] = 10;
  pcm[10] = -10;
  pcm[15] = -20;
  // A value whose v / 10 differs from v * 0.1 in single precision.
  int16_t tricky = 0;
  for (int v = 1; v < 32768; ++v) {
    const float f = static_cast<float>(v);
    if (f / 10.0f + 2.0f != f * 0.1f + 2.0f) {
      tricky = static_cast<int16_t>(v);
      break;
    }
  }
  ASSERT_NE(tricky, 0);
  pcm[20] = tricky;
  ASSERT_EQ(kalwake_write(pcm.data(), 1280), 1);
  const float *first = g.mel_buf[76];
  EXPECT_EQ(first[0], 2.0f);
  EXPECT_EQ(first[1], 3.0f);
  EXPECT_EQ(first[2], 1.0f);
  EXPECT_EQ(first[3], 0.0f);
  volatile float v = static_cast<float>(tricky); // keep the compiler from folding differently
  EXPECT_EQ(first[4], v / 10.0f + 2.0f);
}

TEST_F(MelStage, TheFirstWindowAfterAResetIsPaddedWithOnes) {
  load_with("mel_avg");
  ASSERT_EQ(harness::write_chunk(-20), 1); // model value -20: stored 0.0
  auto inputs = harness::embedding_inputs();
  ASSERT_EQ(inputs.size(), 1u);
  EXPECT_EQ(inputs[0].shape, (std::vector<int64_t>{1, 76, 32, 1}));
  const std::vector<float> w = inputs[0].data; // a copy: inputs is reassigned below
  ASSERT_EQ(w.size(), 76u * 32u);
  for (size_t i = 0; i < w.size(); ++i) {
    ASSERT_EQ(w[i], i < (76 - 8) * 32 ? 1.0f : 0.0f) << i;
  }
  // The same after a reset, whatever came before it.
  ASSERT_EQ(harness::write_chunk(-10), 1);
  kalwake_reset();
  shim::reset();
  ASSERT_EQ(harness::write_chunk(-20), 1);
  inputs = harness::embedding_inputs();
  ASSERT_EQ(inputs.size(), 1u);
  EXPECT_EQ(inputs[0].data, w);
}

TEST_F(MelStage, TheHistoryHoldsAtMost1046FramesNewestLast) {
  load_with("mel_avg");
  // 76 + 8 + 11 k frames reach 1046 after 88 more chunks; go past it.
  for (int i = 0; i < 95; ++i) {
    ASSERT_EQ(harness::write_chunk(static_cast<int16_t>(i)), 1);
    ASSERT_LE(g.mel_len, 1046);
  }
  EXPECT_EQ(g.mel_len, 1046);
  // The newest 11 frames are the last chunk's: 3 frames of history samples (value 93) and
  // 8 of its own (value 94), each frame a 160-sample block mean.
  for (int row = 1046 - 11; row < 1046; ++row) {
    const float expected = (row < 1046 - 8 ? 93.0f : 94.0f) / 10.0f + 2.0f;
    for (int b = 0; b < 32; ++b) {
      ASSERT_EQ(g.mel_buf[row][b], expected) << row;
    }
  }
  EXPECT_EQ(g.mel_buf[1046 - 12][0], 93.0f / 10.0f + 2.0f);
}

} // namespace
