// Loading, adding, counting, resetting and unloading models through the public interface.
#include <cmath>
#include <string>

#include "harness.h"

using harness::LibraryTest;
using harness::model;
using harness::probe_frontend;

namespace {

const char *const kNotLoaded = "not loaded \xE2\x80\x94 call kalwake_load first";

int load(const std::string &wake = "wake_mean_1", float threshold = 0.5f) {
  return kalwake_load(probe_frontend().dir().c_str(), model(wake).c_str(), threshold);
}

class Lifecycle : public LibraryTest {};

TEST(FreshProcess, StartsWithNoErrorAndVersionBeforeAnyLoad) {
  EXPECT_STREQ(kalwake_last_error(), "no error");
  EXPECT_STREQ(kalwake_version(), "1.0.0");
  EXPECT_EQ(kalwake_model_count(), -1);
  kalwake_reset();
  EXPECT_STREQ(kalwake_last_error(), "no error"); // count and reset write no message
}

TEST_F(Lifecycle, ArgumentChecksComeFirstAndInOrder) {
  EXPECT_EQ(kalwake_load("", "", 0.5f), -1);
  EXPECT_STREQ(kalwake_last_error(), "frontend_dir is empty");
  EXPECT_EQ(kalwake_load(nullptr, model("wake_mean_1").c_str(), 0.5f), -1);
  EXPECT_STREQ(kalwake_last_error(), "frontend_dir is empty");
  EXPECT_EQ(kalwake_load(probe_frontend().dir().c_str(), nullptr, 0.5f), -1);
  EXPECT_STREQ(kalwake_last_error(), "model_path is empty");
  EXPECT_EQ(kalwake_load(probe_frontend().dir().c_str(), "", 0.5f), -1);
  EXPECT_STREQ(kalwake_last_error(), "model_path is empty");
  // The path is tested before the loaded state.
  EXPECT_EQ(kalwake_load_model(""), -1);
  EXPECT_STREQ(kalwake_last_error(), "model_path is empty");
  EXPECT_EQ(kalwake_load_model(nullptr), -1);
  EXPECT_STREQ(kalwake_last_error(), "model_path is empty");
  EXPECT_EQ(kalwake_load_model(model("wake_mean_1").c_str()), -1);
  EXPECT_STREQ(kalwake_last_error(), kNotLoaded);
  // Rejected arguments never reach the runtime.
  EXPECT_EQ(shim::calls(shim::CreateEnv), 0);
}

TEST_F(Lifecycle, LoadAddsUpToEightModelsInSlotOrder) {
  ASSERT_EQ(load(), 0);
  EXPECT_STREQ(kalwake_last_error(), "no error");
  EXPECT_EQ(kalwake_model_count(), 1);
  for (int i = 1; i < 8; ++i) {
    EXPECT_EQ(kalwake_load_model(model("wake_mean_3").c_str()), i);
  }
  EXPECT_EQ(kalwake_model_count(), 8);
  EXPECT_EQ(kalwake_load_model(model("wake_mean_3").c_str()), -1);
  EXPECT_STREQ(kalwake_last_error(), "too many wake models (max 8)");
  EXPECT_EQ(kalwake_model_count(), 8);
  // Mel, embedding and the first wake model, in that order, then the seven added.
  const auto paths = shim::session_paths();
  ASSERT_EQ(paths.size(), 10u);
  EXPECT_EQ(paths[0], harness::frontend_file(probe_frontend().dir(), "melspectrogram.onnx"));
  EXPECT_EQ(paths[1], harness::frontend_file(probe_frontend().dir(), "embedding_model.onnx"));
  EXPECT_EQ(paths[2], model("wake_mean_1"));
}

TEST_F(Lifecycle, SecondLoadReplacesTheWholeSetAndReleasesTheOldOne) {
  ASSERT_EQ(load(), 0);
  ASSERT_EQ(kalwake_load_model(model("wake_mean_3").c_str()), 1);
  ASSERT_EQ(kalwake_load_model(model("wake_mean_16").c_str()), 2);
  ASSERT_EQ(load("wake_mean_16"), 0);
  EXPECT_EQ(kalwake_model_count(), 1);
  EXPECT_EQ(shim::count("ReleaseSession"), 5); // mel, emb and three wake models
  EXPECT_EQ(shim::live().sessions, 3);
}

TEST_F(Lifecycle, UnloadReleasesEverythingAndAlwaysWritesNoError) {
  kalwake_unload();
  EXPECT_STREQ(kalwake_last_error(), "no error");
  ASSERT_EQ(load(), 0);
  ASSERT_EQ(kalwake_load_model("/no/such/model.onnx"), -1);
  EXPECT_EQ(std::string(kalwake_last_error()).rfind("CreateSession: ", 0), 0u);
  kalwake_unload();
  EXPECT_STREQ(kalwake_last_error(), "no error");
  EXPECT_EQ(shim::live().sessions, 0);
  kalwake_unload();
  EXPECT_STREQ(kalwake_last_error(), "no error");
  EXPECT_EQ(kalwake_model_count(), -1);
  EXPECT_EQ(kalwake_load_model(model("wake_mean_1").c_str()), -1);
  EXPECT_STREQ(kalwake_last_error(), kNotLoaded);
}

TEST_F(Lifecycle, ReloadAfterUnloadCreatesSessionsOnlyNotASecondEnvironment) {
  ASSERT_EQ(load(), 0);
  kalwake_unload();
  ASSERT_EQ(load(), 0);
  ASSERT_EQ(load(), 0);
  EXPECT_EQ(shim::calls(shim::CreateEnv), 1);
  EXPECT_EQ(shim::calls(shim::CreateSessionOptions), 1);
  EXPECT_EQ(shim::calls(shim::CreateCpuMemoryInfo), 1);
  EXPECT_EQ(shim::calls(shim::CreateSession), 9);
}

TEST_F(Lifecycle, ThresholdOutsideTheOpenUnitIntervalBecomesOneHalf) {
  // A model whose score is 0.4 fires only if the threshold is 0.3; one scoring 0.5 fires at
  // 0.5 but not at 0.999. The threshold settled at load applies to added slots as well.
  struct Case {
    float given;
    bool fires_at_0_4;
    bool fires_at_0_5;
  };
  const Case cases[] = {{0.3f, true, true},  {0.999f, false, false}, {0.0f, false, true},
                        {1.0f, false, true}, {-0.5f, false, true},   {1.5f, false, true},
                        {NAN, false, true}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.given);
    ASSERT_EQ(load("wake_mean_1", c.given), 0);
    ASSERT_EQ(kalwake_load_model(model("wake_mean_1").c_str()), 1);
    // Six predictions arm the slots: s = -16 gives 0.4, s = -15 gives 0.5.
    for (int i = 0; i < 6; ++i) {
      ASSERT_EQ(harness::write_chunk(-16), 1);
    }
    EXPECT_EQ(harness::collect().size(), c.fires_at_0_4 ? 2u : 0u);
    kalwake_reset();
    for (int i = 0; i < 6; ++i) {
      ASSERT_EQ(harness::write_chunk(-15), 1);
    }
    EXPECT_EQ(harness::collect().size(), c.fires_at_0_5 ? 2u : 0u);
  }
}

