// Audio sources for the detector: any file libsndfile reads, mixed to mono and resampled to
// 16 kHz, or raw 16-bit little-endian 16 kHz mono PCM from standard input.
#ifndef KALWAKE_APP_AUDIO_INPUT_H
#define KALWAKE_APP_AUDIO_INPUT_H

#include <cstdint>
#include <memory>
#include <string>

namespace kalwake_app {

// The sample rate the detector's models expect.
constexpr int kTargetRate = 16000;

struct AudioInput;

struct AudioInputDeleter {
  void operator()(AudioInput *in) const;
};
using AudioInputPtr = std::unique_ptr<AudioInput, AudioInputDeleter>;

// Opens a file ("-" means raw PCM on standard input). On failure returns null and puts a
// message meant for the user (without the program name) into *error.
AudioInputPtr open_audio_input(const std::string &path, std::string *error);

// Reads up to max samples of 16 kHz mono audio. Returns the number read, 0 at the end of the
// input, or -1 with *error set. On standard input it returns as soon as any whole sample has
// arrived, so that a live stream is processed as it comes.
long read_audio(AudioInput &in, int16_t *out, long max, std::string *error);

// How far through the input the reads have got, as a fraction in [0, 1], or -1 when the
// length is not known (standard input, some stream formats).
double audio_progress(const AudioInput &in);

// Length of the input in seconds before resampling, or -1 when unknown.
double audio_duration(const AudioInput &in);

} // namespace kalwake_app

#endif
