// The write path under a fuzzer-chosen sequence of calls: writes of any length and content,
// resets, detection and score queries with any arguments, models added, unloads and loads
// over probe models (good and broken ones), and runtime faults armed on the per-chunk calls.
// A small model of the detector predicts every result it can; after each call the harness
// checks that prediction and the invariants that hold whatever the models do.
#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "kalmoris_wakeword.h"
#include "ort_shim.h"

namespace {

const char *const kNotLoaded = "not loaded \xE2\x80\x94 call kalwake_load first";
constexpr int kChunk = 1280;

struct FrontendChoice {
  const char *mel;
  const char *emb;
  bool loads; // both files are models the runtime accepts
  bool clean; // every chunk runs through both stages
};

const FrontendChoice kFrontends[] = {
    {"mel_avg", "emb_frames", true, true},
    {"mel_window", "emb_frames", true, true},
    {"mel_rank3", "emb_long", true, true},
    {"mel_one_frame", "emb_rank4", true, true},
    {"mel_over_later", "emb_frames", true, false},
    {"mel_over_first", "emb_frames", true, false},
    {"mel_empty_batch", "emb_frames", true, false},
    {"mel_double", "emb_frames", true, false},
    {"mel_trailing_one", "emb_frames", true, false},
    {"mel_wrong_name", "emb_frames", true, false},
    {"mel_avg", "emb_short", true, false},
    {"mel_avg", "emb_int", true, false},
    {"mel_avg", "emb_wrong_name", true, false},
    {"mel_avg", "", false, false},
    {"not_a_model", "emb_frames", false, false},
};

struct WakeChoice {
  const char *stem; // a fixture stem, or a path when it starts with '/'
  bool loads;
  bool clean;
};

const WakeChoice kWakes[] = {
    {"wake_mean_1", true, true},        {"wake_mean_3", true, true},
    {"wake_mean_16", true, true},       {"wake_mean_sym", true, true},
    {"wake_const_half", true, true},    {"wake_const_nan", true, true},
    {"wake_const_two", true, true},     {"wake_const_minus_inf", true, true},
    {"wake_three_values", true, true},  {"wake_const_upper_bound", true, true},
    {"wake_mean_20", true, false},      {"wake_rank4", true, false},
    {"wake_empty", true, false},        {"wake_int", true, false},
    {"wake_no_input", true, false},     {"wake_sequence", true, false},
    {"not_a_model", false, false},      {"/nonexistent/wake.onnx", false, false},
};

std::string wake_path(const WakeChoice &w) {
  return w.stem[0] == '/' ? std::string(w.stem) : fuzz::fixture(w.stem);
}

// Runtime calls of the per-chunk path that a fault may be armed on.
const shim::Fn kChunkCalls[] = {
    shim::CreateTensorWithDataAsOrtValue, shim::Run, shim::GetTensorMutableData,
    shim::GetTensorTypeAndShape, shim::GetTensorElementType, shim::GetTensorShapeElementCount,
    shim::GetDimensionsCount, shim::GetDimensions, shim::SessionGetInputName,
    shim::SessionGetOutputName, shim::AllocatorFree,
};

// What the harness knows of the detector.
struct Model {
  bool loaded = false;
  int models = 0;
  float threshold = 0.5f;
  bool set_clean = false;  // every model of the set runs cleanly
  bool faults = false;     // a runtime fault may still be armed
  bool pending_known = false;
  long pending = 0;
  bool exact() const { return loaded && set_clean && !faults && pending_known; }
};

float settled(float t) { return (t > 0.0f && t < 1.0f) ? t : 0.5f; }

void expect_message(const char *expected, const char *call) {
  FUZZ_EXPECT(std::string(kalwake_last_error()) == expected,
              std::string(call) + " should say \"" + expected + "\"");
}

void expect_prefix(const char *prefix, const char *call) {
  FUZZ_EXPECT(std::string(kalwake_last_error()).rfind(prefix, 0) == 0,
              std::string(call) + " should say \"" + prefix + "...\"");
}

void op_load(FuzzedDataProvider &in, Model &m) {
  const int how = in.ConsumeIntegralInRange(0, 9);
  if (how == 0) {
    const bool null_dir = in.ConsumeBool();
    const int r = kalwake_load(null_dir ? nullptr : "", fuzz::fixture("wake_mean_1").c_str(), 0.5f);
    FUZZ_EXPECT(r == -1, "load with an empty folder");
    expect_message("frontend_dir is empty", "load");
    return; // a loaded library stays as it was
  }
  if (how == 1) {
    const bool null_path = in.ConsumeBool();
    const int r = kalwake_load(fuzz::frontend("mel_avg", "emb_frames").c_str(),
                               null_path ? nullptr : "", 0.5f);
    FUZZ_EXPECT(r == -1, "load with an empty model path");
    expect_message("model_path is empty", "load");
    return;
  }
  const FrontendChoice &fe = in.PickValueInArray(kFrontends);
  const WakeChoice &w = in.PickValueInArray(kWakes);
  static const float kThresholds[] = {0.5f, 0.3f, 0.999f, 0.0f, 1.0f, -1.0f, 2.0f, NAN, 0.05f};
  const float t = in.ConsumeBool() ? in.PickValueInArray(kThresholds) : in.ConsumeFloatingPoint<float>();
  const int r = kalwake_load(fuzz::frontend(fe.mel, fe.emb).c_str(), wake_path(w).c_str(), t);
  const bool loads = fe.loads && w.loads;
  FUZZ_EXPECT(r == (loads ? 0 : -1), std::string("load of ") + fe.mel + "/" + fe.emb + " + " + w.stem);
  const bool faults = m.faults; // armed faults outlive a load
  m = Model{};
  m.faults = faults;
  if (r == 0) {
    expect_message("no error", "load");
    m.loaded = true;
    m.models = 1;
    m.threshold = settled(t);
    // A fault armed during the load may have changed what the wake model is fed.
    m.set_clean = fe.clean && w.clean && !faults;
    m.pending_known = true;
  } else {
    expect_prefix("CreateSession: ", "load");
  }
}

void op_add(FuzzedDataProvider &in, Model &m) {
  const int how = in.ConsumeIntegralInRange(0, 7);
  if (how == 0) {
    const bool null_path = in.ConsumeBool();
    FUZZ_EXPECT(kalwake_load_model(null_path ? nullptr : "") == -1, "add with an empty path");
    expect_message("model_path is empty", "load_model");
    return;
  }
  const WakeChoice &w = in.PickValueInArray(kWakes);
  const int r = kalwake_load_model(wake_path(w).c_str());
  if (!m.loaded) {
    FUZZ_EXPECT(r == -1, "add when not loaded");
    expect_message(kNotLoaded, "load_model");
  } else if (m.models == 8) {
    FUZZ_EXPECT(r == -1, "a ninth model");
    expect_message("too many wake models (max 8)", "load_model");
  } else if (!w.loads) {
    FUZZ_EXPECT(r == -1, std::string("add of ") + w.stem);
    expect_prefix("CreateSession: ", "load_model");
  } else {
    FUZZ_EXPECT(r == m.models, std::string("add of ") + w.stem + " takes the next slot");
    ++m.models;
    m.set_clean = m.set_clean && w.clean && !m.faults;
  }
}

void op_write(FuzzedDataProvider &in, Model &m) {
  const int how = in.ConsumeIntegralInRange(0, 15);
  if (how == 0) {
    const int n = in.ConsumeIntegralInRange(-3, 2000);
    FUZZ_EXPECT(kalwake_write(nullptr, n) == -1, "write of NULL");
    expect_message("pcm is NULL or n_samples <= 0", "write");
    return;
  }
  int n = 0;
  if (how == 1) {
    n = in.ConsumeIntegralInRange(-3, 0);
  } else if (how <= 4) {
    n = kChunk * in.ConsumeIntegralInRange(1, 4) + in.ConsumeIntegralInRange(-2, 2);
  } else {
    n = in.ConsumeIntegralInRange(1, 3 * kChunk);
  }
  std::vector<int16_t> pcm(static_cast<size_t>(n > 0 ? n : 1));
  switch (in.ConsumeIntegralInRange(0, 2)) {
  case 0: {
    const auto v = in.ConsumeIntegral<int16_t>();
    for (int16_t &s : pcm) {
      s = v;
    }
    break;
  }
  case 1: {
    const std::vector<uint8_t> raw = in.ConsumeBytes<uint8_t>(pcm.size() * 2);
    for (size_t i = 0; i < raw.size() / 2; ++i) {
      pcm[i] = static_cast<int16_t>(raw[2 * i] | (raw[2 * i + 1] << 8));
    }
    break;
  }
  default:
    for (size_t i = 0; i < pcm.size(); ++i) {
      pcm[i] = (i % 2) != 0 ? INT16_MAX : INT16_MIN;
    }
  }
  const int r = kalwake_write(pcm.data(), n);
  if (n <= 0) {
    FUZZ_EXPECT(r == -1, "write of a non-positive count");
    expect_message("pcm is NULL or n_samples <= 0", "write");
    return;
  }
  if (!m.loaded) {
    FUZZ_EXPECT(r == -1, "write when not loaded");
    expect_message(kNotLoaded, "write");
    return;
  }
  if (m.exact()) {
    // Nothing can fail: every 1280 samples make one chunk.
    const long expected = (m.pending + n) / kChunk;
    FUZZ_EXPECT(r == expected, "chunks of a clean write: " + std::to_string(r) + " for " +
                                   std::to_string(m.pending) + " pending + " +
                                   std::to_string(n));
    m.pending = (m.pending + n) % kChunk;
  } else {
    FUZZ_EXPECT(r >= -1 && r <= (n + 2 * kChunk) / kChunk, "chunk count in range");
    if (r == -1) {
      FUZZ_EXPECT(fuzz::documented_write_message(kalwake_last_error()), "a documented message");
      m.pending_known = false;
    } else if (m.pending_known && !m.faults) {
      m.pending = (m.pending + n) % kChunk;
    } else {
      m.pending_known = false;
    }
  }
}

void op_triggered(FuzzedDataProvider &in, const Model &m) {
  int32_t index = 77;
  float score = 77.0f;
  const int how = in.ConsumeIntegralInRange(0, 3);
  const int r = kalwake_triggered((how & 1) != 0 ? nullptr : &index, (how & 2) != 0 ? nullptr : &score);
  FUZZ_EXPECT(r == 0 || r == 1, "triggered gives 0 or 1");
  if (!m.loaded) {
    FUZZ_EXPECT(r == 0, "no detection when not loaded");
    expect_message("not loaded", "triggered");
  }
  if (r == 1) {
    FUZZ_EXPECT((how & 1) != 0 || (index >= 0 && index < m.models), "detected slot in range");
    // The score handed over is the slot's latest, which may be below the threshold by now.
    FUZZ_EXPECT((how & 2) != 0 || std::isnan(score) || (score >= -0.000001f && score <= 1.000001f),
                "a detection's score: " + std::to_string(score));
  } else {
    FUZZ_EXPECT((how & 1) != 0 || index == -1, "no detection writes -1");
    FUZZ_EXPECT((how & 2) != 0 || score == 0.0f, "no detection writes 0.0");
  }
}

void op_scores(FuzzedDataProvider &in, const Model &m) {
  if (in.ConsumeBool()) {
    const bool null = in.ConsumeBool();
    const int n = in.ConsumeIntegralInRange(-2, 0);
    float one = 5.0f;
    FUZZ_EXPECT(kalwake_scores(null ? nullptr : &one, null ? 3 : n) == -1, "scores refused");
    expect_message("scores is NULL or n <= 0", "scores");
    FUZZ_EXPECT(one == 5.0f, "a refused call writes nothing");
    return;
  }
  const int n = in.ConsumeIntegralInRange(1, 12);
  std::vector<float> out(static_cast<size_t>(n) + 4, 9.0f);
  const int r = kalwake_scores(out.data(), n);
  if (!m.loaded) {
    FUZZ_EXPECT(r == -1, "scores when not loaded");
    expect_message("not loaded", "scores");
    return;
  }
  FUZZ_EXPECT(r == 0, "scores when loaded");
  for (int i = 0; i < n + 4; ++i) {
    const float s = out[static_cast<size_t>(i)];
    if (i >= n) {
      FUZZ_EXPECT(s == 9.0f, "nothing written past n");
    } else if (i >= m.models) {
      FUZZ_EXPECT(s == 0.0f, "slots past the count read 0.0");
    } else {
      FUZZ_EXPECT(std::isnan(s) || (s >= -0.000001f && s <= 1.000001f),
                  "score " + std::to_string(s));
    }
  }
}

void op_fault(FuzzedDataProvider &in, Model &m) {
  const shim::Fn fn = in.PickValueInArray(kChunkCalls);
  const int nth = in.ConsumeIntegralInRange(1, 6);
  const bool sticky = in.ConsumeIntegralInRange(0, 7) == 0;
  shim::fail(fn, nth, in.ConsumeBool() ? "fuzzed fault" : nullptr, sticky);
  m.faults = true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzedDataProvider in(data, size);
  kalwake_unload();
  shim::reset();
  shim::keep_records(false);
  Model m;
  for (int step = 0; step < 48 && in.remaining_bytes() > 0; ++step) {
    switch (in.ConsumeIntegralInRange(0, 11)) {
    case 0:
    case 1:
      op_load(in, m);
      break;
    case 2:
      op_add(in, m);
      break;
    case 3:
    case 4:
    case 5:
      op_write(in, m);
      break;
    case 6:
      kalwake_reset();
      if (m.loaded) {
        m.pending = 0;
        m.pending_known = true;
      }
      break;
    case 7:
      op_triggered(in, m);
      break;
    case 8:
      op_scores(in, m);
      break;
    case 9:
      kalwake_unload();
      expect_message("no error", "unload");
      m.loaded = false;
      m.models = 0;
      break;
    case 10:
      op_fault(in, m);
      break;
    default:
      shim::reset(); // disarms every fault
      m.faults = false;
      break;
    }
    FUZZ_EXPECT(kalwake_model_count() == (m.loaded ? m.models : -1), "model count");
    if (m.loaded) {
      fuzz::expect_sane_scores(m.models);
    }
    fuzz::expect_nothing_outstanding("a call");
  }
  kalwake_unload();
  shim::reset();
  FUZZ_EXPECT(shim::live().sessions == 0, "every session released by the unload");
  return 0;
}