TEST_F(Lifecycle, FailedArgumentCheckOnReloadKeepsTheLoadedSetAndStream) {
  ASSERT_EQ(load(), 0);
  ASSERT_EQ(kalwake_load_model(model("wake_mean_1").c_str()), 1);
  ASSERT_EQ(harness::write_chunk(-12), 1);
  ASSERT_EQ(harness::write_const(-12, 100), 0);
  EXPECT_EQ(kalwake_load("", model("wake_mean_1").c_str(), 0.5f), -1);
  EXPECT_STREQ(kalwake_last_error(), "frontend_dir is empty");
  EXPECT_EQ(kalwake_model_count(), 2);
  EXPECT_FLOAT_EQ(harness::scores()[0], 0.8f);
  EXPECT_EQ(harness::write_const(-12, 1180), 1); // the 100 pending samples were kept
}

TEST_F(Lifecycle, FailedFirstLoadLeavesTheLibraryNotLoaded) {
  harness::Frontend no_embedding("mel_avg", "");
  EXPECT_EQ(kalwake_load(no_embedding.dir().c_str(), model("wake_mean_1").c_str(), 0.5f), -1);
  EXPECT_EQ(std::string(kalwake_last_error()).rfind("CreateSession: ", 0), 0u)
      << kalwake_last_error();
  EXPECT_EQ(kalwake_model_count(), -1);
  kalwake_unload(); // releases the mel session the failed load made
  EXPECT_EQ(shim::live().sessions, 0);
}

