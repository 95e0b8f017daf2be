// White-box checks of the detector record and the binding helpers, through the static build.
#include <chrono>
#include <mutex>
#include <string>
#include <thread>

#include "core/ort_binding.h"
#include "core/state.h"
#include "harness.h"

using harness::LibraryTest;
using harness::model;
using harness::probe_frontend;
using kalwake::g;

namespace {

class Internals : public LibraryTest {};

#ifdef _WIN32
TEST(JoinPath, AddsOneSeparatorUnlessTheFolderEndsInOneAndWritesBackslashes) {
  char out[kalwake::kPathCapacity];
  kalwake::join_path(out, "models", "melspectrogram.onnx");
  EXPECT_STREQ(out, "models\\melspectrogram.onnx");
  kalwake::join_path(out, "models/", "melspectrogram.onnx");
  EXPECT_STREQ(out, "models\\melspectrogram.onnx");
  kalwake::join_path(out, "a/b", "melspectrogram.onnx");
  EXPECT_STREQ(out, "a\\b\\melspectrogram.onnx");
  // Only '/' counts as a separator at the end of the folder: a backslash is doubled.
  kalwake::join_path(out, "a\\", "x");
  EXPECT_STREQ(out, "a\\\\x");
  kalwake::join_path(out, "C:/models//en", "x");
  EXPECT_STREQ(out, "C:\\models\\\\en\\x");
}
#else
TEST(JoinPath, AddsOneSeparatorUnlessTheFolderEndsInOne) {
  char out[kalwake::kPathCapacity];
  kalwake::join_path(out, "models", "melspectrogram.onnx");
  EXPECT_STREQ(out, "models/melspectrogram.onnx");
  kalwake::join_path(out, "models/", "melspectrogram.onnx");
  EXPECT_STREQ(out, "models/melspectrogram.onnx");
  kalwake::join_path(out, "a/b", "melspectrogram.onnx");
  EXPECT_STREQ(out, "a/b/melspectrogram.onnx");
  // Only '/' counts as a separator at the end of the folder.
  kalwake::join_path(out, "a\\", "x");
  EXPECT_STREQ(out, "a\\/x");
}
#endif

TEST(JoinPath, CutsTheResultAt1023Bytes) {
  char out[kalwake::kPathCapacity];
  const std::string folder(1010, 'f');
  kalwake::join_path(out, folder.c_str(), "embedding_model.onnx");
  const std::string expected =
      harness::frontend_file(folder, "embedding_model.onnx").substr(0, 1023);
  EXPECT_EQ(std::string(out), expected);
}

TEST(ErrorText, KeepsAtMost1023Bytes) {
  const std::string long_text(5000, 'x');
  kalwake::set_err("%s", long_text.c_str());
  EXPECT_EQ(std::string(kalwake_last_error()), long_text.substr(0, 1023));
  kalwake::set_err("short %d", 7);
  EXPECT_STREQ(kalwake_last_error(), "short 7");
}

TEST(ErrorText, RuntimeFailureWithoutAnApiTableReadsQuestionMark) {
  shim::answer_api_versions_up_to(0);
  // The status is never touched when there is no table to read it with.
  kalwake::ort_fail("mel Run", reinterpret_cast<OrtStatus *>(0x1));
  EXPECT_STREQ(kalwake_last_error(), "mel Run: ?");
}

struct FramesCase {
  const char *stem;
  int64_t frames;
};

void PrintTo(const FramesCase &c, std::ostream *os) {
  *os << c.stem;
}

class WakeInputFrames : public LibraryTest, public ::testing::WithParamInterface<FramesCase> {};

TEST_P(WakeInputFrames, ReadFromTheFirstInputsSecondDimension) {
  const FramesCase &c = GetParam();
  ASSERT_EQ(kalwake_load(probe_frontend().dir().c_str(), model("wake_mean_1").c_str(), 0.5f), 0);
  ASSERT_EQ(kalwake_load_model(model(c.stem).c_str()), 1) << kalwake_last_error();
  EXPECT_EQ(g.models[1].frames, c.frames);
}

INSTANTIATE_TEST_SUITE_P(
    DeclaredShapes, WakeInputFrames,
    ::testing::Values(FramesCase{"wake_mean_16", 16}, FramesCase{"wake_mean_3", 3},
                      FramesCase{"wake_mean_1", 1}, FramesCase{"wake_mean_28", 28},
                      FramesCase{"wake_mean_sym", 16}, FramesCase{"wake_dim0", 16},
                      FramesCase{"wake_rank2", 16}, FramesCase{"wake_rank4", 16},
                      FramesCase{"wake_sequence", 16}, FramesCase{"wake_no_input", 16}),
    [](const ::testing::TestParamInfo<FramesCase> &info) { return std::string(info.param.stem); });

TEST_F(Internals, FrameProbeFailuresGiveSixteenAndReleaseWhatTheyGot) {
  ASSERT_EQ(kalwake_load(probe_frontend().dir().c_str(), model("wake_mean_3").c_str(), 0.5f), 0);
  EXPECT_EQ(g.models[0].frames, 3);
  shim::fail(shim::SessionGetInputTypeInfo);
  ASSERT_EQ(kalwake_load_model(model("wake_mean_3").c_str()), 1);
  EXPECT_EQ(g.models[1].frames, 16);
  shim::fail(shim::CastTypeInfoToTensorInfo);
  ASSERT_EQ(kalwake_load_model(model("wake_mean_3").c_str()), 2);
  EXPECT_EQ(g.models[2].frames, 16);
  shim::fail(shim::GetDimensionsCount);
  ASSERT_EQ(kalwake_load_model(model("wake_mean_3").c_str()), 3);
  EXPECT_EQ(g.models[3].frames, 16);
  shim::fail(shim::GetDimensions);
  ASSERT_EQ(kalwake_load_model(model("wake_mean_3").c_str()), 4);
  EXPECT_EQ(g.models[4].frames, 16);
  // None of these failures is a message.
  EXPECT_STREQ(kalwake_last_error(), "no error");
}

TEST_F(Internals, ResetReturnsTheStreamToItsStartAndKeepsTheModels) {
  ASSERT_EQ(kalwake_load(probe_frontend().dir().c_str(), model("wake_mean_3").c_str(), 0.3f), 0);
  ASSERT_EQ(kalwake_load_model(model("wake_mean_1").c_str()), 1);
  ASSERT_EQ(kalwake_load_model(model("wake_mean_16").c_str()), 2);
  for (int i = 0; i < 8; ++i) {
    ASSERT_EQ(harness::write_chunk(-11), 1);
  }
  ASSERT_EQ(harness::write_const(5, 300), 0);
  ASSERT_EQ(kalwake_load_model("/no/such.onnx"), -1);
  const std::string err = kalwake_last_error();
  g.models[5].score = 42.0f; // a slot beyond n_models: a reset must not touch it
  OrtSession *sessions[3] = {g.models[0].sess, g.models[1].sess, g.models[2].sess};

  kalwake_reset();
  EXPECT_EQ(g.audio_hist_len, 0);
  EXPECT_EQ(g.pcm_len, 0);
  EXPECT_EQ(g.emb_len, 0);
  EXPECT_EQ(g.mel_len, 76);
  for (const auto &frame : g.mel_buf) {
    for (float v : frame) {
      ASSERT_EQ(v, 1.0f);
    }
  }
  for (int16_t s : g.audio_hist) {
    ASSERT_EQ(s, 0);
  }
  const int64_t frames[3] = {3, 1, 16};
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    const kalwake::wake_model &m = g.models[i];
    EXPECT_EQ(m.score, 0.0f);
    EXPECT_EQ(m.triggered, 0);
    EXPECT_EQ(m.armed, 0);
    EXPECT_EQ(m.n_pred, 0);
    EXPECT_EQ(m.cooldown, 0);
    EXPECT_EQ(m.threshold, 0.3f);
    EXPECT_EQ(m.frames, frames[i]);
    EXPECT_EQ(m.sess, sessions[i]);
  }
  EXPECT_EQ(g.models[5].score, 42.0f);
  EXPECT_EQ(g.n_models, 3);
  EXPECT_EQ(g.default_threshold, 0.3f);
  EXPECT_EQ(std::string(kalwake_last_error()), err);
}

