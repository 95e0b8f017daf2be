#include "harness.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#endif

namespace harness {

namespace fs = std::filesystem;

namespace {

#ifdef _WIN32
// The fixtures sit in "fixtures" beside the test programs. Found from the program's own
// location, the folder is a full Windows path wherever the build tree lives (under wine, a
// path of the drive that maps the build tree).
std::string fixture_dir() {
  static const std::string dir = [] {
    std::wstring exe(32768, L'\0');
    const DWORD len = GetModuleFileNameW(nullptr, &exe[0], static_cast<DWORD>(exe.size()));
    exe.resize(len);
    return (fs::path(exe).parent_path() / "fixtures").u8string();
  }();
  return dir;
}
#else
std::string fixture_dir() {
  return KALWAKE_FIXTURE_DIR;
}
#endif

} // namespace

std::string model(const std::string &stem) {
  return fixture_dir() + "/" + stem + ".onnx";
}

std::string frontend_file(const std::string &folder, const std::string &file) {
  std::string path = folder + "/" + file;
#ifdef _WIN32
  std::replace(path.begin(), path.end(), '/', '\\');
#endif
  return path;
}

fs::path native_path(const std::string &utf8) {
  return fs::u8path(utf8);
}

TempDir::TempDir() {
  const fs::path base = fs::temp_directory_path();
  std::random_device random;
  for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
    char name[32];
    std::snprintf(name, sizeof name, "kalwake-test-%08x", static_cast<unsigned>(random()));
    std::error_code ec;
    if (fs::create_directory(base / name, ec)) {
      path_ = (base / name).u8string();
    }
  }
  if (path_.empty()) {
    ADD_FAILURE() << "no temporary folder could be made in " << base;
  }
}

TempDir::~TempDir() {
  std::error_code ec;
  fs::remove_all(native_path(path_), ec);
}

void place_file(const std::string &from, const std::string &to) {
#ifdef _WIN32
  // Symbolic links need a privilege on Windows; the models are small enough to copy.
  fs::copy_file(native_path(from), native_path(to));
#else
  fs::create_symlink(from, to);
#endif
}

void place_model(const std::string &stem, const std::string &path) {
  place_file(model(stem), path);
}

Frontend::Frontend(const std::string &mel_stem, const std::string &emb_stem) {
  if (!mel_stem.empty()) {
    place_model(mel_stem, dir_.file("melspectrogram.onnx"));
  }
  if (!emb_stem.empty()) {
    place_model(emb_stem, dir_.file("embedding_model.onnx"));
  }
}

const Frontend &probe_frontend() {
  // An object, not a leaked pointer, so that its folder is removed when the program ends.
  static const Frontend fe("mel_avg", "emb_frames");
  return fe;
}

int write_const(int16_t value, int n) {
  std::vector<int16_t> pcm(static_cast<size_t>(n), value);
  return kalwake_write(pcm.data(), n);
}

int write_chunk(int16_t value) {
  return write_const(value, 1280);
}

std::vector<float> scores() {
  const int n = kalwake_model_count();
  std::vector<float> out(static_cast<size_t>(n > 0 ? n : 0));
  if (n > 0) {
    EXPECT_EQ(kalwake_scores(out.data(), n), 0);
  }
  return out;
}

namespace {

std::vector<shim::Tensor> inputs_of_rank(size_t rank) {
  std::vector<shim::Tensor> out;
  for (shim::Tensor &t : shim::created_tensors()) {
    if (t.shape.size() == rank) {
      out.push_back(std::move(t));
    }
  }
  return out;
}

} // namespace

std::vector<shim::Tensor> mel_inputs() {
  return inputs_of_rank(2);
}
std::vector<shim::Tensor> embedding_inputs() {
  return inputs_of_rank(4);
}
std::vector<shim::Tensor> wake_inputs() {
  return inputs_of_rank(3);
}

std::vector<int32_t> collect() {
  std::vector<int32_t> slots;
  int32_t index = 0;
  float score = 0.0f;
  while (kalwake_triggered(&index, &score) == 1) {
    slots.push_back(index);
  }
  return slots;
}

void LibraryTest::SetUp() {
  // Unload only what an earlier test of the same process left: an unload asks the runtime for
  // its table, which a test of the version search must see first.
  if (kalwake_model_count() != -1) {
    kalwake_unload();
  }
  shim::reset();
}

void LibraryTest::TearDown() {
  const shim::Live l = shim::live();
  EXPECT_EQ(l.values, 0) << "tensor values not released";
  EXPECT_EQ(l.statuses, 0) << "statuses not released";
  EXPECT_EQ(l.names, 0) << "names not freed";
  EXPECT_EQ(l.type_infos, 0) << "type infos not released";
  EXPECT_EQ(l.shape_infos, 0) << "shape infos not released";
  kalwake_unload();
  EXPECT_EQ(shim::live().sessions, 0) << "sessions left after unload";
}

} // namespace harness
