// Shared helpers of the test programs: fixture model paths, front-end folders made of chosen
// probe models, PCM helpers, and a base fixture that checks no runtime object leaked.
#ifndef KALWAKE_TESTS_HARNESS_H
#define KALWAKE_TESTS_HARNESS_H

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "kalmoris_wakeword.h"
#include "ort_shim.h"

namespace harness {

// A fixture model built by tests/fixtures/make_fixtures.py, by file stem ("wake_mean_1").
std::string model(const std::string &stem);

// The path the library hands to the runtime for a file of a front-end folder that does not
// end in a separator: joined with '/', every '/' then a '\' on Windows.
std::string frontend_file(const std::string &folder, const std::string &file);

// A file-system path for a UTF-8 text (std::filesystem reads narrow text in the system code
// page on Windows, which need not be UTF-8).
std::filesystem::path native_path(const std::string &utf8);

// Makes the file at from (UTF-8) appear at to as well: a link, or on Windows a copy.
void place_file(const std::string &from, const std::string &to);
// Places the fixture model with the given stem at path, as place_file does.
void place_model(const std::string &stem, const std::string &path);

// A fresh temporary folder, removed with everything in it when the object goes. Its path is
// UTF-8 text.
class TempDir {
public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;
  const std::string &path() const { return path_; }
  std::string file(const std::string &name) const { return path_ + "/" + name; }

private:
  std::string path_;
};

// A front-end folder holding the named probe models as melspectrogram.onnx and
// embedding_model.onnx (either may be "" to leave that file out).
class Frontend {
public:
  Frontend(const std::string &mel_stem, const std::string &emb_stem);
  const std::string &dir() const { return dir_.path(); }

private:
  TempDir dir_;
};

// The probe front end most tests use: block means and the frame probe, so that a wake model
// "wake_mean_F" scores the mean over its F rows of (s / 10 + 2), s being the mean of the last
// 160 samples of each chunk.
const Frontend &probe_frontend();

// Writes n samples of one value in a single call; returns kalwake_write's result.
int write_const(int16_t value, int n);
// Writes one whole chunk (1280 samples) of one value.
int write_chunk(int16_t value);

// Latest score of every slot (n = kalwake_model_count()).
std::vector<float> scores();

// Inputs the library built for each kind of model since the last shim::reset, in order:
// mel windows ([1, N]), embedding inputs ([1, 76, 32, 1]) and wake inputs ([1, F, 96]).
std::vector<shim::Tensor> mel_inputs();
std::vector<shim::Tensor> embedding_inputs();
std::vector<shim::Tensor> wake_inputs();

// Every detection handed over by kalwake_triggered until it returns 0, as slot indices.
std::vector<int32_t> collect();

// Base fixture: a fresh shim and an unloaded library before each test; after it, every value,
// status, name and shape record the library took from the runtime must have gone back.
class LibraryTest : public ::testing::Test {
protected:
  void SetUp() override;
  void TearDown() override;
};

} // namespace harness

#endif
