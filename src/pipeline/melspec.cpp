// The mel-spectrogram stage: window -> mel model -> shape test -> scaling -> mel history.
#include <cstdlib>
#include <cstring>

#include "core/ort_binding.h"
#include "pipeline/output_info.h"
#include "pipeline/stages.h"

namespace kalwake {

namespace {

// Accepts a rank-3 [any, frames, 32] or rank-4 [any, any, frames, 32] output within the frame
// bound, of float type and with data behind every value that will be read; sets the message
// when it falls short. Other ranks leave zeros where frames and bins were not read.
bool output_usable(const output_info &info, long long max_frames, long long &frames) {
  const int f = (info.rank == 4) ? 2 : 1;
  frames = static_cast<long long>(info.dims[f]);
  const auto bins = static_cast<long long>(info.dims[f + 1]);
  if (bins != kMelBins || frames < 1 || frames > max_frames) {
    set_err("unexpected melspec shape %lldx%lld", frames, bins);
    return false;
  }
  if (info.type != ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT) {
    set_err("melspec output not float");
    return false;
  }
  // [0, 8, 32] passes the shape test but holds nothing to read.
  const long long need = frames * kMelBins;
  if (static_cast<long long>(info.elements) < need) {
    set_err("melspec output too short (%lld values, need %lld)",
            static_cast<long long>(info.elements), need);
    return false;
  }
  return true;
}

// Appends scaled frames to the history, dropping the oldest once it holds 1046.
void append_frames_locked(const float *frames, int count) {
  const int drop = g.mel_len + count - kMelHistoryFrames;
  if (drop > 0) {
    std::memmove(g.mel_buf[0], g.mel_buf[drop],
                 static_cast<size_t>(g.mel_len - drop) * sizeof g.mel_buf[0]);
    g.mel_len -= drop;
  }
  std::memcpy(g.mel_buf[g.mel_len], frames, static_cast<size_t>(count) * sizeof g.mel_buf[0]);
  g.mel_len += count;
}

} // namespace

int run_melspec_locked(float *window, int n, float *frame_window) {
  const OrtApi *api = ort_api();
  const int64_t in_shape[2] = {1, n};
  OrtValue *input = nullptr;
  OrtStatus *st =
      api->CreateTensorWithDataAsOrtValue(g_mem, window, static_cast<size_t>(n) * sizeof(float),
                                          in_shape, 2, ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT, &input);
  if (st != nullptr) {
    ort_fail("mel CreateTensorWithData", st);
    return -1;
  }
  const char *in_names[] = {kMelInputName};
  const char *out_names[] = {kMelOutputName};
  OrtValue *output = nullptr;
  st = api->Run(g.mel_sess, nullptr, in_names, &input, 1, out_names, 1, &output);
  api->ReleaseValue(input);
  if (st != nullptr) {
    ort_fail("mel Run", st);
    return -1;
  }

  const int max_frames = n / kMelFrameDivisor;
  auto *buf =
      static_cast<float *>(std::malloc(static_cast<size_t>(max_frames) * sizeof g.mel_buf[0]));
  if (buf == nullptr) {
    set_err("oom melspec");
    api->ReleaseValue(output);
    return -1;
  }
  void *data = nullptr;
  st = api->GetTensorMutableData(output, &data);
  if (st != nullptr) {
    ort_fail("mel GetTensorMutableData", st);
    api->ReleaseValue(output);
    std::free(buf);
    return -1;
  }
  output_info info{};
  long long frame_count = 0;
  if (read_output_info(api, output, "mel shape", true, info) != 0 ||
      !output_usable(info, max_frames, frame_count)) {
    api->ReleaseValue(output);
    std::free(buf);
    return -1;
  }
  const int frames = static_cast<int>(frame_count);
  const int values = frames * kMelBins;
  std::memcpy(buf, data, static_cast<size_t>(values) * sizeof(float));
  api->ReleaseValue(output);

  // A true single-precision division: multiplying by 0.1f rounds differently.
  for (int i = 0; i < values; ++i) {
    buf[i] = buf[i] / kMelScaleDivisor + kMelScaleOffset;
  }
  // Nothing in the record changes before this point, so a failed stage leaves it untouched.
  append_frames_locked(buf, frames);
  std::free(buf);

  if (g.mel_len < kMelWindowFrames) {
    return 0;
  }
  std::memcpy(frame_window, g.mel_buf[g.mel_len - kMelWindowFrames],
              kMelWindowFrames * sizeof g.mel_buf[0]);
  return 0;
}

} // namespace kalwake
