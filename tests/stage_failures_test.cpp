// Every runtime call a chunk makes, failing in turn: the write reports the stage's label with
// the runtime's message, releases everything it held (checked by the base fixture), and the
// next write retries the chunk.
#include <string>

#include "harness.h"

using harness::LibraryTest;
using harness::model;
using harness::probe_frontend;

namespace {

struct Failure {
  shim::Fn fn;
  int nth; // which call of fn within the chunk: 1 mel, 2 embedding, 3 wake
  const char *label;
};

void PrintTo(const Failure &f, std::ostream *os) {
  *os << f.label;
}

class StageFailures : public LibraryTest, public ::testing::WithParamInterface<Failure> {};

TEST_P(StageFailures, ReportTheLabelAndRetryCleanly) {
  const Failure &f = GetParam();
  ASSERT_EQ(kalwake_load(probe_frontend().dir().c_str(), model("wake_mean_1").c_str(), 0.5f), 0);
  ASSERT_EQ(harness::write_chunk(-12), 1);
  shim::fail(f.fn, f.nth, "it broke");
  EXPECT_EQ(harness::write_chunk(-11), -1);
  EXPECT_EQ(std::string(kalwake_last_error()), std::string(f.label) + ": it broke");
  EXPECT_FLOAT_EQ(harness::scores()[0], 0.8f); // the failed chunk scored nothing
  EXPECT_EQ(harness::write_const(-11, 1), 1) << kalwake_last_error();
  EXPECT_FLOAT_EQ(harness::scores()[0], 0.9f);
}

INSTANTIATE_TEST_SUITE_P(
    EachCall, StageFailures,
    ::testing::Values(Failure{shim::CreateTensorWithDataAsOrtValue, 1, "mel CreateTensorWithData"},
                      Failure{shim::Run, 1, "mel Run"},
                      Failure{shim::GetTensorMutableData, 1, "mel GetTensorMutableData"},
                      Failure{shim::GetTensorTypeAndShape, 1, "mel shape"},
                      Failure{shim::CreateTensorWithDataAsOrtValue, 2, "emb CreateTensorWithData"},
                      Failure{shim::Run, 2, "emb Run"},
                      Failure{shim::GetTensorMutableData, 2, "emb GetTensorMutableData"},
                      Failure{shim::GetTensorTypeAndShape, 2, "emb shape"},
                      Failure{shim::CreateTensorWithDataAsOrtValue, 3, "wake CreateTensorWithData"},
                      Failure{shim::SessionGetInputName, 1, "wake SessionGetInputName"},
                      Failure{shim::SessionGetOutputName, 1, "wake SessionGetOutputName"},
                      Failure{shim::Run, 3, "wake Run"},
                      Failure{shim::GetTensorMutableData, 3, "wake GetTensorMutableData"},
                      Failure{shim::GetTensorTypeAndShape, 3, "wake shape"}),
    [](const ::testing::TestParamInfo<Failure> &info) {
      std::string name = info.param.label;
      for (char &c : name) {
        if (c == ' ') {
          c = '_';
        }
      }
      return name;
    });

class QueryFailures : public LibraryTest {};

TEST_F(QueryFailures, UnreadableTypeOrCountOfAnOutputIsNotTrusted) {
  ASSERT_EQ(kalwake_load(probe_frontend().dir().c_str(), model("wake_mean_1").c_str(), 0.5f), 0);
  shim::fail(shim::GetTensorElementType, 1);
  EXPECT_EQ(harness::write_chunk(0), -1);
  EXPECT_STREQ(kalwake_last_error(), "melspec output not float");
  shim::fail(shim::GetTensorShapeElementCount, 2);
  EXPECT_EQ(harness::write_const(0, 1), -1);
  EXPECT_STREQ(kalwake_last_error(), "embedding output too short (0 values, need 96)");
  shim::fail(shim::GetTensorShapeElementCount, 3);
  EXPECT_EQ(harness::write_const(0, 1), -1);
  EXPECT_STREQ(kalwake_last_error(), "wake output empty");
  EXPECT_EQ(harness::write_const(0, 1), 1);
}

TEST_F(QueryFailures, AFailingNameFreeDoesNotStopTheChunk) {
  ASSERT_EQ(kalwake_load(probe_frontend().dir().c_str(), model("wake_mean_1").c_str(), 0.5f), 0);
  shim::fail(shim::AllocatorFree, 1, "cannot free");
  EXPECT_EQ(harness::write_chunk(-11), 1);
  EXPECT_STREQ(kalwake_last_error(), "no error");
  EXPECT_EQ(shim::live().statuses, 0);
}

} // namespace
