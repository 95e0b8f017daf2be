// The trigger latch and the detection queries, driven through the public interface: with the
// probe front end and wake_mean_1, a chunk of constant value s scores s / 10 + 2.
#include <cmath>
#include <string>
#include <vector>

#include "harness.h"

using harness::collect;
using harness::LibraryTest;
using harness::model;
using harness::probe_frontend;
using harness::scores;
using harness::write_chunk;

namespace {

constexpr int16_t k09 = -11; // scores 0.9
constexpr int16_t k07 = -13;
constexpr int16_t k06 = -14;
constexpr int16_t k05 = -15; // exactly 0.5
constexpr int16_t k03 = -17;

class Latch : public LibraryTest {
protected:
  void SetUp() override {
    LibraryTest::SetUp();
    ASSERT_EQ(kalwake_load(probe_frontend().dir().c_str(), model("wake_mean_1").c_str(), 0.5f), 0);
  }
  // Returns kalwake_triggered's result, index and score as one value for comparisons.
  static std::string poll() {
    int32_t index = 99;
    float score = 99.0f;
    const int rc = kalwake_triggered(&index, &score);
    char text[64];
    std::snprintf(text, sizeof text, "%d %d %.6f", rc, static_cast<int>(index), score);
    return text;
  }
};

TEST_F(Latch, FollowsTheWorkedSequence) {
  for (int p = 1; p <= 5; ++p) { // warm-up: no detection whatever the score
    ASSERT_EQ(write_chunk(k09), 1);
    ASSERT_EQ(poll(), "0 -1 0.000000") << p;
  }
  ASSERT_EQ(write_chunk(k09), 1); // 6: fires
  EXPECT_EQ(poll(), "1 0 0.900000");
  ASSERT_EQ(write_chunk(k09), 1); // 7: cooling
  EXPECT_EQ(poll(), "0 -1 0.000000");
  for (int p = 8; p <= 13; ++p) {
    ASSERT_EQ(write_chunk(k09), 1);
  }
  EXPECT_EQ(poll(), "0 -1 0.000000");
  ASSERT_EQ(write_chunk(k03), 1);    // 14: ready, below the threshold
  ASSERT_EQ(write_chunk(k05), 1);    // 15: equal counts
  ASSERT_EQ(write_chunk(k06), 1);    // 16: cooling; the latched detection waits
  EXPECT_EQ(poll(), "1 0 0.600000"); // with the latest score
  EXPECT_EQ(poll(), "0 -1 0.000000");
}

TEST_F(Latch, ASteadyHighScoreFiresEveryEighthPrediction) {
  std::vector<int> fired;
  for (int p = 1; p <= 30; ++p) {
    ASSERT_EQ(write_chunk(k09), 1);
    if (!collect().empty()) {
      fired.push_back(p);
    }
  }
  EXPECT_EQ(fired, (std::vector<int>{6, 14, 22, 30}));
}

TEST_F(Latch, DetectionsBetweenTwoPollsAreReportedOnce) {
  for (int p = 1; p <= 22; ++p) { // fires at 6, 14 and 22
    ASSERT_EQ(write_chunk(k09), 1);
  }
  EXPECT_EQ(collect(), std::vector<int32_t>{0});
}

TEST_F(Latch, TheScoreHandedOverIsTheLatestNotTheOneThatFired) {
  for (int p = 1; p <= 5; ++p) {
    ASSERT_EQ(write_chunk(k03), 1);
  }
  std::vector<int16_t> pcm(3 * 1280, k09);
  std::fill(pcm.begin() + 1280, pcm.begin() + 2560, k07);
  std::fill(pcm.begin() + 2560, pcm.end(), k06);
  ASSERT_EQ(kalwake_write(pcm.data(), 3 * 1280), 3);
  EXPECT_EQ(poll(), "1 0 0.600000");
}

TEST_F(Latch, NaNNeverFiresAndReadsAsNaN) {
  ASSERT_EQ(kalwake_load(probe_frontend().dir().c_str(), model("wake_const_nan").c_str(), 0.5f), 0);
  for (int p = 1; p <= 20; ++p) {
    ASSERT_EQ(write_chunk(0), 1);
  }
  EXPECT_EQ(collect(), std::vector<int32_t>{});
  EXPECT_TRUE(std::isnan(scores()[0]));
}

TEST_F(Latch, LatchedSlotsAreCollectedLowestFirstOneAtATime) {
  ASSERT_EQ(kalwake_load_model(model("wake_mean_1").c_str()), 1);
  ASSERT_EQ(kalwake_load_model(model("wake_mean_1").c_str()), 2);
  for (int p = 1; p <= 6; ++p) {
    ASSERT_EQ(write_chunk(k09), 1);
  }
  EXPECT_EQ(poll(), "1 0 0.900000");
  EXPECT_EQ(poll(), "1 1 0.900000");
  // Both pointers may be null: the detection is still handed over and cleared.
  EXPECT_EQ(kalwake_triggered(nullptr, nullptr), 1);
  EXPECT_EQ(poll(), "0 -1 0.000000");
  EXPECT_STREQ(kalwake_last_error(), "no error"); // polling a loaded library writes nothing
}

TEST_F(Latch, AnAddedSlotRunsItsOwnWarmUpWhileOthersGoOn) {
  for (int p = 1; p <= 6; ++p) {
    ASSERT_EQ(write_chunk(k09), 1);
  }
  EXPECT_EQ(collect(), std::vector<int32_t>{0});
  ASSERT_EQ(kalwake_load_model(model("wake_mean_1").c_str()), 1);
  std::vector<std::vector<int32_t>> seen;
  for (int p = 7; p <= 14; ++p) {
    ASSERT_EQ(write_chunk(k09), 1);
    seen.push_back(collect());
  }
  // Slot 1 fires on its own sixth prediction (chunk 12); slot 0 after its cooldown (14).
  const std::vector<std::vector<int32_t>> expected = {{}, {}, {}, {}, {}, {1}, {}, {0}};
  EXPECT_EQ(seen, expected);
}

TEST_F(Latch, AResetDropsUncollectedDetectionsAndStartsANewWarmUp) {
  for (int p = 1; p <= 7; ++p) { // fired at 6, cooling at 7, not collected
    ASSERT_EQ(write_chunk(k09), 1);
  }
  kalwake_reset();
  EXPECT_EQ(scores(), std::vector<float>{0.0f});
  EXPECT_EQ(poll(), "0 -1 0.000000");
  for (int p = 1; p <= 5; ++p) {
    ASSERT_EQ(write_chunk(k09), 1);
    ASSERT_EQ(collect(), std::vector<int32_t>{}) << p;
  }
  ASSERT_EQ(write_chunk(k09), 1); // no cooldown carried over the reset
  EXPECT_EQ(collect(), std::vector<int32_t>{0});
}

TEST_F(Latch, ScoresFillsUpToNAndZeroesTheRest) {
  ASSERT_EQ(kalwake_load_model(model("wake_mean_3").c_str()), 1);
  EXPECT_EQ(scores(), (std::vector<float>{0.0f, 0.0f})); // right after a load
  ASSERT_EQ(write_chunk(k07), 1);
  float four[4] = {9, 9, 9, 9};
  ASSERT_EQ(kalwake_scores(four, 4), 0);
  EXPECT_FLOAT_EQ(four[0], 0.7f);
  EXPECT_FLOAT_EQ(four[1], 0.7f);
  EXPECT_EQ(four[2], 0.0f);
  EXPECT_EQ(four[3], 0.0f);
  float one[2] = {9, 9};
  ASSERT_EQ(kalwake_scores(one, 1), 0);
  EXPECT_FLOAT_EQ(one[0], 0.7f);
  EXPECT_EQ(one[1], 9.0f); // nothing beyond n is written
}

TEST(QueriesNotLoaded, ReportNotLoadedAfterTheArgumentTest) {
  float s[2] = {5, 5};
  EXPECT_EQ(kalwake_scores(nullptr, 2), -1);
  EXPECT_STREQ(kalwake_last_error(), "scores is NULL or n <= 0");
  EXPECT_EQ(kalwake_scores(s, 0), -1);
  EXPECT_STREQ(kalwake_last_error(), "scores is NULL or n <= 0");
  EXPECT_EQ(kalwake_scores(s, 2), -1);
  EXPECT_STREQ(kalwake_last_error(), "not loaded");
  EXPECT_EQ(s[0], 5.0f);
  int32_t index = 3;
  float score = 3.0f;
  kalwake_unload();
  EXPECT_EQ(kalwake_triggered(&index, &score), 0);
  EXPECT_EQ(index, -1);
  EXPECT_EQ(score, 0.0f);
  EXPECT_STREQ(kalwake_last_error(), "not loaded");
  EXPECT_EQ(kalwake_triggered(nullptr, nullptr), 0);
}

} // namespace
