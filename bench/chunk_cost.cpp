// What one 80 ms chunk costs: through the library's kalwake_write, and the same models run
// bare through ONNX Runtime with the same session options (the floor this design can reach).
// Their ratio is what the library itself adds.
//
//   BM_LibraryChunk/K   one kalwake_write of 1280 samples with K wake models loaded
//   BM_FloorChunk/K     the mel, embedding and K wake models run back to back on inputs made
//                       once, outputs allocated by the runtime as the library has them
//   BM_Ratio/K          both, interleaved chunk by chunk so that a busy machine slows both
//                       alike; reports the median thread CPU time of each and their ratio as
//                       counters (CPU time, since on a shared machine wall time also counts
//                       the time other processes ran)
//   BM_BareModel/M      one model alone (0 mel, 1 embedding, 2 one wake model)
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <time.h>

#include "kalmoris_wakeword.h"
#include "onnxruntime_c_api.h"

namespace {

const std::string kModels = KALWAKE_BENCH_MODELS;
const std::string kFrontend = kModels + "/frontend";
constexpr int kChunk = 1280;
constexpr int kWindow = 1760; // 480 samples of history and the chunk
constexpr int kMaxWake = 8;

std::string wake_path(int i) {
  return kModels + "/wake_" + std::to_string(i) + ".onnx";
}

[[noreturn]] void die(const std::string &what) {
  std::fprintf(stderr, "chunk_cost: %s\n", what.c_str());
  std::exit(1);
}

// 30 s of speech-like audio: noise under a syllable-rate envelope plus a voiced tone, so that
// the mel model sees ordinary levels rather than silence.
const std::vector<int16_t> &audio() {
  static const std::vector<int16_t> pcm = [] {
    std::vector<int16_t> v(30 * 16000);
    uint32_t seed = 12345;
    for (size_t i = 0; i < v.size(); ++i) {
      seed = seed * 1664525u + 1013904223u;
      const double noise = (static_cast<double>(seed >> 8) / 16777216.0 - 0.5) * 2.0;
      const double t = static_cast<double>(i) / 16000.0;
      const double envelope = 0.5 + 0.5 * std::sin(2.0 * M_PI * 4.0 * t);
      const double voice = std::sin(2.0 * M_PI * 140.0 * t) + 0.5 * std::sin(2.0 * M_PI * 280 * t);
      v[i] = static_cast<int16_t>(envelope * (3000.0 * voice + 1500.0 * noise));
    }
    return v;
  }();
  return pcm;
}

// --- The library ------------------------------------------------------------------------------

void load_library(int wake_models) {
  if (kalwake_load(kFrontend.c_str(), wake_path(0).c_str(), 0.5f) != 0) {
    die(std::string("kalwake_load: ") + kalwake_last_error());
  }
  for (int i = 1; i < wake_models; ++i) {
    if (kalwake_load_model(wake_path(i).c_str()) < 0) {
      die(std::string("kalwake_load_model: ") + kalwake_last_error());
    }
  }
}

// Writes the next chunk of the test audio; returns the offset to use next time.
size_t library_chunk(size_t offset) {
  const std::vector<int16_t> &pcm = audio();
  if (offset + kChunk > pcm.size()) {
    offset = 0;
  }
  if (kalwake_write(pcm.data() + offset, kChunk) != 1) {
    die(std::string("kalwake_write: ") + kalwake_last_error());
  }
  int32_t index;
  while (kalwake_triggered(&index, nullptr) == 1) {
  }
  return offset + kChunk;
}

// --- The floor: the same models, bare -----------------------------------------------------------

const OrtApi *ort() {
  static const OrtApi *api = OrtGetApiBase()->GetApi(27);
  return api;
}

void check(OrtStatus *st, const char *what) {
  if (st != nullptr) {
    std::string msg = std::string(what) + ": " + ort()->GetErrorMessage(st);
    ort()->ReleaseStatus(st);
    die(msg);
  }
}

struct Floor {
  OrtEnv *env = nullptr;
  OrtSessionOptions *opts = nullptr;
  OrtMemoryInfo *mem = nullptr;
  OrtSession *mel = nullptr;
  OrtSession *emb = nullptr;
  std::vector<OrtSession *> wake;
  std::vector<float> window = std::vector<float>(kWindow);
  std::vector<float> frames = std::vector<float>(76 * 32);
  std::vector<float> embeddings = std::vector<float>(16 * 96);
  OrtValue *mel_in = nullptr;
  OrtValue *emb_in = nullptr;
  OrtValue *wake_in = nullptr;
};

OrtSession *open_session(const Floor &f, const std::string &path) {
  OrtSession *s = nullptr;
  check(ort()->CreateSession(f.env, path.c_str(), f.opts, &s), "CreateSession");
  return s;
}

OrtValue *tensor_over(const Floor &f, std::vector<float> &data, std::vector<int64_t> shape) {
  OrtValue *v = nullptr;
  check(ort()->CreateTensorWithDataAsOrtValue(f.mem, data.data(), data.size() * sizeof(float),
                                              shape.data(), shape.size(),
                                              ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT, &v),
        "CreateTensorWithDataAsOrtValue");
  return v;
}

// The library's session options: one intra-op and one inter-op thread, sequential execution,
// every graph optimisation.
Floor *open_floor(int wake_models) {
  auto *f = new Floor;
  const OrtApi *api = ort();
  check(api->CreateEnv(ORT_LOGGING_LEVEL_WARNING, "kalmoris-wakeword-bench", &f->env), "CreateEnv");
  check(api->CreateSessionOptions(&f->opts), "CreateSessionOptions");
  check(api->SetIntraOpNumThreads(f->opts, 1), "SetIntraOpNumThreads");
  check(api->SetInterOpNumThreads(f->opts, 1), "SetInterOpNumThreads");
  check(api->SetSessionExecutionMode(f->opts, ORT_SEQUENTIAL), "SetSessionExecutionMode");
  check(api->SetSessionGraphOptimizationLevel(f->opts, ORT_ENABLE_ALL), "SetGraphOptimization");
  check(api->CreateCpuMemoryInfo(OrtArenaAllocator, OrtMemTypeDefault, &f->mem), "MemoryInfo");
  f->mel = open_session(*f, kFrontend + "/melspectrogram.onnx");
  f->emb = open_session(*f, kFrontend + "/embedding_model.onnx");
  for (int i = 0; i < wake_models; ++i) {
    f->wake.push_back(open_session(*f, wake_path(i)));
  }
  // Inputs made once: the runtime's cost does not depend on the values, and the floor is what
  // remains when nothing but the runs is done.
  const std::vector<int16_t> &pcm = audio();
  for (int i = 0; i < kWindow; ++i) {
    f->window[static_cast<size_t>(i)] = static_cast<float>(pcm[static_cast<size_t>(i)]);
  }
  for (size_t i = 0; i < f->frames.size(); ++i) {
    f->frames[i] = 1.0f + static_cast<float>(i % 37) * 0.1f;
  }
  for (size_t i = 0; i < f->embeddings.size(); ++i) {
    f->embeddings[i] = static_cast<float>(i % 11) * 0.05f;
  }
  f->mel_in = tensor_over(*f, f->window, {1, kWindow});
  f->emb_in = tensor_over(*f, f->frames, {1, 76, 32, 1});
  f->wake_in = tensor_over(*f, f->embeddings, {1, 16, 96});
  return f;
}

void close_floor(Floor *f) {
  const OrtApi *api = ort();
  api->ReleaseValue(f->mel_in);
  api->ReleaseValue(f->emb_in);
  api->ReleaseValue(f->wake_in);
  api->ReleaseSession(f->mel);
  api->ReleaseSession(f->emb);
  for (OrtSession *s : f->wake) {
    api->ReleaseSession(s);
  }
  api->ReleaseMemoryInfo(f->mem);
  api->ReleaseSessionOptions(f->opts);
  api->ReleaseEnv(f->env);
  delete f;
}

void run_one(OrtSession *s, const char *in_name, OrtValue *in, const char *out_name) {
  OrtValue *out = nullptr;
  check(ort()->Run(s, nullptr, &in_name, &in, 1, &out_name, 1, &out), "Run");
  ort()->ReleaseValue(out);
}

void floor_chunk(Floor &f) {
  run_one(f.mel, "input", f.mel_in, "output");
  run_one(f.emb, "input_1", f.emb_in, "conv2d_19");
  for (OrtSession *s : f.wake) {
    run_one(s, "embeddings", f.wake_in, "probability");
  }
}

// --- Benchmarks --------------------------------------------------------------------------------

void BM_LibraryChunk(benchmark::State &state) {
  const int k = static_cast<int>(state.range(0));
  load_library(k);
  size_t offset = 0;
  for (int i = 0; i < 20; ++i) { // past the warm-up, with a full history
    offset = library_chunk(offset);
  }
  for (auto _ : state) {
    offset = library_chunk(offset);
  }
  kalwake_unload();
}

void BM_FloorChunk(benchmark::State &state) {
  Floor *f = open_floor(static_cast<int>(state.range(0)));
  for (int i = 0; i < 20; ++i) {
    floor_chunk(*f);
  }
  for (auto _ : state) {
    floor_chunk(*f);
  }
  close_floor(f);
}

double thread_cpu_us() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) * 1e6 + static_cast<double>(ts.tv_nsec) / 1e3;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n == 0 ? 0.0 : (n % 2 == 1 ? v[n / 2] : 0.5 * (v[n / 2 - 1] + v[n / 2]));
}

