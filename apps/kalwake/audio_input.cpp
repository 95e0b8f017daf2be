// Reading audio files with libsndfile (mixing to mono, resampling with libsoxr) and raw PCM
// from standard input.
#include "audio_input.h"

#include <fcntl.h>
#include <sndfile.h>
#include <soxr.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <vector>

namespace kalwake_app {

namespace {

// Frames read from a file per libsndfile call: about a quarter of a second at 16 kHz.
constexpr sf_count_t kFileBlockFrames = 4096;
// Bytes asked of standard input per read; a read returns early with whatever has arrived.
constexpr size_t kStdinBlockBytes = 4096;

} // namespace

struct AudioInput {
  bool is_stdin = false;

  // File input.
  SNDFILE *sf = nullptr;
  SF_INFO info{};
  soxr_t soxr = nullptr;
  sf_count_t frames_read = 0;
  bool file_done = false;      // libsndfile has no more frames
  bool resampler_done = false; // the resampler has been drained
  std::vector<float> interleaved;
  std::vector<float> mono;
  std::vector<float> ready; // 16 kHz mono samples not yet handed out, from ready_pos on
  size_t ready_pos = 0;

  // Standard input: a byte of a sample whose second byte has not arrived yet.
  unsigned char carry = 0;
  bool has_carry = false;

  ~AudioInput() {
    if (soxr != nullptr) {
      soxr_delete(soxr);
    }
    if (sf != nullptr) {
      sf_close(sf);
    }
  }
};

void AudioInputDeleter::operator()(AudioInput *in) const {
  delete in;
}

namespace {

// Full-scale float samples to 16-bit values. 16-bit files come back exactly: libsndfile reads
// them as s / 32768. Louder float samples are clipped rather than wrapped.
int16_t to_pcm16(float v) {
  const float scaled = v * 32768.0f;
  if (!(scaled > -32768.0f)) { // also catches NaN
    return scaled != scaled ? 0 : -32768;
  }
  if (scaled >= 32767.0f) {
    return 32767;
  }
  return static_cast<int16_t>(std::lrintf(scaled));
}

// Passes samples through the resampler, appending whatever it gives back to in.ready;
// with n = 0 and samples null it drains the resampler. Returns false on a resampler error.
bool resample(AudioInput &in, const float *samples, size_t n, std::string *error) {
  const double ratio = static_cast<double>(kTargetRate) / in.info.samplerate;
  std::vector<float> out(static_cast<size_t>(std::ceil(static_cast<double>(n) * ratio)) + 1024);
  size_t consumed = 0;
  for (;;) {
    size_t idone = 0;
    size_t odone = 0;
    const soxr_error_t err =
        samples != nullptr
            ? soxr_process(in.soxr, samples + consumed, n - consumed, &idone, out.data(),
                           out.size(), &odone)
            : soxr_process(in.soxr, nullptr, 0, nullptr, out.data(), out.size(), &odone);
    if (err != nullptr) {
      *error = std::string("resampling failed: ") + err;
      return false;
    }
    in.ready.insert(in.ready.end(), out.begin(), out.begin() + static_cast<long>(odone));
    consumed += idone;
    if (samples != nullptr && consumed < n && (idone > 0 || odone > 0)) {
      continue; // the output buffer was full before all input was taken
    }
    if (samples == nullptr && odone > 0) {
      continue; // draining: until the resampler has nothing more
    }
    return true;
  }
}

// Makes more 16 kHz samples ready. Returns 1 when some were added (or may be on the next
// call), 0 at the end of the file, -1 on an error.
int refill(AudioInput &in, std::string *error) {
  in.ready.clear();
  in.ready_pos = 0;
  if (in.file_done) {
    if (in.soxr == nullptr || in.resampler_done) {
      return 0;
    }
    in.resampler_done = true;
    return resample(in, nullptr, 0, error) ? 1 : -1;
  }
  const int channels = in.info.channels;
  const sf_count_t got = sf_readf_float(in.sf, in.interleaved.data(), kFileBlockFrames);
  if (got <= 0) {
    if (sf_error(in.sf) != SF_ERR_NO_ERROR) {
      *error = std::string("read error: ") + sf_strerror(in.sf);
      return -1;
    }
    in.file_done = true;
    return 1;
  }
  in.frames_read += got;
  // Mixed to mono by the mean of the channels, so that a level does not depend on how many
  // channels carry it.
  const auto frames = static_cast<size_t>(got);
  for (size_t i = 0; i < frames; ++i) {
    float sum = 0.0f;
    for (int c = 0; c < channels; ++c) {
      sum += in.interleaved[i * static_cast<size_t>(channels) + static_cast<size_t>(c)];
    }
    in.mono[i] = sum / static_cast<float>(channels);
  }
  if (in.soxr == nullptr) {
    in.ready.assign(in.mono.begin(), in.mono.begin() + static_cast<long>(frames));
    return 1;
  }
  return resample(in, in.mono.data(), frames, error) ? 1 : -1;
}

long read_file(AudioInput &in, int16_t *out, long max, std::string *error) {
  while (in.ready_pos == in.ready.size()) {
    const int r = refill(in, error);
    if (r <= 0) {
      return r;
    }
  }
  const long n = std::min(max, static_cast<long>(in.ready.size() - in.ready_pos));
  for (long i = 0; i < n; ++i) {
    out[i] = to_pcm16(in.ready[in.ready_pos + static_cast<size_t>(i)]);
  }
  in.ready_pos += static_cast<size_t>(n);
  return n;
}

long read_stdin(AudioInput &in, int16_t *out, long max, std::string *error) {
  unsigned char bytes[kStdinBlockBytes + 1];
  const size_t want = std::min(kStdinBlockBytes, static_cast<size_t>(max) * 2);
  for (;;) {
    size_t have = 0;
    if (in.has_carry) {
      bytes[have++] = in.carry;
    }
    const ssize_t got = ::read(STDIN_FILENO, bytes + have, want - have);
    if (got < 0) {
      if (errno == EINTR) {
        continue;
      }
      *error = std::string("read error: ") + std::strerror(errno);
      return -1;
    }
    if (got == 0) {
      return 0; // end of stream; a lone trailing byte is half a sample and is dropped
    }
    have += static_cast<size_t>(got);
    const size_t samples = have / 2;
    // Little-endian on the wire whatever this machine's byte order.
    for (size_t i = 0; i < samples; ++i) {
      out[i] = static_cast<int16_t>(static_cast<uint16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8)));
    }
    in.has_carry = (have % 2) != 0;
    if (in.has_carry) {
      in.carry = bytes[have - 1];
    }
    if (samples > 0) {
      return static_cast<long>(samples);
    }
  }
}

} // namespace

