// Test audio whose levels choose the detections. With the probe front end, a wake model
// "wake_mean_1" scores (s / 10 + 2) read as a logit, s being the mean of the last 160 samples
// of a chunk: level 0 scores 0.8808 and fires, level -1000 scores about 0 and does not.
#ifndef KALWAKE_TESTS_CLI_AUDIO_FILES_H
#define KALWAKE_TESTS_CLI_AUDIO_FILES_H

#include <cstdint>
#include <string>
#include <vector>

namespace cli {

constexpr int16_t kOn = 0;
constexpr int16_t kOff = -1000;

// One level per 80 ms chunk. A chunk's level holds from the middle of that chunk to the middle
// of the next, so that the 10 ms at each chunk's end, which decide its score, lie 30 ms from
// any step even after resampling has smeared the steps.
struct Levels {
  std::vector<int16_t> per_chunk;
  // Extra samples (at 16 kHz) after the last whole chunk, at the last chunk's level.
  int tail_samples = 0;
};

// The signal at `rate` Hz (a multiple of 25 Hz, so that chunks are whole samples).
std::vector<int16_t> render(const Levels &levels, int rate);

// Writes a file with libsndfile; `format` is an SF_FORMAT_* combination. Channels are given
// one vector each, all of the same length.
void write_audio(const std::string &path, int rate, int format,
                 const std::vector<std::vector<int16_t>> &channels);

// The same samples as raw 16-bit little-endian bytes.
std::string raw_le16(const std::vector<int16_t> &samples);

} // namespace cli

#endif
