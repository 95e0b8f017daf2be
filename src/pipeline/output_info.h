// What a stage may know about a runtime output before it reads it.
#ifndef KALWAKE_PIPELINE_OUTPUT_INFO_H
#define KALWAKE_PIPELINE_OUTPUT_INFO_H

#include <cstddef>
#include <cstdint>

#include "onnxruntime_c_api.h"
#include "pipeline/contract.h"

namespace kalwake {

struct output_info {
  ONNXTensorElementDataType type; // UNDEFINED when it could not be read
  size_t elements;                // 0 when it could not be read
  size_t rank;                    // read only when dimensions are asked for
  int64_t dims[kMelMaxRank];      // the first `rank` dimensions when rank <= 4, else zeros
};

// Reads the output's type-and-shape record. A failure to get the record is reported as
// "<label>: <runtime message>" and gives -1; failed reads inside it leave the zeros, which the
// caller's checks reject. Dimensions are read only when with_dims is set.
int read_output_info(const OrtApi *api, const OrtValue *output, const char *label, bool with_dims,
                     output_info &out);

} // namespace kalwake

#endif
