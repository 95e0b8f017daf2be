// Wake scoring: which embeddings each model is fed, how its raw output becomes a score, and
// what a failing slot leaves behind.
#include <cmath>
#include <string>
#include <vector>

#include "harness.h"

using harness::LibraryTest;
using harness::model;
using harness::probe_frontend;
using harness::scores;
using harness::write_chunk;

namespace {

float newest(int16_t s) {
  return static_cast<float>(s) / 10.0f + 2.0f;
}

class Scoring : public LibraryTest {
protected:
  void load(const std::string &wake) {
    ASSERT_EQ(kalwake_load(probe_frontend().dir().c_str(), model(wake).c_str(), 0.5f), 0)
        << kalwake_last_error();
  }
  void add(const std::string &wake, int slot) {
    ASSERT_EQ(kalwake_load_model(model(wake).c_str()), slot) << kalwake_last_error();
  }
};

TEST_F(Scoring, EachModelIsFedAViewOfItsNewestEmbeddings) {
  load("wake_mean_16");
  add("wake_mean_3", 1);
  add("wake_mean_1", 2);
  const int16_t chunk_values[] = {-19, -17, -15, -13, -11};
  for (int16_t s : chunk_values) {
    ASSERT_EQ(write_chunk(s), 1);
  }
  const auto fed = harness::wake_inputs();
  ASSERT_EQ(fed.size(), 15u);
  EXPECT_EQ(fed[12].shape, (std::vector<int64_t>{1, 16, 96}));
  EXPECT_EQ(fed[13].shape, (std::vector<int64_t>{1, 3, 96}));
  EXPECT_EQ(fed[14].shape, (std::vector<int64_t>{1, 1, 96}));
  // Sixteen rows: twelve copies of the first chunk's embedding (the first fill) then the
  // other four chunks; three rows: the three newest; one row: the newest.
  const std::vector<float> all = fed[12].data;
  ASSERT_EQ(all.size(), 16u * 96u);
  for (int r = 0; r < 16; ++r) {
    ASSERT_EQ(all[r * 96 + 95], newest(chunk_values[r < 12 ? 0 : r - 11])) << r;
  }
  EXPECT_EQ(fed[13].data, std::vector<float>(all.begin() + 13 * 96, all.end()));
  EXPECT_EQ(fed[14].data, std::vector<float>(all.begin() + 15 * 96, all.end()));
  const float mean3 = (newest(-15) + newest(-13) + newest(-11)) / 3.0f;
  const std::vector<float> got = scores();
  EXPECT_NEAR(got[1], mean3, 1e-6);
  EXPECT_EQ(got[2], newest(-11));
}

TEST_F(Scoring, TheFirstChunkAfterAResetShowsIdenticalRows) {
  load("wake_mean_3");
  ASSERT_EQ(write_chunk(-16), 1);
  EXPECT_NEAR(scores()[0], newest(-16), 1e-6);
  const auto fed = harness::wake_inputs();
  ASSERT_EQ(fed.size(), 1u);
  for (int r = 1; r < 3; ++r) {
    EXPECT_EQ(std::vector<float>(fed[0].data.begin() + r * 96, fed[0].data.begin() + r * 96 + 96),
              std::vector<float>(fed[0].data.begin(), fed[0].data.begin() + 96));
  }
}

TEST_F(Scoring, AModelDeclaringMoreThan16FramesIsFed16AndFailsAtRun) {
  for (const char *wake : {"wake_mean_20", "wake_mean_28"}) {
    SCOPED_TRACE(wake);
    load(wake);
    for (int i = 0; i < 3; ++i) {
      EXPECT_EQ(write_chunk(0), -1);
      EXPECT_EQ(std::string(kalwake_last_error()).rfind("wake Run: ", 0), 0u)
          << kalwake_last_error();
    }
    const auto fed = harness::wake_inputs();
    ASSERT_FALSE(fed.empty());
    EXPECT_EQ(fed.back().shape, (std::vector<int64_t>{1, 16, 96}));
  }
}

TEST_F(Scoring, ASymbolicFrameCountMeansAll16Rows) {
  load("wake_mean_sym");
  ASSERT_EQ(write_chunk(0), 1);
  EXPECT_EQ(harness::wake_inputs().at(0).shape, (std::vector<int64_t>{1, 16, 96}));
}

struct RawOutput {
  const char *wake;
  float score;
};

void PrintTo(const RawOutput &r, std::ostream *os) {
  *os << r.wake;
}

class ProbabilityRule : public Scoring, public ::testing::WithParamInterface<RawOutput> {};

TEST_P(ProbabilityRule, KeepsProbabilitiesAndSquashesLogits) {
  const RawOutput &r = GetParam();
  load(r.wake);
  ASSERT_EQ(write_chunk(0), 1);
  const float got = scores()[0];
  if (std::isnan(r.score)) {
    EXPECT_TRUE(std::isnan(got)) << got;
  } else {
    EXPECT_FLOAT_EQ(got, r.score);
  }
}

INSTANTIATE_TEST_SUITE_P(RawOutputs, ProbabilityRule,
                         ::testing::Values(RawOutput{"wake_const_half", 0.5f},
                                           RawOutput{"wake_const_minus_half", 0.3775406688f},
                                           RawOutput{"wake_const_two", 0.8807970780f},
                                           RawOutput{"wake_const_minus_three", 0.0474258732f},
                                           RawOutput{"wake_const_upper_bound", 1.000001f},
                                           RawOutput{"wake_const_lower_bound", -0.000001f},
                                           RawOutput{"wake_const_nan", NAN},
                                           RawOutput{"wake_const_inf", 1.0f},
                                           RawOutput{"wake_const_minus_inf", 0.0f},
                                           RawOutput{"wake_three_values", 0.75f}),
                         [](const ::testing::TestParamInfo<RawOutput> &info) {
                           return std::string(info.param.wake);
                         });

TEST_F(Scoring, LogitsOf17AndAboveGiveExactlyOne) {
  load("wake_const_seventeen");
  add("wake_mean_1", 1);
  ASSERT_EQ(write_chunk(150), 1); // newest value 17
  EXPECT_EQ(scores(), (std::vector<float>{1.0f, 1.0f}));
  ASSERT_EQ(write_chunk(1000), 1); // 102
  EXPECT_EQ(scores()[1], 1.0f);
  ASSERT_EQ(write_chunk(140), 1); // 16: just below one
  EXPECT_LT(scores()[1], 1.0f);
}

TEST_F(Scoring, OutputsWithNothingToReadFailTheChunk) {
  load("wake_mean_1");
  add("wake_empty", 1);
  EXPECT_EQ(write_chunk(-11), -1);
  EXPECT_STREQ(kalwake_last_error(), "wake output empty");
  EXPECT_FLOAT_EQ(scores()[0], 0.9f); // slot 0 was scored before slot 1 failed
  load("wake_int");
  EXPECT_EQ(write_chunk(-11), -1);
  EXPECT_STREQ(kalwake_last_error(), "wake output not float");
}

TEST_F(Scoring, AFailureAtSlot1Of3LeavesSlot0ScoredAndTheOthersAsTheyWere) {
  load("wake_mean_1");
  add("wake_mean_1", 1);
  add("wake_mean_1", 2);
  for (int i = 0; i < 5; ++i) {
    ASSERT_EQ(write_chunk(-17), 1);
  }
  // Runs of the next chunk: mel, embedding, slot 0, slot 1 (fails).
  shim::fail(shim::Run, 4, "slot one");
  EXPECT_EQ(write_chunk(-11), -1);
  EXPECT_STREQ(kalwake_last_error(), "wake Run: slot one");
  const std::vector<float> got = scores();
  EXPECT_FLOAT_EQ(got[0], 0.9f);
  EXPECT_FLOAT_EQ(got[1], 0.3f);
  EXPECT_FLOAT_EQ(got[2], 0.3f);
  // Slot 0's sixth prediction fired and its latch was updated before slot 1 ran.
  EXPECT_EQ(harness::collect(), std::vector<int32_t>{0});
}

TEST_F(Scoring, AModelAddedMidStreamIsScoredFromTheNextChunkAfterLowerSlots) {
  load("wake_mean_1");
  ASSERT_EQ(write_chunk(-12), 1);
  add("wake_mean_3", 1);
  EXPECT_EQ(harness::wake_inputs().size(), 1u);
  ASSERT_EQ(write_chunk(-14), 1);
  const auto fed = harness::wake_inputs();
  ASSERT_EQ(fed.size(), 3u);
  EXPECT_EQ(fed[1].shape[1], 1); // slot 0 first
  EXPECT_EQ(fed[2].shape[1], 3);
  EXPECT_NEAR(scores()[1], (2 * newest(-12) + newest(-14)) / 3.0f, 1e-6);
}

} // namespace