TEST_F(Lifecycle, FailedReloadLeavesTheLibraryNotLoadedAndNothingRuns) {
  ASSERT_EQ(load(), 0);
  ASSERT_EQ(harness::write_chunk(-12), 1);
  EXPECT_EQ(kalwake_load(probe_frontend().dir().c_str(), "/no/such/wake.onnx", 0.5f), -1);
  EXPECT_EQ(std::string(kalwake_last_error()).rfind("CreateSession: ", 0), 0u);
  EXPECT_EQ(kalwake_model_count(), -1);
  EXPECT_EQ(harness::write_chunk(-12), -1);
  EXPECT_STREQ(kalwake_last_error(), kNotLoaded);
  EXPECT_EQ(kalwake_load_model(model("wake_mean_1").c_str()), -1);
  EXPECT_STREQ(kalwake_last_error(), kNotLoaded);
  // The next load releases the two front-end sessions the failed one made, exactly once.
  ASSERT_EQ(load(), 0);
  kalwake_unload();
  EXPECT_EQ(shim::live().sessions, 0);
}

TEST_F(Lifecycle, FailedAddKeepsCountSlotsAndTheLastMessage) {
  ASSERT_EQ(load(), 0);
  ASSERT_EQ(kalwake_load_model(model("not_a_model").c_str()), -1);
  EXPECT_EQ(std::string(kalwake_last_error()).rfind("CreateSession: ", 0), 0u);
  EXPECT_EQ(kalwake_model_count(), 1);
  EXPECT_EQ(kalwake_load_model(model("wake_mean_1").c_str()), 1);
  // A successful add leaves the earlier failure's message in place.
  EXPECT_EQ(std::string(kalwake_last_error()).rfind("CreateSession: ", 0), 0u);
}

TEST_F(Lifecycle, AddedModelTakesPartWithoutResettingTheStream) {
  ASSERT_EQ(load(), 0);
  for (int i = 0; i < 6; ++i) {
    ASSERT_EQ(harness::write_chunk(-11), 1);
  }
  EXPECT_EQ(harness::collect(), std::vector<int32_t>{0});
  ASSERT_EQ(harness::write_const(-11, 640), 0);
  ASSERT_EQ(kalwake_load_model(model("wake_mean_1").c_str()), 1);
  EXPECT_EQ(harness::scores(), (std::vector<float>{0.9f, 0.0f}));
  ASSERT_EQ(harness::write_const(-11, 640), 1); // the pending half chunk was kept
  EXPECT_EQ(harness::scores(), (std::vector<float>{0.9f, 0.9f}));
}

TEST_F(Lifecycle, ResetWhenNotLoadedDoesNothing) {
  kalwake_reset();
  EXPECT_EQ(kalwake_model_count(), -1);
  EXPECT_STREQ(kalwake_last_error(), "no error");
}

} // namespace
