// Model paths on their way from the host to the runtime: names outside ASCII, the bound of
// 1023 UTF-16 units, and on Windows the separators and the conversion to UTF-16.
#include <algorithm>
#include <filesystem>
#include <iterator>
#include <string>

#include "harness.h"

using harness::LibraryTest;
using harness::model;
using harness::probe_frontend;

namespace {

namespace fs = std::filesystem;

class Paths : public LibraryTest {};

bool starts_with(const std::string &text, const std::string &prefix) {
  return text.rfind(prefix, 0) == 0;
}

TEST_F(Paths, FoldersAndModelsUnderNonAsciiNamesLoadAndRun) {
  harness::TempDir tmp;
  const std::string frontend = tmp.file("mod\xC3\xA8les");            // modèles
  const std::string nihongo = "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E"; // 日本語
  const std::string wake_dir = tmp.file(nihongo);
  ASSERT_TRUE(fs::create_directory(harness::native_path(frontend)));
  ASSERT_TRUE(fs::create_directory(harness::native_path(wake_dir)));
  harness::place_model("mel_avg", frontend + "/melspectrogram.onnx");
  harness::place_model("emb_frames", frontend + "/embedding_model.onnx");
  const std::string wake = wake_dir + "/" + nihongo + ".onnx";
  const std::string second = wake_dir + "/\xC3\xA9\xF0\x9F\x98\x80.onnx"; // é😀.onnx
  harness::place_model("wake_mean_1", wake);
  harness::place_model("wake_mean_3", second);

  ASSERT_EQ(kalwake_load(frontend.c_str(), wake.c_str(), 0.5f), 0) << kalwake_last_error();
  ASSERT_EQ(kalwake_load_model(second.c_str()), 1) << kalwake_last_error();
  const auto paths = shim::session_paths();
  ASSERT_EQ(paths.size(), 4u);
  EXPECT_EQ(paths[0], harness::frontend_file(frontend, "melspectrogram.onnx"));
  EXPECT_EQ(paths[1], harness::frontend_file(frontend, "embedding_model.onnx"));
  EXPECT_EQ(paths[2], wake);
  EXPECT_EQ(paths[3], second);
  // The sessions are the fixture models: the probe front end and mean-scoring wake models.
  ASSERT_EQ(harness::write_chunk(-12), 1);
  const std::vector<float> scores = harness::scores();
  ASSERT_EQ(scores.size(), 2u);
  EXPECT_FLOAT_EQ(scores[0], 0.8f);
  EXPECT_FLOAT_EQ(scores[1], 0.8f);
}

TEST_F(Paths, TheBoundIsCountedInUtf16UnitsNotBytes) {
  ASSERT_EQ(kalwake_load(probe_frontend().dir().c_str(), model("wake_mean_1").c_str(), 0.5f), 0);
  // Each piece below is one byte sequence and a known number of UTF-16 units: a character
  // beyond the BMP takes two (a surrogate pair), each ill-formed part one U+FFFD: a byte that
  // starts no sequence, each stray continuation byte, a sequence cut short.
  struct Piece {
    const char *bytes;
    size_t units;
  };
  const Piece pieces[] = {{"\xF0\x9F\x98\x80", 2}, {"\xFF", 1},         {"\xE6\x97\xA5", 1},
                          {"\xE6\x97", 1},         {"\xF0\x9F\x98", 1}, {"\xF5\x80\x80", 3},
                          {"\xC0\xAF", 2}};
  for (const Piece &piece : pieces) {
    SCOPED_TRACE(piece.units);
    std::string path = "/tmp/"; // 5 units
    size_t units = 5;
    while (units + piece.units <= 1023) {
      path += piece.bytes;
      units += piece.units;
    }
    path.append(1023 - units, 'x');
    // 1023 units and the NUL fit: the runtime is asked and finds no such file.
    EXPECT_EQ(kalwake_load_model(path.c_str()), -1);
    EXPECT_TRUE(starts_with(kalwake_last_error(), "CreateSession: ")) << kalwake_last_error();
    path += "x";
    EXPECT_EQ(kalwake_load_model(path.c_str()), -1);
    EXPECT_EQ(std::string(kalwake_last_error()), ("bad path encoding: " + path).substr(0, 1023));
  }
  EXPECT_EQ(shim::calls(shim::CreateSession), 3 + std::size(pieces));
}

#ifdef _WIN32
TEST_F(Paths, SlashesInTheFolderBecomeBackslashesButAWakePathIsHandedOverAsGiven) {
  const std::string folder = probe_frontend().dir(); // a Windows path: backslashes only
  ASSERT_EQ(folder.find('/'), std::string::npos);
  std::string slashed = folder;
  std::replace(slashed.begin(), slashed.end(), '\\', '/');
  std::string wake = model("wake_mean_1");
  std::replace(wake.begin(), wake.end(), '\\', '/');

  ASSERT_EQ(kalwake_load(slashed.c_str(), wake.c_str(), 0.5f), 0) << kalwake_last_error();
  ASSERT_EQ(kalwake_load((slashed + "/").c_str(), wake.c_str(), 0.5f), 0);
  const auto paths = shim::session_paths();
  ASSERT_EQ(paths.size(), 6u);
  for (size_t first : {size_t{0}, size_t{3}}) {
    EXPECT_EQ(paths[first], folder + "\\melspectrogram.onnx");
    EXPECT_EQ(paths[first + 1], folder + "\\embedding_model.onnx");
    EXPECT_EQ(paths[first + 2], wake); // "C:/.../wake_mean_1.onnx", slashes kept
  }
}
#endif

} // namespace
