// What `kalwake detect` prints on standard output: detections and, on request, every chunk's
// scores, as text lines or as one JSON object a line.
#ifndef KALWAKE_APP_REPORT_H
#define KALWAKE_APP_REPORT_H

#include <cstdint>
#include <string>
#include <vector>

namespace kalwake_app {

struct ReportStyle {
  bool json = false;
};

// Time in the stream of the end of chunk k (counted from 1), each chunk being 1280 samples,
// that is 80 ms at 16 kHz: "0.08", "1.20". Exact, from integers.
std::string chunk_time(int64_t chunk);

// One detection latched by chunk `chunk`, of the wake model `model` (its file name) in
// slot `index`, with its score.
std::string detection_line(const ReportStyle &style, const std::string &input, int64_t chunk,
                           const std::string &model, int index, float score);

// The scores of every wake model after chunk `chunk`, in slot order.
std::string scores_line(const ReportStyle &style, const std::string &input, int64_t chunk,
                        const std::vector<float> &scores);

// Text as a JSON string literal, quotes included.
std::string json_string(const std::string &text);

} // namespace kalwake_app

#endif
