// Chunking and the write entry: how written samples become chunks and sample windows, and
// what a failing chunk leaves behind.
#include <algorithm>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "harness.h"

using harness::LibraryTest;
using harness::mel_inputs;
using harness::model;
using harness::probe_frontend;

namespace {

const char *const kNotLoaded = "not loaded \xE2\x80\x94 call kalwake_load first";

// A stream whose every sample tells its position: sample i is (i mod 20000) - 10000.
std::vector<int16_t> ramp(size_t n, size_t start = 0) {
  std::vector<int16_t> out(n);
  for (size_t i = 0; i < n; ++i) {
    out[i] = static_cast<int16_t>(static_cast<int>((start + i) % 20000) - 10000);
  }
  return out;
}

std::vector<float> as_floats(const std::vector<int16_t> &pcm, size_t from, size_t to) {
  return std::vector<float>(pcm.begin() + static_cast<long>(from),
                            pcm.begin() + static_cast<long>(to));
}

class Chunking : public LibraryTest {
protected:
  void SetUp() override {
    LibraryTest::SetUp();
    ASSERT_EQ(kalwake_load(probe_frontend().dir().c_str(), model("wake_mean_1").c_str(), 0.5f), 0);
    shim::reset();
  }
};

TEST(WriteArguments, AreCheckedBeforeTheLoadedState) {
  const int16_t pcm[4] = {0, 0, 0, 0};
  EXPECT_EQ(kalwake_write(nullptr, 4), -1);
  EXPECT_STREQ(kalwake_last_error(), "pcm is NULL or n_samples <= 0");
  EXPECT_EQ(kalwake_write(pcm, 0), -1);
  EXPECT_STREQ(kalwake_last_error(), "pcm is NULL or n_samples <= 0");
  EXPECT_EQ(kalwake_write(pcm, -5), -1);
  EXPECT_STREQ(kalwake_last_error(), "pcm is NULL or n_samples <= 0");
  EXPECT_EQ(kalwake_write(pcm, 4), -1);
  EXPECT_STREQ(kalwake_last_error(), kNotLoaded);
}

TEST_F(Chunking, ChunksCompleteEvery1280SamplesAcrossCalls) {
  EXPECT_EQ(harness::write_const(0, 1279), 0);
  EXPECT_EQ(harness::write_const(0, 1), 1);
  EXPECT_EQ(harness::write_const(0, 1280 * 5), 5);
  EXPECT_EQ(harness::write_const(0, 1279), 0); // nothing was left pending
  EXPECT_EQ(harness::write_const(0, 1), 1);
  EXPECT_EQ(harness::write_const(0, 3000), 2);
  EXPECT_EQ(harness::write_const(0, 839), 0); // 440 pending + 839 = 1279
  EXPECT_EQ(harness::write_const(0, 1), 1);
  EXPECT_STREQ(kalwake_last_error(), "no error"); // successes write no message
}

TEST_F(Chunking, FirstWindowHasNoHistoryThenEachTakesTheLast480Samples) {
  const std::vector<int16_t> pcm = ramp(1280 * 3);
  ASSERT_EQ(kalwake_write(pcm.data(), static_cast<int>(pcm.size())), 3);
  const auto windows = mel_inputs();
  ASSERT_EQ(windows.size(), 3u);
  EXPECT_EQ(windows[0].shape, (std::vector<int64_t>{1, 1280}));
  EXPECT_EQ(windows[0].data, as_floats(pcm, 0, 1280));
  EXPECT_EQ(windows[1].shape, (std::vector<int64_t>{1, 1760}));
  EXPECT_EQ(windows[1].data, as_floats(pcm, 800, 2560));
  EXPECT_EQ(windows[2].data, as_floats(pcm, 2080, 3840));
}

TEST_F(Chunking, BlocksOfAnySizeGiveTheSameWindowsAsOneCall) {
  const std::vector<int16_t> pcm = ramp(1280 * 12 + 77);
  std::mt19937 rng(7);
  std::uniform_int_distribution<int> size(1, 3000);
  size_t at = 0;
  int chunks = 0;
  while (at < pcm.size()) {
    const int n = std::min<int>(size(rng), static_cast<int>(pcm.size() - at));
    const int rc = kalwake_write(pcm.data() + at, n);
    ASSERT_GE(rc, 0) << kalwake_last_error();
    chunks += rc;
    at += static_cast<size_t>(n);
  }
  EXPECT_EQ(chunks, 12);
  const auto windows = mel_inputs();
  ASSERT_EQ(windows.size(), 12u);
  EXPECT_EQ(windows[0].data, as_floats(pcm, 0, 1280));
  for (size_t k = 1; k < 12; ++k) {
    EXPECT_EQ(windows[k].data, as_floats(pcm, 1280 * k - 480, 1280 * (k + 1))) << k;
  }
}

TEST_F(Chunking, ExtremeSamplesArriveByValue) {
  std::vector<int16_t> pcm(1280, 0);
  pcm[0] = -32768;
  pcm[1] = 32767;
  pcm[1279] = -1;
  ASSERT_EQ(kalwake_write(pcm.data(), 1280), 1);
  const auto w = mel_inputs().at(0).data;
  EXPECT_EQ(w[0], -32768.0f);
  EXPECT_EQ(w[1], 32767.0f);
  EXPECT_EQ(w[1279], -1.0f);
}

TEST_F(Chunking, ResetDropsPendingSamplesAndHistory) {
  const std::vector<int16_t> pcm = ramp(1280 * 2 + 700);
  ASSERT_EQ(kalwake_write(pcm.data(), static_cast<int>(pcm.size())), 2);
  kalwake_reset();
  const std::vector<int16_t> next = ramp(1280, 5000);
  EXPECT_EQ(kalwake_write(next.data(), 1279), 0); // the 700 pending samples are gone
  EXPECT_EQ(kalwake_write(next.data() + 1279, 1), 1);
  const auto windows = mel_inputs();
  ASSERT_EQ(windows.size(), 3u);
  EXPECT_EQ(windows[2].data, as_floats(next, 0, 1280));
}

// Runs of the runtime per chunk with one wake model: mel, embedding, wake.
constexpr int kRunsPerChunk = 3;

TEST_F(Chunking, AFailingChunkEndsTheCallButEarlierChunksKeepTheirEffects) {
  for (int i = 0; i < 5; ++i) { // warm-up
    ASSERT_EQ(harness::write_chunk(-11), 1);
  }
  // The third chunk of the next call fails at its mel run; the first fires.
  shim::fail(shim::Run, 2 * kRunsPerChunk + 1, "boom");
  std::vector<int16_t> pcm(1280 * 3 + 100, -11);
  std::fill(pcm.begin() + 1280, pcm.end(), -13);
  EXPECT_EQ(kalwake_write(pcm.data(), static_cast<int>(pcm.size())), -1);
  EXPECT_STREQ(kalwake_last_error(), "mel Run: boom");
  int32_t index = -1;
  float score = 0.0f;
  EXPECT_EQ(kalwake_triggered(&index, &score), 1);
  EXPECT_EQ(index, 0);
  EXPECT_FLOAT_EQ(score, 0.7f); // the second chunk's score
}

TEST_F(Chunking, TheRetryTakesOneMoreSampleAndDropsTheOldestHistorySample) {
  const std::vector<int16_t> pcm = ramp(1280 * 4);
  ASSERT_EQ(kalwake_write(pcm.data(), 1280), 1);
  shim::fail(shim::Run, 1, "once");
  // The failing chunk keeps its 1280th sample pending and loses the 300 after it.
  EXPECT_EQ(kalwake_write(pcm.data() + 1280, 1280 + 300), -1);
  EXPECT_EQ(kalwake_write(pcm.data() + 2860, 1), 1);
  auto windows = mel_inputs();
  ASSERT_EQ(windows.size(), 3u);
  std::vector<float> expected = as_floats(pcm, 801, 1280); // 479 history samples
  const std::vector<float> pending = as_floats(pcm, 1280, 2560);
  expected.insert(expected.end(), pending.begin(), pending.end());
  expected.push_back(static_cast<float>(pcm[2860]));
  EXPECT_EQ(windows[2].shape, (std::vector<int64_t>{1, 1760}));
  EXPECT_EQ(windows[2].data, expected);
  // Nothing is left pending after the retry; the next window's history is the last 480
  // pending samples of the retried chunk.
  EXPECT_EQ(kalwake_write(pcm.data(), 1279), 0);
  EXPECT_EQ(kalwake_write(pcm.data() + 1279, 1), 1);
  windows = mel_inputs();
  ASSERT_EQ(windows.size(), 4u);
  std::vector<float> history(expected.end() - 480, expected.end());
  EXPECT_TRUE(std::equal(history.begin(), history.end(), windows[3].data.begin()));
}

TEST_F(Chunking, ARetryOfTheFirstChunkAfterAResetHasNoHistory) {
  shim::fail(shim::Run, 1, "once");
  const std::vector<int16_t> pcm = ramp(1281);
  EXPECT_EQ(kalwake_write(pcm.data(), 1280), -1);
  EXPECT_EQ(kalwake_write(pcm.data() + 1280, 1), 1);
  const auto windows = mel_inputs();
  ASSERT_EQ(windows.size(), 2u);
  EXPECT_EQ(windows[1].shape, (std::vector<int64_t>{1, 1281}));
  EXPECT_EQ(windows[1].data, as_floats(pcm, 0, 1281));
}

TEST_F(Chunking, AFullPendingBufferRefusesWritesUntilAReset) {
  shim::fail(shim::Run, 1, "stuck", /*sticky=*/true);
  EXPECT_EQ(harness::write_chunk(1), -1);
  for (int i = 0; i < 1280; ++i) { // each retry adds one pending sample
    ASSERT_EQ(harness::write_const(1, 1), -1);
    ASSERT_STREQ(kalwake_last_error(), "mel Run: stuck");
  }
  const int runs = shim::calls(shim::Run);
  EXPECT_EQ(harness::write_const(1, 5), -1);
  EXPECT_STREQ(kalwake_last_error(), "pending buffer full \xE2\x80\x94 call kalwake_reset");
  EXPECT_EQ(shim::calls(shim::Run), runs); // refused without running anything
  shim::reset();
  kalwake_reset();
  EXPECT_EQ(harness::write_chunk(1), 1);
}

} // namespace