AudioInputPtr open_audio_input(const std::string &path, std::string *error) {
  AudioInputPtr in(new AudioInput);
  if (path == "-") {
    in->is_stdin = true;
    return in;
  }
  // Asked first, so that a missing or unreadable file is reported as such rather than as a
  // format libsndfile does not know.
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    *error = std::strerror(errno);
    return nullptr;
  }
  if (S_ISDIR(st.st_mode)) {
    *error = "is a directory";
    return nullptr;
  }
  const int fd = ::open(path.c_str(), O_RDONLY);
  if (fd < 0) {
    *error = std::strerror(errno);
    return nullptr;
  }
  ::close(fd);

  in->sf = sf_open(path.c_str(), SFM_READ, &in->info);
  if (in->sf == nullptr) {
    *error = std::string("unreadable audio format (") + sf_strerror(nullptr) + ")";
    return nullptr;
  }
  if (in->info.channels < 1 || in->info.samplerate < 1) {
    *error = "the file declares no channels or no sample rate";
    return nullptr;
  }
  if (in->info.samplerate != kTargetRate) {
    soxr_error_t err = nullptr;
    const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
    const soxr_runtime_spec_t runtime = soxr_runtime_spec(1);
    in->soxr = soxr_create(in->info.samplerate, kTargetRate, 1, &err, &io, &quality, &runtime);
    if (in->soxr == nullptr || err != nullptr) {
      *error = "cannot resample from " + std::to_string(in->info.samplerate) +
               " Hz: " + (err != nullptr ? err : "unknown error");
      return nullptr;
    }
  }
  in->interleaved.resize(static_cast<size_t>(kFileBlockFrames) *
                         static_cast<size_t>(in->info.channels));
  in->mono.resize(static_cast<size_t>(kFileBlockFrames));
  return in;
}

long read_audio(AudioInput &in, int16_t *out, long max, std::string *error) {
  if (max <= 0) {
    return 0;
  }
  return in.is_stdin ? read_stdin(in, out, max, error) : read_file(in, out, max, error);
}

double audio_progress(const AudioInput &in) {
  if (in.is_stdin || in.info.frames <= 0 || in.info.frames == SF_COUNT_MAX) {
    return -1.0;
  }
  return std::min(1.0, static_cast<double>(in.frames_read) / static_cast<double>(in.info.frames));
}

double audio_duration(const AudioInput &in) {
  if (in.is_stdin || in.info.frames <= 0 || in.info.frames == SF_COUNT_MAX) {
    return -1.0;
  }
  return static_cast<double>(in.info.frames) / in.info.samplerate;
}

} // namespace kalwake_app
