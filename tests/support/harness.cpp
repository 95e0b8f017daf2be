#include "harness.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>

namespace harness {

namespace fs = std::filesystem;

std::string model(const std::string &stem) {
  return std::string(KALWAKE_FIXTURE_DIR) + "/" + stem + ".onnx";
}

TempDir::TempDir() {
  std::string pattern = (fs::temp_directory_path() / "kalwake-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) {
    ADD_FAILURE() << "mkdtemp failed";
  }
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ec;
  fs::remove_all(path_, ec);
}

Frontend::Frontend(const std::string &mel_stem, const std::string &emb_stem) {
  if (!mel_stem.empty()) {
    fs::create_symlink(model(mel_stem), dir_.file("melspectrogram.onnx"));
  }
  if (!emb_stem.empty()) {
    fs::create_symlink(model(emb_stem), dir_.file("embedding_model.onnx"));
  }
}

const Frontend &probe_frontend() {
  static const Frontend *fe = new Frontend("mel_avg", "emb_frames");
  return *fe;
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
