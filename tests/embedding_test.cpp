// The embedding stage: what the history of 16 embeddings holds after each chunk, and which of
// the model's output values are used.
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

// With the probe front end, value 95 of a chunk's embedding is its newest frame, s / 10 + 2.
float newest(int16_t s) {
  return static_cast<float>(s) / 10.0f + 2.0f;
}

class EmbeddingStage : public LibraryTest {
protected:
  void load_with(const std::string &emb, const std::string &wake = "wake_mean_1") {
    fe_ = std::make_unique<Frontend>("mel_avg", emb);
    ASSERT_EQ(kalwake_load(fe_->dir().c_str(), model(wake).c_str(), 0.5f), 0)
        << kalwake_last_error();
  }
  std::unique_ptr<Frontend> fe_;
};

TEST_F(EmbeddingStage, TheFirstEmbeddingFillsEveryRowThenRowsShift) {
  load_with("emb_frames");
  EXPECT_EQ(g.emb_len, 0);
  ASSERT_EQ(harness::write_chunk(-11), 1);
  EXPECT_EQ(g.emb_len, 16);
  for (int r = 0; r < 16; ++r) {
    ASSERT_EQ(g.emb_buf[r][95], newest(-11)) << r;
  }
  ASSERT_EQ(harness::write_chunk(-12), 1);
  for (int r = 0; r < 15; ++r) {
    ASSERT_EQ(g.emb_buf[r][95], newest(-11)) << r;
  }
  EXPECT_EQ(g.emb_buf[15][95], newest(-12));
  // From the sixteenth chunk on, the rows are the last 16 chunks, oldest first.
  for (int16_t s = 1; s <= 20; ++s) {
    ASSERT_EQ(harness::write_chunk(s), 1);
  }
  for (int r = 0; r < 16; ++r) {
    ASSERT_EQ(g.emb_buf[r][95], newest(static_cast<int16_t>(5 + r))) << r;
  }
}

TEST_F(EmbeddingStage, AResetMakesTheNextEmbeddingFillEveryRowAgain) {
  load_with("emb_frames");
  for (int16_t s = 1; s <= 5; ++s) {
    ASSERT_EQ(harness::write_chunk(s), 1);
  }
  kalwake_reset();
  EXPECT_EQ(g.emb_len, 0);
  ASSERT_EQ(harness::write_chunk(-14), 1);
  for (int r = 0; r < 16; ++r) {
    ASSERT_EQ(g.emb_buf[r][95], newest(-14)) << r;
  }
}

TEST_F(EmbeddingStage, OnlyTheFirst96OutputValuesAreUsed) {
  load_with("emb_long"); // 200 values, the last 104 of them 1000
  ASSERT_EQ(harness::write_chunk(-13), 1);
  EXPECT_EQ(g.emb_buf[15][95], newest(-13));
  EXPECT_EQ(harness::scores(), std::vector<float>{newest(-13)});
  load_with("emb_rank4"); // [1, 1, 1, 96]
  ASSERT_EQ(harness::write_chunk(-13), 1);
  EXPECT_EQ(g.emb_buf[15][95], newest(-13));
}

TEST_F(EmbeddingStage, IsComputedWithNoWakeModelInTheRecord) {
  load_with("emb_frames");
  // A record without wake models is reachable only from inside: the chunk must still run
  // the embedding stage and complete.
  const int32_t saved = g.n_models;
  g.n_models = 0;
  const int rc = harness::write_chunk(-12);
  g.n_models = saved;
  EXPECT_EQ(rc, 1);
  EXPECT_EQ(g.emb_len, 16);
  EXPECT_EQ(g.emb_buf[15][95], newest(-12));
  EXPECT_EQ(harness::wake_inputs().size(), 0u);
}

struct BadOutput {
  const char *emb;
  const char *message;
};

void PrintTo(const BadOutput &b, std::ostream *os) {
  *os << b.emb;
}

class EmbeddingOutputs : public EmbeddingStage, public ::testing::WithParamInterface<BadOutput> {};

TEST_P(EmbeddingOutputs, ThatCannotBeReadFailTheChunkAndLeaveTheHistory) {
  const BadOutput &b = GetParam();
  load_with(b.emb);
  std::memset(g.emb_buf, 0x7f, sizeof g.emb_buf);
  std::vector<char> before(reinterpret_cast<char *>(g.emb_buf),
                           reinterpret_cast<char *>(g.emb_buf) + sizeof g.emb_buf);
  EXPECT_EQ(harness::write_chunk(-11), -1);
  EXPECT_EQ(std::string(kalwake_last_error()).rfind(b.message, 0), 0u) << kalwake_last_error();
  EXPECT_EQ(0, std::memcmp(before.data(), g.emb_buf, sizeof g.emb_buf));
  EXPECT_EQ(g.emb_len, 0);
  EXPECT_EQ(g.mel_len, 76 + 8); // the mel stage's frames stay
  EXPECT_EQ(harness::wake_inputs().size(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Models, EmbeddingOutputs,
    ::testing::Values(BadOutput{"emb_short", "embedding output too short (50 values, need 96)"},
                      BadOutput{"emb_int", "embedding output not float"},
                      BadOutput{"emb_wrong_name", "emb Run: "}),
    [](const ::testing::TestParamInfo<BadOutput> &info) { return std::string(info.param.emb); });

} // namespace
