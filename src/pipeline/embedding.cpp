// The embedding stage: the newest 76 mel frames -> embedding model -> 16-row history.
#include <cstring>

#include "core/ort_binding.h"
#include "pipeline/output_info.h"
#include "pipeline/stages.h"

namespace kalwake {

namespace {

// The first 96 values are read: the output must hold them, as floats.
bool embedding_usable(const OrtApi *api, OrtValue *output) {
  output_info info{};
  if (read_output_info(api, output, "emb shape", false, info) != 0) {
    return false;
  }
  if (info.type != ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT) {
    set_err("embedding output not float");
    return false;
  }
  if (info.elements < static_cast<size_t>(kEmbeddingSize)) {
    set_err("embedding output too short (%lld values, need %d)",
            static_cast<long long>(info.elements), kEmbeddingSize);
    return false;
  }
  return true;
}

// The first embedding after a reset fills every row, so each wake model sees a full history
// from the first chunk on; afterwards the rows shift and the newest goes last, keeping the
// newest rows one contiguous block for the wake models' views.
void push_embedding_locked(const float *e) {
  if (g.emb_len == 0) {
    for (auto &row : g.emb_buf) {
      std::memcpy(row, e, sizeof row);
    }
  } else {
    std::memmove(g.emb_buf[0], g.emb_buf[1], (kEmbeddingHistory - 1) * sizeof g.emb_buf[0]);
    std::memcpy(g.emb_buf[kEmbeddingHistory - 1], e, sizeof g.emb_buf[0]);
  }
  g.emb_len = kEmbeddingHistory;
}

} // namespace

int run_embedding_locked(float *frame_window) {
  const OrtApi *api = ort_api();
  static const int64_t in_shape[4] = {1, kMelWindowFrames, kMelBins, 1};
  OrtValue *input = nullptr;
  OrtStatus *st = api->CreateTensorWithDataAsOrtValue(
      g_mem, frame_window, kMelWindowFrames * kMelBins * sizeof(float), in_shape, 4,
      ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT, &input);
  if (st != nullptr) {
    ort_fail("emb CreateTensorWithData", st);
    return -1;
  }
  const char *in_names[] = {kEmbInputName};
  const char *out_names[] = {kEmbOutputName};
  OrtValue *output = nullptr;
  st = api->Run(g.emb_sess, nullptr, in_names, &input, 1, out_names, 1, &output);
  api->ReleaseValue(input);
  if (st != nullptr) {
    ort_fail("emb Run", st);
    return -1;
  }
  void *data = nullptr;
  st = api->GetTensorMutableData(output, &data);
  if (st != nullptr) {
    ort_fail("emb GetTensorMutableData", st);
    api->ReleaseValue(output);
    return -1;
  }
  if (!embedding_usable(api, output)) {
    api->ReleaseValue(output);
    return -1;
  }
  float embedding[kEmbeddingSize];
  std::memcpy(embedding, data, sizeof embedding);
  api->ReleaseValue(output);
  push_embedding_locked(embedding);
  return 0;
}

} // namespace kalwake