TEST_F(Internals, UnloadKeepsTheRecordButReleasesEverySession) {
  ASSERT_EQ(kalwake_load(probe_frontend().dir().c_str(), model("wake_mean_3").c_str(), 0.25f), 0);
  ASSERT_EQ(kalwake_load_model(model("wake_mean_1").c_str()), 1);
  kalwake_unload();
  EXPECT_EQ(g.mel_sess, nullptr);
  EXPECT_EQ(g.emb_sess, nullptr);
  for (const auto &m : g.models) {
    EXPECT_EQ(m.sess, nullptr);
  }
  EXPECT_EQ(g.n_models, 0);
  EXPECT_EQ(g.default_threshold, 0.25f);
}

// The queries test the loaded flag before they wait for the lock. An unload that holds the
// lock meanwhile must still make them answer "not loaded", not report the emptied record.
// The test holds the lock and clears the flag the way an unload does; if a query thread has
// not reached its first test within the pause, it reads the flag already cleared, which gives
// the same answer, so the test cannot fail by timing.
TEST_F(Internals, QueriesWaitingOnAnUnloadAnswerNotLoaded) {
  ASSERT_EQ(kalwake_load(probe_frontend().dir().c_str(), model("wake_mean_1").c_str(), 0.5f), 0);
  int scores_result = 0;
  float score_out = 7.0f;
  int triggered_result = 5;
  int32_t index_out = 7;
  float triggered_score = 7.0f;
  {
    std::unique_lock<std::mutex> hold(kalwake::g_lock);
    std::thread scores([&] { scores_result = kalwake_scores(&score_out, 1); });
    std::thread triggered(
        [&] { triggered_result = kalwake_triggered(&index_out, &triggered_score); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    kalwake::set_err("no error");
    kalwake::g_loaded.store(0);
    hold.unlock();
    scores.join();
    triggered.join();
  }
  EXPECT_EQ(scores_result, -1);
  EXPECT_EQ(score_out, 7.0f); // nothing written
  EXPECT_EQ(triggered_result, 0);
  EXPECT_EQ(index_out, -1);
  EXPECT_EQ(triggered_score, 0.0f);
  EXPECT_STREQ(kalwake_last_error(), "not loaded");
  kalwake::g_loaded.store(1);
  kalwake_unload(); // release the sessions the simulated unload left
}

} // namespace
