#include "audio_files.h"

#include <sndfile.h>

#include <stdexcept>

namespace cli {

std::vector<int16_t> render(const Levels &levels, int rate) {
  const size_t chunks = levels.per_chunk.size();
  // 80 ms chunks and their 40 ms middles, in samples at `rate` (exact for 16 and 44.1 kHz).
  const long chunk = rate * 8L / 100;
  const long half = chunk / 2;
  const long total =
      static_cast<long>(chunks) * chunk + levels.tail_samples * static_cast<long>(rate) / 16000;
  std::vector<int16_t> out(static_cast<size_t>(total));
  for (long i = 0; i < total; ++i) {
    long j = i < half ? 0 : (i - half) / chunk;
    if (j >= static_cast<long>(chunks)) {
      j = static_cast<long>(chunks) - 1;
    }
    out[static_cast<size_t>(i)] = levels.per_chunk[static_cast<size_t>(j)];
  }
  return out;
}

void write_audio(const std::string &path, int rate, int format,
                 const std::vector<std::vector<int16_t>> &channels) {
  SF_INFO info{};
  info.samplerate = rate;
  info.channels = static_cast<int>(channels.size());
  info.format = format;
  SNDFILE *f = sf_open(path.c_str(), SFM_WRITE, &info);
  if (f == nullptr) {
    throw std::runtime_error("sf_open " + path + ": " + sf_strerror(nullptr));
  }
  const size_t frames = channels[0].size();
  std::vector<int16_t> interleaved(frames * channels.size());
  for (size_t i = 0; i < frames; ++i) {
    for (size_t c = 0; c < channels.size(); ++c) {
      interleaved[i * channels.size() + c] = channels[c][i];
    }
  }
  sf_writef_short(f, interleaved.data(), static_cast<sf_count_t>(frames));
  sf_close(f);
}

std::string raw_le16(const std::vector<int16_t> &samples) {
  std::string out;
  out.reserve(samples.size() * 2);
  for (const int16_t s : samples) {
    const auto u = static_cast<uint16_t>(s);
    out += static_cast<char>(u & 0xff);
    out += static_cast<char>(u >> 8);
  }
  return out;
}

} // namespace cli
