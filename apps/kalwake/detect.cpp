// Loading the model set, streaming each input through the library chunk by chunk, and
// reporting what it finds.
#include "detect.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "audio_input.h"
#include "default_models.h"
#include "kalmoris_wakeword.h"
#include "progress.h"
#include "report.h"

namespace kalwake_app {

namespace {

// Samples a chunk holds; every chunk yields one score per wake model.
constexpr int kChunkSamples = 1280;
// Samples read from an input at a time.
constexpr long kReadSamples = 4096;

std::string base_name(const std::string &path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool is_file(const std::string &path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// The front-end folder and wake models to load, with the defaults filled in.
struct ModelSet {
  std::string frontend;
  std::vector<std::string> models;
};

bool resolve_models(const Options &opts, ModelSet *set) {
  set->frontend = opts.frontend;
  if (!set->frontend.empty()) {
    struct stat st {};
    if (::stat(set->frontend.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
      std::fprintf(stderr, "kalwake: the front-end folder %s does not exist\n",
                   set->frontend.c_str());
      return false;
    }
  } else {
    const std::vector<std::string> candidates = default_frontend_candidates();
    set->frontend = find_default_frontend(candidates);
    if (set->frontend.empty()) {
      std::string looked;
      for (const std::string &dir : candidates) {
        looked += "\n  " + dir;
      }
      std::fprintf(stderr,
                   "kalwake: no default front end found: none of these folders holds both "
                   "melspectrogram.onnx and embedding_model.onnx:%s\n"
                   "Name one with --frontend DIR.\n",
                   looked.c_str());
      return false;
    }
  }
  set->models = opts.models;
  if (set->models.empty()) {
    const std::string fallback = set->frontend + "/" + kDefaultWakeModel;
    if (!is_file(fallback)) {
      std::fprintf(stderr,
                   "kalwake: no --model given, and the front-end folder has no default wake "
                   "model (%s)\n",
                   fallback.c_str());
      return false;
    }
    set->models.push_back(fallback);
  }
  return true;
}

bool load_models(const ModelSet &set, float threshold) {
  if (kalwake_load(set.frontend.c_str(), set.models[0].c_str(), threshold) != 0) {
    std::fprintf(stderr, "kalwake: cannot load the models (front end %s, wake model %s): %s\n",
                 set.frontend.c_str(), set.models[0].c_str(), kalwake_last_error());
    return false;
  }
  for (size_t i = 1; i < set.models.size(); ++i) {
    if (kalwake_load_model(set.models[i].c_str()) < 0) {
      std::fprintf(stderr, "kalwake: cannot load the wake model %s: %s\n", set.models[i].c_str(),
                   kalwake_last_error());
      kalwake_unload();
      return false;
    }
  }
  return true;
}

struct Stream {
  const Options *opts;
  std::vector<std::string> model_names; // file names, by slot
  ReportStyle style;
  std::string name; // the input as reported
  int64_t chunks = 0;
  Progress progress;
};

int g_output_errno = 0; // the first failure to write standard output

void flush_output() {
  errno = 0;
  if (std::fflush(stdout) != 0 && g_output_errno == 0) {
    g_output_errno = errno != 0 ? errno : EIO;
  }
}

// After a chunk has completed: its scores when asked for, then every detection it latched.
// Polling after every chunk is what ties a detection to the chunk that fired it.
void report_chunk(Stream &s) {
  std::string out;
  if (s.opts->scores) {
    std::vector<float> scores(s.model_names.size());
    if (kalwake_scores(scores.data(), static_cast<int>(scores.size())) == 0) {
      out += scores_line(s.style, s.name, s.chunks, scores);
    }
  }
  int32_t index = -1;
  float score = 0.0f;
  while (kalwake_triggered(&index, &score) == 1) {
    const std::string model = index >= 0 && index < static_cast<int32_t>(s.model_names.size())
                                  ? s.model_names[static_cast<size_t>(index)]
                                  : std::to_string(index);
    out += detection_line(s.style, s.name, s.chunks, model, index, score);
  }
  if (!out.empty()) {
    progress_clear(s.progress);
    std::fputs(out.c_str(), stdout);
    flush_output(); // printed as it happens, also into a pipe
  }
}

// Streams one input through the detector. Returns false after a failure it has reported.
bool run_stream(Stream &s, AudioInput &in) {
  std::vector<int16_t> buf(kReadSamples);
  int pending = 0; // samples of the current chunk already written
  std::string error;
  for (;;) {
    const long n = read_audio(in, buf.data(), kReadSamples, &error);
    if (n < 0) {
      progress_clear(s.progress);
      std::fprintf(stderr, "kalwake: %s: %s\n", s.name.c_str(), error.c_str());
      return false;
    }
    if (n == 0) {
      break;
    }
    // Written so that no call completes more than one chunk: the detections and scores
    // polled after the call then belong to that chunk.
    long offset = 0;
    while (offset < n) {
      const int take = static_cast<int>(std::min<long>(n - offset, kChunkSamples - pending));
      const int done = kalwake_write(buf.data() + offset, take);
      if (done < 0) {
        progress_clear(s.progress);
        std::fprintf(stderr, "kalwake: %s: detection failed at %s s: %s\n", s.name.c_str(),
                     chunk_time(s.chunks + 1).c_str(), kalwake_last_error());
        return false;
      }
      offset += take;
      pending += take;
      if (done > 0) {
        pending = 0;
        ++s.chunks;
        report_chunk(s);
      }
    }
    progress_update(s.progress, audio_progress(in),
                    static_cast<double>(s.chunks * kChunkSamples + pending) / kTargetRate);
  }
  // A trailing part of a chunk (under 80 ms) is never scored; the reset before the next
  // input drops it.
  progress_update(s.progress, audio_progress(in),
                  static_cast<double>(s.chunks * kChunkSamples + pending) / kTargetRate);
  progress_clear(s.progress);
  return true;
}

// Detections that could not be written are lost: a full disk or a closed descriptor on
// standard output is a runtime error, not a success. Reported once, at the end.
bool output_written() {
  flush_output();
  if (g_output_errno != 0 || std::ferror(stdout) != 0) {
    std::fprintf(stderr, "kalwake: cannot write the output: %s\n",
                 g_output_errno != 0 ? std::strerror(g_output_errno) : "write error");
    return false;
  }
  return true;
}

} // namespace

int run_detect(const Options &opts) {
  if (opts.inputs.empty()) {
    std::fprintf(stderr, "kalwake: no INPUT given\nTry 'kalwake --help'.\n");
    return kExitUsage;
  }
  if (std::count(opts.inputs.begin(), opts.inputs.end(), "-") > 1) {
    std::fprintf(stderr, "kalwake: standard input ('-') can be read only once\n"
                         "Try 'kalwake --help'.\n");
    return kExitUsage;
  }
  ModelSet set;
  if (!resolve_models(opts, &set) || !load_models(set, opts.threshold)) {
    return kExitRuntime;
  }

  Stream s;
  s.opts = &opts;
  s.style.json = opts.json;
  for (const std::string &m : set.models) {
    s.model_names.push_back(base_name(m));
  }
  const bool tty = ::isatty(STDERR_FILENO) == 1;
  int status = kExitOk;
  for (const std::string &path : opts.inputs) {
    std::string error;
    AudioInputPtr in = open_audio_input(path, &error);
    if (!in) {
      std::fprintf(stderr, "kalwake: %s: %s\n", path.c_str(), error.c_str());
      status = kExitRuntime;
      continue; // the other inputs are still worth listening to
    }
    // Every input is a stream of its own: times start at zero and every model warms up.
    kalwake_reset();
    s.name = path == "-" ? "stdin" : path;
    s.chunks = 0;
    progress_start(s.progress, tty && path != "-", s.name);
    if (!run_stream(s, *in)) {
      kalwake_unload();
      output_written();
      return kExitRuntime;
    }
  }
  kalwake_unload();
  return output_written() ? status : kExitRuntime;
}

int run_info(const Options &opts) {
  if (!opts.inputs.empty()) {
    std::fprintf(stderr, "kalwake: info takes no INPUT\nTry 'kalwake --help'.\n");
    return kExitUsage;
  }
  ModelSet set;
  if (!resolve_models(opts, &set) || !load_models(set, opts.threshold)) {
    return kExitRuntime;
  }
  std::printf("kalmoris-wakeword %s\nfront end: %s\n", kalwake_version(), set.frontend.c_str());
  for (size_t i = 0; i < set.models.size(); ++i) {
    std::printf("wake model %zu: %s\n", i, set.models[i].c_str());
  }
  std::printf("threshold: %g\n", static_cast<double>(opts.threshold));
  kalwake_unload();
  return kExitOk;
}

} // namespace kalwake_app
