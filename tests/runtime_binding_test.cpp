// The binding to the runtime: which API version is asked for and used, the one-time set-up
// and its failure paths, and how runtime failures read in the last-error text.
#include <filesystem>
#include <string>
#include <vector>

#include "harness.h"

using harness::LibraryTest;
using harness::model;
using harness::probe_frontend;

namespace {

int load() {
  return kalwake_load(probe_frontend().dir().c_str(), model("wake_mean_1").c_str(), 0.5f);
}

class RuntimeBinding : public LibraryTest {};

TEST_F(RuntimeBinding, ARuntimeAnsweringTheNewestVersionIsAskedOnce) {
  ASSERT_EQ(load(), 0);
  ASSERT_EQ(load(), 0);
  kalwake_unload();
  EXPECT_EQ(shim::asked_versions(), std::vector<uint32_t>{27});
}

TEST_F(RuntimeBinding, ARuntimeAnsweringUpTo22IsUsedAt18AndNeverAsked19To26) {
  shim::answer_api_versions_up_to(22);
  ASSERT_EQ(load(), 0) << kalwake_last_error();
  EXPECT_EQ(shim::asked_versions(), (std::vector<uint32_t>{27, 18}));
  EXPECT_EQ(harness::write_chunk(0), 1);
}

TEST_F(RuntimeBinding, ARuntimeAnsweringUpTo9IsUsedAt8) {
  shim::answer_api_versions_up_to(9);
  ASSERT_EQ(load(), 0);
  EXPECT_EQ(shim::asked_versions(),
            (std::vector<uint32_t>{27, 18, 17, 16, 15, 14, 13, 12, 11, 10, 8}));
}

TEST_F(RuntimeBinding, ARuntimeAnsweringNoVersionFailsEveryLoadAndIsAskedAgain) {
  shim::answer_api_versions_up_to(0);
  const std::vector<uint32_t> all = {27, 18, 17, 16, 15, 14, 13, 12, 11, 10, 8, 7, 1};
  EXPECT_EQ(load(), -1);
  EXPECT_STREQ(kalwake_last_error(), "no compatible ONNX Runtime API");
  EXPECT_EQ(shim::asked_versions(), all);
  EXPECT_EQ(load(), -1);
  EXPECT_EQ(shim::asked_versions().size(), 2 * all.size());
  EXPECT_EQ(kalwake_model_count(), -1);
  // A runtime that starts answering is then found.
  shim::answer_api_versions_up_to(27);
  EXPECT_EQ(load(), 0);
}

TEST_F(RuntimeBinding, SetUpConfiguresOneThreadSequentialFullOptimisation) {
  ASSERT_EQ(load(), 0);
  const auto log = shim::log();
  const std::vector<std::string> setup(log.begin(), log.begin() + 8);
  EXPECT_EQ(setup,
            (std::vector<std::string>{"CreateEnv", "CreateSessionOptions", "SetIntraOpNumThreads",
                                      "SetInterOpNumThreads", "SetSessionExecutionMode",
                                      "SetSessionGraphOptimizationLevel", "CreateCpuMemoryInfo",
                                      "GetAllocatorWithDefaultOptions"}));
}

TEST_F(RuntimeBinding, RefusedSessionSettingsDoNotStopTheSetUp) {
  shim::fail(shim::SetIntraOpNumThreads);
  shim::fail(shim::SetInterOpNumThreads);
  shim::fail(shim::SetSessionExecutionMode);
  shim::fail(shim::SetSessionGraphOptimizationLevel);
  EXPECT_EQ(load(), 0);
  EXPECT_STREQ(kalwake_last_error(), "no error");
  EXPECT_EQ(shim::count("ReleaseStatus"), 4);
}

struct SetUpFailure {
  shim::Fn fn;
  const char *name;
  std::vector<std::string> releases; // in order, after the message
};

void PrintTo(const SetUpFailure &f, std::ostream *os) {
  *os << f.name;
}

class SetUpFailures : public LibraryTest, public ::testing::WithParamInterface<SetUpFailure> {};

TEST_P(SetUpFailures, ReportReleaseInOrderAndRetryFromCreateEnv) {
  const SetUpFailure &f = GetParam();
  shim::fail(f.fn, 1, "runtime says no");
  EXPECT_EQ(load(), -1);
  EXPECT_EQ(std::string(kalwake_last_error()), std::string(f.name) + ": runtime says no");
  std::vector<std::string> releases;
  for (const std::string &entry : shim::log()) {
    if (entry == "ReleaseEnv" || entry == "ReleaseSessionOptions" || entry == "ReleaseMemoryInfo") {
      releases.push_back(entry);
    }
  }
  EXPECT_EQ(releases, f.releases);
  EXPECT_EQ(kalwake_model_count(), -1);
  // The next load starts the set-up again from the environment.
  EXPECT_EQ(load(), 0) << kalwake_last_error();
  EXPECT_EQ(shim::calls(shim::CreateEnv), 2);
}

INSTANTIATE_TEST_SUITE_P(
    EachStep, SetUpFailures,
    ::testing::Values(SetUpFailure{shim::CreateEnv, "CreateEnv", {}},
                      SetUpFailure{
                          shim::CreateSessionOptions, "CreateSessionOptions", {"ReleaseEnv"}},
                      SetUpFailure{shim::CreateCpuMemoryInfo,
                                   "CreateCpuMemoryInfo",
                                   {"ReleaseSessionOptions", "ReleaseEnv"}},
                      SetUpFailure{shim::GetAllocatorWithDefaultOptions,
                                   "GetAllocatorWithDefaultOptions",
                                   {"ReleaseMemoryInfo", "ReleaseSessionOptions", "ReleaseEnv"}}),
    [](const ::testing::TestParamInfo<SetUpFailure> &info) { return info.param.name; });

TEST_F(RuntimeBinding, TheTableFoundIsKeptForTheProcess) {
  ASSERT_EQ(load(), 0);
  shim::answer_api_versions_up_to(0); // the cached table is still used: nothing is asked again
  EXPECT_EQ(load(), 0);
  EXPECT_EQ(shim::asked_versions(), std::vector<uint32_t>{27});
}

TEST_F(RuntimeBinding, AStatusWithoutMessageReadsUnknown) {
  shim::fail(shim::CreateEnv, 1, nullptr);
  EXPECT_EQ(load(), -1);
  EXPECT_STREQ(kalwake_last_error(), "CreateEnv: unknown");
  ASSERT_EQ(load(), 0);
  shim::fail(shim::Run, 1, nullptr);
  EXPECT_EQ(harness::write_chunk(0), -1);
  EXPECT_STREQ(kalwake_last_error(), "mel Run: unknown");
}

TEST_F(RuntimeBinding, SessionCreationFailureCarriesTheRuntimeMessage) {
  ASSERT_EQ(load(), 0);
  shim::fail(shim::CreateSession, 1, "file is cursed");
  EXPECT_EQ(kalwake_load_model(model("wake_mean_1").c_str()), -1);
  EXPECT_STREQ(kalwake_last_error(), "CreateSession: file is cursed");
  EXPECT_EQ(kalwake_model_count(), 1);
}

TEST_F(RuntimeBinding, FrontEndPathsAreJoinedWithOneSeparator) {
  const std::string dir = probe_frontend().dir();
  ASSERT_EQ(kalwake_load((dir + "/").c_str(), model("wake_mean_1").c_str(), 0.5f), 0);
  ASSERT_EQ(kalwake_load(dir.c_str(), model("wake_mean_1").c_str(), 0.5f), 0);
  const auto paths = shim::session_paths();
  ASSERT_EQ(paths.size(), 6u);
  const std::string mel = harness::frontend_file(dir, "melspectrogram.onnx");
  const std::string emb = harness::frontend_file(dir, "embedding_model.onnx");
  EXPECT_EQ(paths[0], mel);
  EXPECT_EQ(paths[1], emb);
  EXPECT_EQ(paths[3], mel);
  EXPECT_EQ(paths[4], emb);
}

TEST_F(RuntimeBinding, WakeModelPathsReachTheRuntimeUnchanged) {
  const std::string odd = probe_frontend().dir() + "/./../" +
                          std::filesystem::path(probe_frontend().dir()).filename().string() +
                          "//embedding_model.onnx";
  ASSERT_EQ(kalwake_load(probe_frontend().dir().c_str(), model("wake_mean_1").c_str(), 0.5f), 0);
  // Not a wake model, but the path is what matters: it is handed over as given.
  kalwake_load_model(odd.c_str());
  EXPECT_EQ(shim::session_paths().back(), odd);
}

TEST_F(RuntimeBinding, AnOverlongFolderIsCutAndReportedByTheRuntime) {
  const std::string folder(1100, 'd');
  EXPECT_EQ(kalwake_load(folder.c_str(), model("wake_mean_1").c_str(), 0.5f), -1);
  ASSERT_EQ(shim::session_paths().size(), 1u);
  EXPECT_EQ(shim::session_paths()[0], folder.substr(0, 1023));
  EXPECT_EQ(std::string(kalwake_last_error()).rfind("CreateSession: ", 0), 0u);
}

TEST_F(RuntimeBinding, AnOverlongWakePathIsRefusedAndTheMessageCut) {
  // A path of 1023 UTF-16 units fits with its NUL; 1024 do not. "é" is two UTF-8 bytes but
  // one UTF-16 unit, so the bound is not a byte count.
  std::string path = "/tmp/";
  while (path.size() < 5 + 2 * 1018) {
    path += "\xC3\xA9";
  }
  ASSERT_EQ(load(), 0);
  EXPECT_EQ(kalwake_load_model(path.c_str()), -1); // 1023 units: within the bound, no such file
  EXPECT_EQ(std::string(kalwake_last_error()).rfind("CreateSession: ", 0), 0u);
  path += "x";
  EXPECT_EQ(kalwake_load_model(path.c_str()), -1);
  const std::string expected = ("bad path encoding: " + path).substr(0, 1023);
  EXPECT_EQ(std::string(kalwake_last_error()), expected);
  EXPECT_EQ(std::string(kalwake_last_error()).size(), 1023u);
}

} // namespace
