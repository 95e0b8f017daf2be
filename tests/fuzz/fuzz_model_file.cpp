// Model files: the fuzzer's bytes, usually a mutated fixture model, become the wake model of a
// kalwake_load, an added wake model, the mel model or the embedding model of a front end. Each load gives 0 (or the slot) or -1 with "CreateSession: ..."; a model the
// runtime accepts then runs a few chunks under the same invariants as every other harness.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "kalmoris_wakeword.h"
#include "ort_shim.h"

namespace {

namespace fs = std::filesystem;

void write_file(const std::string &path, const uint8_t *data, size_t size) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char *>(data), static_cast<std::streamsize>(size));
  if (!f) {
    fuzz::broken("scratch file", path);
  }
}

// A folder with the mutated file in one role and a probe fixture in the other.
std::string folder_with(const std::string &name, const std::string &role_file,
                        const std::string &other_file, const std::string &other_stem) {
  const std::string dir = fuzz::scratch() + "/" + name;
  if (!fs::exists(dir)) {
    fs::create_directories(dir);
    fs::create_symlink(fuzz::fixture(other_stem), dir + "/" + other_file);
    fs::create_symlink(fuzz::scratch() + "/model.onnx", dir + "/" + role_file);
  }
  return dir;
}

void expect_load_result(int r, int ok_result, const char *role) {
  if (r == ok_result) {
    return;
  }
  FUZZ_EXPECT(r == -1, std::string(role) + ": result " + std::to_string(r));
  FUZZ_EXPECT(std::string(kalwake_last_error()).rfind("CreateSession: ", 0) == 0,
              std::string(role) + ": a session-creation message");
}

// A few chunks through whatever loaded.
void run_chunks(int models) {
  std::vector<int16_t> pcm(1280);
  for (int chunk = 0; chunk < 3; ++chunk) {
    for (size_t i = 0; i < pcm.size(); ++i) {
      pcm[i] = static_cast<int16_t>((i * 37 + static_cast<size_t>(chunk) * 1000) % 4000) - 2000;
    }
    const int r = kalwake_write(pcm.data(), static_cast<int>(pcm.size()));
    FUZZ_EXPECT(r == -1 || r == 1, "chunks of one write: " + std::to_string(r));
    if (r == -1) {
      FUZZ_EXPECT(fuzz::documented_write_message(kalwake_last_error()), "a documented message");
    }
    fuzz::expect_nothing_outstanding("a write");
    fuzz::expect_sane_scores(models);
    while (kalwake_triggered(nullptr, nullptr) == 1) {
    }
  }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  shim::keep_records(false);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string model = fuzz::scratch() + "/model.onnx";
  write_file(model, data, size);
  const std::string &probe = fuzz::frontend("mel_avg", "emb_frames");
  const std::string wake = fuzz::fixture("wake_mean_16");

  // One role an input, chosen by its length: insertions and erasures move a model to the next
  // role, and each run creates few sessions besides the one under test.
  switch (size % 4) {
  case 0: {
    const int r = kalwake_load(probe.c_str(), model.c_str(), 0.5f);
    expect_load_result(r, 0, "wake model of a load");
    if (r == 0) {
      run_chunks(1);
    } else {
      FUZZ_EXPECT(kalwake_model_count() == -1, "a failed load leaves nothing loaded");
    }
    break;
  }
  case 1: {
    // The probe set stays loaded from one input to the next; added models are unloaded.
    if (kalwake_model_count() != 1) {
      FUZZ_EXPECT(kalwake_load(probe.c_str(), wake.c_str(), 0.5f) == 0, "the probe set loads");
    }
    const int r = kalwake_load_model(model.c_str());
    expect_load_result(r, 1, "added wake model");
    if (r == 1) {
      run_chunks(2);
      kalwake_unload();
    } else {
      FUZZ_EXPECT(kalwake_model_count() == 1, "a failed add keeps the count");
    }
    break;
  }
  case 2: {
    const int r = kalwake_load(folder_with("as-mel", "melspectrogram.onnx", "embedding_model.onnx",
                                           "emb_frames").c_str(),
                               wake.c_str(), 0.5f);
    expect_load_result(r, 0, "mel model");
    if (r == 0) {
      run_chunks(1);
    }
    break;
  }
  default: {
    const int r = kalwake_load(folder_with("as-emb", "embedding_model.onnx", "melspectrogram.onnx",
                                           "mel_avg").c_str(),
                               wake.c_str(), 0.5f);
    expect_load_result(r, 0, "embedding model");
    if (r == 0) {
      run_chunks(1);
    }
    break;
  }
  }
  fuzz::expect_nothing_outstanding("a load");
  if (size % 4 != 1) {
    kalwake_unload();
    FUZZ_EXPECT(shim::live().sessions == 0, "every session released by the unload");
  }
  return 0;
}
