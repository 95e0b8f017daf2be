// Model outputs of every type, shape, element count and content: a hook in the runtime shim
// swaps the value a Run returns for a tensor the fuzzer describes, may rewrite the dimensions
// the stages read, and may fail a per-chunk runtime call. Whatever comes back, a write gives a
// chunk count or -1 with a documented message, reads nothing past an output's end (ASan),
// leaves every score a probability or NaN and releases every runtime object it took.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "kalmoris_wakeword.h"
#include "ort_shim.h"

namespace {

constexpr int kModels = 2;
constexpr size_t kMaxElements = 4096; // keeps one made tensor small

// ONNX element types: float most often, then the others the stages must refuse; 0 and 99 are
// types the runtime refuses to make, which leaves the model's own output in place.
const int kTypes[] = {1, 1, 1, 1, 11, 6, 7, 2, 3, 9, 10, 16, 8, 13, 0, 99};
// Sizes the stages look for, and their neighbours.
const int64_t kDims[] = {0, 1, 2, 8, 11, 12, 31, 32, 33, 76, 95, 96, 97};

void describe(FuzzedDataProvider &in, shim::Output *out) {
  out->type = in.PickValueInArray(kTypes);
  const int rank = in.ConsumeIntegralInRange(0, 6);
  size_t elements = 1;
  for (int i = 0; i < rank; ++i) {
    int64_t d = in.ConsumeBool() ? in.PickValueInArray(kDims) : in.ConsumeIntegralInRange<int64_t>(0, 40);
    if (d > 0 && elements * static_cast<size_t>(d) > kMaxElements) {
      d = 1;
    }
    elements *= static_cast<size_t>(d > 0 ? d : 1);
    out->shape.push_back(d);
  }
  out->bytes = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, 64));
}

const shim::Fn kChunkCalls[] = {
    shim::CreateTensorWithDataAsOrtValue, shim::Run, shim::GetTensorMutableData,
    shim::GetTensorTypeAndShape, shim::GetTensorElementType, shim::GetTensorShapeElementCount,
    shim::GetDimensionsCount, shim::GetDimensions, shim::SessionGetInputName,
    shim::SessionGetOutputName, shim::AllocatorFree,
};

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  shim::keep_records(false);
  if (kalwake_load(fuzz::frontend("mel_avg", "emb_frames").c_str(),
                   fuzz::fixture("wake_mean_16").c_str(), 0.5f) != 0 ||
      kalwake_load_model(fuzz::fixture("wake_mean_3").c_str()) != 1) {
    fuzz::broken("set-up", "the probe models did not load");
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzedDataProvider in(data, size);
  shim::reset();
  kalwake_reset(); // every input starts from the same stream
  shim::on_run([&in](size_t, shim::Output *out) {
    if (in.remaining_bytes() == 0 || !in.ConsumeBool()) {
      return false;
    }
    describe(in, out);
    return true;
  });
  if (in.ConsumeIntegralInRange(0, 3) == 0) {
    // Dimensions as the stages read them, whatever the tensor holds.
    std::vector<int64_t> lies;
    const int n = in.ConsumeIntegralInRange(1, 4);
    for (int i = 0; i < n; ++i) {
      lies.push_back(in.ConsumeBool() ? in.PickValueInArray(kDims) : in.ConsumeIntegral<int64_t>());
    }
    shim::on_get_dimensions([lies](int64_t *dims, size_t count) {
      for (size_t i = 0; i < count && i < lies.size(); ++i) {
        dims[i] = lies[i];
      }
    });
  }
  if (in.ConsumeIntegralInRange(0, 3) == 0) {
    shim::fail(in.PickValueInArray(kChunkCalls), in.ConsumeIntegralInRange(1, 8), "fuzzed fault",
               in.ConsumeIntegralInRange(0, 3) == 0);
  }
  for (int chunk = 0; chunk < 4 && in.remaining_bytes() > 0; ++chunk) {
    const int n = in.ConsumeBool() ? 1280 : in.ConsumeIntegralInRange(1, 1280);
    std::vector<int16_t> pcm(static_cast<size_t>(n), in.ConsumeIntegral<int16_t>());
    const int r = kalwake_write(pcm.data(), n);
    FUZZ_EXPECT(r == -1 || r == 0 || r == 1, "chunks of one write: " + std::to_string(r));
    if (r == -1) {
      FUZZ_EXPECT(fuzz::documented_write_message(kalwake_last_error()), "a documented message");
    }
    fuzz::expect_nothing_outstanding("a write");
    fuzz::expect_sane_scores(kModels);
    int32_t index = -2;
    float score = 0.0f;
    while (kalwake_triggered(&index, &score) == 1) {
      FUZZ_EXPECT(index >= 0 && index < kModels, "detected slot in range");
    }
  }
  shim::reset(); // the hooks hold this input's data
  FUZZ_EXPECT(kalwake_model_count() == kModels, "the model set is untouched");
  return 0;
}
