#include "fuzz_support.h"

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <utility>

#include "kalmoris_wakeword.h"
#include "ort_shim.h"

namespace fuzz {

namespace fs = std::filesystem;

namespace {

// Probabilities are kept as the model gives them within these bounds (see to_probability).
constexpr float kScoreLow = -0.000001f;
constexpr float kScoreHigh = 1.000001f;

void remove_scratch();

std::string make_scratch() {
  std::string pattern = (fs::temp_directory_path() / "kalwake-fuzz-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) {
    std::perror("mkdtemp");
    std::abort();
  }
  std::atexit(remove_scratch);
  return pattern;
}

void remove_scratch() {
  std::error_code ec;
  fs::remove_all(scratch(), ec);
}

} // namespace

std::string fixture(const std::string &stem) {
  return std::string(KALWAKE_FIXTURE_DIR) + "/" + stem + ".onnx";
}

const std::string &scratch() {
  static const std::string *dir = new std::string(make_scratch());
  return *dir;
}

const std::string &frontend(const std::string &mel_stem, const std::string &emb_stem) {
  static auto *made = new std::map<std::pair<std::string, std::string>, std::string>;
  auto key = std::make_pair(mel_stem, emb_stem);
  auto it = made->find(key);
  if (it != made->end()) {
    return it->second;
  }
  const std::string dir = scratch() + "/fe-" + std::to_string(made->size());
  fs::create_directories(dir);
  if (!mel_stem.empty()) {
    fs::create_symlink(fixture(mel_stem), dir + "/melspectrogram.onnx");
  }
  if (!emb_stem.empty()) {
    fs::create_symlink(fixture(emb_stem), dir + "/embedding_model.onnx");
  }
  return made->emplace(key, dir).first->second;
}

void broken(const char *what, const std::string &detail) {
  std::fprintf(stderr, "\n*** invariant broken: %s\n*** %s\n*** last error: %s\n", what,
               detail.c_str(), kalwake_last_error());
  std::abort();
}

void expect_nothing_outstanding(const char *after) {
  const shim::Live l = shim::live();
  if (l.values != 0 || l.statuses != 0 || l.names != 0 || l.type_infos != 0 ||
      l.shape_infos != 0) {
    broken("nothing outstanding",
           std::string("after ") + after + ": values " + std::to_string(l.values) +
               ", statuses " + std::to_string(l.statuses) + ", names " +
               std::to_string(l.names) + ", type infos " + std::to_string(l.type_infos) +
               ", shape infos " + std::to_string(l.shape_infos));
  }
}

bool documented_write_message(const std::string &m) {
  static const char *const exact[] = {
      "pcm is NULL or n_samples <= 0",
      "not loaded \xE2\x80\x94 call kalwake_load first",
      "melspec output not float",
      "embedding output not float",
      "wake output not float",
      "wake output empty",
      "pending buffer full \xE2\x80\x94 call kalwake_reset",
      "oom melspec",
  };
  for (const char *e : exact) {
    if (m == e) {
      return true;
    }
  }
  static const char *const prefixes[] = {
      "unexpected melspec shape ",
      "melspec output too short (",
      "embedding output too short (",
      "mel CreateTensorWithData: ",
      "mel Run: ",
      "mel GetTensorMutableData: ",
      "mel shape: ",
      "emb CreateTensorWithData: ",
      "emb Run: ",
      "emb GetTensorMutableData: ",
      "emb shape: ",
      "wake CreateTensorWithData: ",
      "wake SessionGetInputName: ",
      "wake SessionGetOutputName: ",
      "wake Run: ",
      "wake GetTensorMutableData: ",
      "wake shape: ",
  };
  for (const char *p : prefixes) {
    if (m.rfind(p, 0) == 0) {
      return true;
    }
  }
  return false;
}

void expect_sane_scores(int models) {
  constexpr int kSpare = 3;
  float scores[8 + kSpare];
  for (float &s : scores) {
    s = 123.0f;
  }
  const int n = models + kSpare;
  FUZZ_EXPECT(kalwake_scores(scores, n) == 0, "scores of a loaded library");
  for (int i = 0; i < n; ++i) {
    const float s = scores[i];
    if (i < models) {
      FUZZ_EXPECT(std::isnan(s) || (s >= kScoreLow && s <= kScoreHigh),
                  "slot " + std::to_string(i) + " score " + std::to_string(s));
    } else {
      FUZZ_EXPECT(s == 0.0f && !std::signbit(s), "slot beyond the count reads 0.0");
    }
  }
}

} // namespace fuzz
