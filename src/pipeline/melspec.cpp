// The mel-spectrogram stage: window -> mel model -> shape test -> scaling -> mel history.
#include <cstdlib>
#include <cstring>

#include "core/ort_binding.h"
#include "pipeline/stages.h"

namespace kalwake {

namespace {

struct output_shape {
  long long frames;
  long long bins;
  ONNXTensorElementDataType type;
  size_t elements;
};

// Reads frames and bins from a rank-3 [any, frames, 32] or rank-4 [any, any, frames, 32]
// output; other ranks leave zeros in the positions that were not read, which the shape test
// rejects. Returns -1 only when the shape record itself cannot be had.
int read_output_shape(const OrtApi *api, OrtValue *output, output_shape &out) {
  size_t rank = 0;
  int64_t dims[kMelMaxRank] = {0, 0, 0, 0};
  out.type = ONNX_TENSOR_ELEMENT_DATA_TYPE_UNDEFINED;
  out.elements = 0;
  OrtTensorTypeAndShapeInfo *info = nullptr;
  OrtStatus *st = api->GetTensorTypeAndShape(output, &info);
  if (st != nullptr) {
    ort_fail("mel shape", st);
    return -1;
  }
  if (info != nullptr) {
    // Failed reads leave the preset zeros, which the shape test rejects.
    if (OrtStatus *s = api->GetDimensionsCount(info, &rank)) {
      api->ReleaseStatus(s);
    }
    if (rank <= kMelMaxRank) {
      if (OrtStatus *s = api->GetDimensions(info, dims, rank)) {
        api->ReleaseStatus(s);
      }
    }
    if (OrtStatus *s = api->GetTensorElementType(info, &out.type)) {
      api->ReleaseStatus(s);
    }
    if (OrtStatus *s = api->GetTensorShapeElementCount(info, &out.elements)) {
      api->ReleaseStatus(s);
    }
    api->ReleaseTensorTypeAndShapeInfo(info);
  }
  const int f = (rank == 4) ? 2 : 1;
  out.frames = static_cast<long long>(dims[f]);
  out.bins = static_cast<long long>(dims[f + 1]);
  return 0;
}

// Checks the output against what will be read from it; sets the message when it falls short.
bool output_usable(const output_shape &s, long long max_frames) {
  if (s.bins != kMelBins || s.frames < 1 || s.frames > max_frames) {
    set_err("unexpected melspec shape %lldx%lld", s.frames, s.bins);
    return false;
  }
  if (s.type != ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT) {
    set_err("melspec output not float");
    return false;
  }
  // The declared shape must be backed by data: [0, 8, 32] passes the shape test but holds
  // nothing to read.
  const long long need = s.frames * kMelBins;
  if (static_cast<long long>(s.elements) < need) {
    set_err("melspec output too short (%lld values, need %lld)", static_cast<long long>(s.elements),
            need);
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
  output_shape shape{};
  if (read_output_shape(api, output, shape) != 0 || !output_usable(shape, max_frames)) {
    api->ReleaseValue(output);
    std::free(buf);
    return -1;
  }
  const int frames = static_cast<int>(shape.frames);
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
