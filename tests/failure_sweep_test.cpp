// Every runtime call a chunk makes, failed in turn, with three wake models loaded: each failure
// gives its exact message, releases every value, status, name and shape record it held (the
// base fixture and the checks below), leaves the slots before the failing one with this
// chunk's score and the others as they were, and the next write retries the chunk cleanly.
#include <string>
#include <vector>

#include "harness.h"

using harness::LibraryTest;
using harness::model;
using harness::probe_frontend;

namespace {

struct Call {
  shim::Fn fn;
  const char *name;
};

const Call kChunkCalls[] = {
    {shim::CreateTensorWithDataAsOrtValue, "CreateTensorWithDataAsOrtValue"},
    {shim::Run, "Run"},
    {shim::GetTensorMutableData, "GetTensorMutableData"},
    {shim::GetTensorTypeAndShape, "GetTensorTypeAndShape"},
    {shim::GetTensorElementType, "GetTensorElementType"},
    {shim::GetTensorShapeElementCount, "GetTensorShapeElementCount"},
    {shim::GetDimensionsCount, "GetDimensionsCount"},
    {shim::GetDimensions, "GetDimensions"},
    {shim::SessionGetInputName, "SessionGetInputName"},
    {shim::SessionGetOutputName, "SessionGetOutputName"},
    {shim::AllocatorFree, "AllocatorFree"},
};

constexpr int kSlots = 3;
// Scores of chunks of -12 and -11 through the probe models: the mel value scaled as stored.
const float kOld = -12.0f / 10.0f + 2.0f;
const float kNew = -11.0f / 10.0f + 2.0f;

// Calls made once per model run, in run order: mel, embedding, then each wake slot. Gives the
// stage the nth call belongs to (0 mel, 1 embedding, 2 + slot).
int stage_of(shim::Fn fn, int nth) {
  switch (fn) {
  case shim::SessionGetInputName:
  case shim::SessionGetOutputName:
    return 2 + (nth - 1);
  case shim::AllocatorFree:
    return 2 + (nth - 1) / 2; // an input and an output name per wake run
  case shim::GetDimensionsCount:
  case shim::GetDimensions:
    return 0; // only the mel stage reads dimensions
  default:
    return nth - 1;
  }
}

// The message a failure of the nth call of fn leaves, or "" when the chunk goes on.
std::string expected_message(shim::Fn fn, int nth) {
  const int stage = stage_of(fn, nth);
  const char *label = stage == 0 ? "mel" : stage == 1 ? "emb" : "wake";
  switch (fn) {
  case shim::CreateTensorWithDataAsOrtValue:
    return std::string(label) + " CreateTensorWithData: swept";
  case shim::Run:
    return std::string(label) + " Run: swept";
  case shim::GetTensorMutableData:
    return std::string(label) + " GetTensorMutableData: swept";
  case shim::GetTensorTypeAndShape:
    return std::string(label) + " shape: swept";
  case shim::SessionGetInputName:
    return "wake SessionGetInputName: swept";
  case shim::SessionGetOutputName:
    return "wake SessionGetOutputName: swept";
  // Unreadable facts about an output are taken as the worst case, never trusted.
  case shim::GetTensorElementType:
    return stage == 0 ? "melspec output not float"
           : stage == 1 ? "embedding output not float"
                        : "wake output not float";
  case shim::GetTensorShapeElementCount:
    return stage == 0 ? "melspec output too short (0 values, need 352)"
           : stage == 1 ? "embedding output too short (0 values, need 96)"
                        : "wake output empty";
  case shim::GetDimensionsCount:
  case shim::GetDimensions:
    return "unexpected melspec shape 0x0";
  default:
    return ""; // a name that cannot be freed stops nothing
  }
}

class FailureSweep : public LibraryTest {};

TEST_F(FailureSweep, EveryRuntimeCallOfAChunkFailingInTurn) {
  ASSERT_EQ(kalwake_load(probe_frontend().dir().c_str(), model("wake_mean_1").c_str(), 0.5f), 0);
  for (int i = 1; i < kSlots; ++i) {
    ASSERT_EQ(kalwake_load_model(model("wake_mean_1").c_str()), i);
  }
  ASSERT_EQ(harness::write_chunk(-12), 1); // past the first, shorter window

  // How often one chunk calls each function.
  shim::reset();
  ASSERT_EQ(harness::write_chunk(-12), 1);
  int per_chunk[shim::kFnCount] = {};
  for (const Call &call : kChunkCalls) {
    per_chunk[call.fn] = shim::calls(call.fn);
  }
  int cases = 0;
  for (const Call &call : kChunkCalls) {
    ASSERT_GT(per_chunk[call.fn], 0) << call.name << " is not called by a chunk";
    for (int nth = 1; nth <= per_chunk[call.fn]; ++nth) {
      SCOPED_TRACE(std::string(call.name) + " call " + std::to_string(nth));
      ++cases;
      ASSERT_EQ(harness::write_chunk(-12), 1); // every slot at kOld
      shim::reset();
      shim::fail(call.fn, nth, "swept");
      const std::string expected = expected_message(call.fn, nth);
      const int r = harness::write_chunk(-11); // kNew for every slot that runs
      const shim::Live l = shim::live();
      EXPECT_EQ(l.values + l.statuses + l.names + l.type_infos + l.shape_infos, 0)
          << "values " << l.values << ", statuses " << l.statuses << ", names " << l.names
          << ", type infos " << l.type_infos << ", shape infos " << l.shape_infos;
      if (expected.empty()) {
        EXPECT_EQ(r, 1);
        EXPECT_EQ(harness::scores(), std::vector<float>(kSlots, kNew));
        continue;
      }
      EXPECT_EQ(r, -1);
      EXPECT_EQ(kalwake_last_error(), expected);
      // Slots before the failing one were scored on this chunk; the rest kept their score.
      const int failed_slot = stage_of(call.fn, nth) - 2;
      std::vector<float> want(kSlots, kOld);
      for (int i = 0; i < failed_slot; ++i) {
        want[static_cast<size_t>(i)] = kNew;
      }
      EXPECT_EQ(harness::scores(), want);
      EXPECT_EQ(harness::write_const(-11, 1), 1) << kalwake_last_error();
      EXPECT_EQ(harness::scores(), std::vector<float>(kSlots, kNew));
    }
  }
  EXPECT_EQ(cases, 5 * 6 + 2 + 2 * kSlots + 2 * kSlots);
}

} // namespace
