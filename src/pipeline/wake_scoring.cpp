// Wake-model scoring: every loaded wake model runs over a view of its newest embeddings, in
// slot order, and each slot's latch is updated before the next slot runs.
#include <cmath>

#include "core/ort_binding.h"
#include "pipeline/output_info.h"
#include "pipeline/stages.h"

namespace kalwake {

namespace {

// Bounds of a raw output taken as a probability (the floats nearest these decimals).
constexpr float kProbLow = -0.000001f;
constexpr float kProbHigh = 1.000001f;

// Embeddings fed to a model: its declared count when 1 to 16, otherwise all 16.
int frames_fed(const wake_model &m) {
  // The declared count is taken by its low 32 bits, as the model contract states; a model whose
  // real input differs from what that gives is refused by the runtime at Run.
  const auto f = static_cast<int32_t>(m.frames);
  return (f >= 1 && f <= kEmbeddingHistory) ? f : kEmbeddingHistory;
}

// The first value is read: there must be one, a float.
bool wake_output_usable(const OrtApi *api, OrtValue *output) {
  output_info info{};
  if (read_output_info(api, output, "wake shape", false, info) != 0) {
    return false;
  }
  if (info.type != ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT) {
    set_err("wake output not float");
    return false;
  }
  if (info.elements < 1) {
    set_err("wake output empty");
    return false;
  }
  return true;
}

// One prediction of one slot; the raw first output value goes to *raw.
int predict_locked(const OrtApi *api, wake_model &m, float *raw) {
  const int f = frames_fed(m);
  const int64_t in_shape[3] = {1, f, kEmbeddingSize};
  // A view of the newest f rows: the history keeps them contiguous at its end.
  float *rows = g.emb_buf[kEmbeddingHistory - f];
  OrtValue *input = nullptr;
  OrtStatus *st =
      api->CreateTensorWithDataAsOrtValue(g_mem, rows, static_cast<size_t>(f) * sizeof g.emb_buf[0],
                                          in_shape, 3, ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT, &input);
  if (st != nullptr) {
    ort_fail("wake CreateTensorWithData", st);
    return -1;
  }
  char *in_name = nullptr;
  st = api->SessionGetInputName(m.sess, 0, g_alloc, &in_name);
  if (st != nullptr) {
    ort_fail("wake SessionGetInputName", st);
    api->ReleaseValue(input);
    return -1;
  }
  char *out_name = nullptr;
  st = api->SessionGetOutputName(m.sess, 0, g_alloc, &out_name);
  if (st != nullptr) {
    ort_fail("wake SessionGetOutputName", st);
    if (OrtStatus *s = api->AllocatorFree(g_alloc, in_name)) {
      api->ReleaseStatus(s);
    }
    api->ReleaseValue(input);
    return -1;
  }
  const char *in_names[] = {in_name};
  const char *out_names[] = {out_name};
  OrtValue *output = nullptr;
  st = api->Run(m.sess, nullptr, in_names, &input, 1, out_names, 1, &output);
  if (OrtStatus *s = api->AllocatorFree(g_alloc, in_name)) {
    api->ReleaseStatus(s);
  }
  if (OrtStatus *s = api->AllocatorFree(g_alloc, out_name)) {
    api->ReleaseStatus(s);
  }
  api->ReleaseValue(input);
  if (st != nullptr) {
    ort_fail("wake Run", st);
    return -1;
  }
  void *data = nullptr;
  st = api->GetTensorMutableData(output, &data);
  if (st != nullptr) {
    ort_fail("wake GetTensorMutableData", st);
    api->ReleaseValue(output);
    return -1;
  }
  if (!wake_output_usable(api, output)) {
    api->ReleaseValue(output);
    return -1;
  }
  *raw = *static_cast<const float *>(data);
  api->ReleaseValue(output);
  return 0;
}

} // namespace

float to_probability(float x) {
  // Ordered comparisons: NaN is neither below nor above, and is kept.
  if (x < kProbLow || x > kProbHigh) {
    const float e = static_cast<float>(std::exp(static_cast<double>(-x)));
    const float denom = 1.0f + e;
    return 1.0f / denom;
  }
  return x;
}

int score_models_locked() {
  const OrtApi *api = ort_api();
  for (int j = 0; j < g.n_models; ++j) {
    wake_model &m = g.models[j];
    float raw = 0.0f;
    if (predict_locked(api, m, &raw) != 0) {
      return -1;
    }
    m.score = to_probability(raw);
    update_latch(m);
  }
  return 0;
}

} // namespace kalwake
