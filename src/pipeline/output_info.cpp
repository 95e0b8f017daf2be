// Reads the type-and-shape record of a stage's output.
#include "pipeline/output_info.h"

#include "core/state.h"

namespace kalwake {

namespace {

void ignore_status(const OrtApi *api, OrtStatus *status) {
  if (status != nullptr) {
    api->ReleaseStatus(status);
  }
}

} // namespace

int read_output_info(const OrtApi *api, const OrtValue *output, const char *label, bool with_dims,
                     output_info &out) {
  out = output_info{ONNX_TENSOR_ELEMENT_DATA_TYPE_UNDEFINED, 0, 0, {0, 0, 0, 0}};
  OrtTensorTypeAndShapeInfo *info = nullptr;
  OrtStatus *st = api->GetTensorTypeAndShape(output, &info);
  if (st != nullptr) {
    ort_fail(label, st);
    return -1;
  }
  if (info == nullptr) {
    return 0;
  }
  if (with_dims) {
    ignore_status(api, api->GetDimensionsCount(info, &out.rank));
    if (out.rank <= kMelMaxRank) {
      ignore_status(api, api->GetDimensions(info, out.dims, out.rank));
    }
  }
  ignore_status(api, api->GetTensorElementType(info, &out.type));
  ignore_status(api, api->GetTensorShapeElementCount(info, &out.elements));
  api->ReleaseTensorTypeAndShapeInfo(info);
  return 0;
}

} // namespace kalwake