void BM_Ratio(benchmark::State &state) {
  const int k = static_cast<int>(state.range(0));
  load_library(k);
  Floor *f = open_floor(k);
  size_t offset = 0;
  for (int i = 0; i < 20; ++i) {
    offset = library_chunk(offset);
    floor_chunk(*f);
  }
  std::vector<double> lib, bare;
  bool library_first = true;
  for (auto _ : state) {
    // Alternate which goes first, so that neither always runs on a cache the other warmed.
    const double t0 = thread_cpu_us();
    if (library_first) {
      offset = library_chunk(offset);
    } else {
      floor_chunk(*f);
    }
    const double t1 = thread_cpu_us();
    if (library_first) {
      floor_chunk(*f);
    } else {
      offset = library_chunk(offset);
    }
    const double t2 = thread_cpu_us();
    const double first = t1 - t0;
    const double second = t2 - t1;
    lib.push_back(library_first ? first : second);
    bare.push_back(library_first ? second : first);
    library_first = !library_first;
  }
  const double lib_us = median(lib);
  const double floor_us = median(bare);
  state.counters["library_us"] = lib_us;
  state.counters["floor_us"] = floor_us;
  state.counters["ratio"] = floor_us > 0 ? lib_us / floor_us : 0.0;
  close_floor(f);
  kalwake_unload();
}

void BM_BareModel(benchmark::State &state) {
  Floor *f = open_floor(1);
  const int which = static_cast<int>(state.range(0));
  for (auto _ : state) {
    if (which == 0) {
      run_one(f->mel, "input", f->mel_in, "output");
    } else if (which == 1) {
      run_one(f->emb, "input_1", f->emb_in, "conv2d_19");
    } else {
      run_one(f->wake[0], "embeddings", f->wake_in, "probability");
    }
  }
  state.SetLabel(which == 0 ? "mel" : which == 1 ? "embedding" : "wake");
  close_floor(f);
}

BENCHMARK(BM_LibraryChunk)->Arg(1)->Arg(2)->Arg(4)->Arg(8)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FloorChunk)->Arg(1)->Arg(2)->Arg(4)->Arg(8)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Ratio)->Arg(1)->Arg(2)->Arg(4)->Arg(8)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_BareModel)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
