// The bad inputs a host can hand over, each with the exact result and message it gets: null
// and empty texts, non-positive counts, paths that do not exist, a folder where a file belongs
// (and a file where a folder belongs), a text file named .onnx, an empty file, models of
// another input type and models that declare no output. Runtime messages are those of the
// pinned ONNX Runtime release; "*" in an expected message stands for any text.
#include <climits>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "harness.h"

using harness::LibraryTest;
using harness::model;
using harness::probe_frontend;

namespace {

namespace fs = std::filesystem;

const std::string kNotLoaded = "not loaded \xE2\x80\x94 call kalwake_load first";

std::string fixtures() {
  return KALWAKE_FIXTURE_DIR;
}
std::string missing(const std::string &path) {
  return "CreateSession: Load model from " + path + " failed:Load model " + path +
         " failed. File doesn't exist";
}
const std::string kIsFolder =
    "CreateSession: The model path is a directory. Loading a model package from a directory "
    "path is not supported. Use the model package API (CreateModelPackageContext, "
    "SelectComponent, CreateSession) instead.";

// Front ends made for the table: one whose melspectrogram.onnx is a folder, and ones whose mel
// model takes doubles or declares no output. Static objects, so their folders go at exit.
const std::string &folder_as_mel() {
  static const harness::TempDir dir;
  [[maybe_unused]] static const bool made = [] {
    fs::create_directory(dir.file("melspectrogram.onnx"));
    harness::place_model("emb_frames", dir.file("embedding_model.onnx"));
    return true;
  }();
  return dir.path();
}
const harness::Frontend &double_mel() {
  static const harness::Frontend fe("mel_double_input", "emb_frames");
  return fe;
}
const harness::Frontend &outputless_mel() {
  static const harness::Frontend fe("mel_no_output", "emb_frames");
  return fe;
}

int load(const std::string &frontend, const std::string &wake) {
  return kalwake_load(frontend.c_str(), wake.c_str(), 0.5f);
}
int load_wake(const std::string &wake) {
  return load(probe_frontend().dir(), wake);
}
// Loads, then writes one chunk: the write's result is the row's result.
int load_and_write(const std::string &frontend, const std::string &wake) {
  if (load(frontend, wake) != 0) {
    return -100;
  }
  return harness::write_chunk(0);
}

bool matches(const std::string &text, const std::string &pattern) {
  const size_t star = pattern.find('*');
  if (star == std::string::npos) {
    return text == pattern;
  }
  const std::string head = pattern.substr(0, star);
  const std::string tail = pattern.substr(star + 1);
  return text.size() >= head.size() + tail.size() && text.compare(0, head.size(), head) == 0 &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

struct Row {
  const char *name;
  bool loaded;              // the probe set is loaded first
  std::function<int()> call;
  int result;
  std::function<std::string()> message;
  bool keeps_library;       // a loaded library still counts one model and runs a chunk after
};

void PrintTo(const Row &row, std::ostream *os) {
  *os << row.name;
}

std::string text(const char *t) {
  return t;
}

const Row kRows[] = {
    // Texts.
    {"LoadNullFolder", false, [] { return kalwake_load(nullptr, model("wake_mean_1").c_str(), 0.5f); },
     -1, [] { return text("frontend_dir is empty"); }, false},
    {"LoadEmptyFolderWhileLoaded", true, [] { return kalwake_load("", model("wake_mean_1").c_str(), 0.5f); },
     -1, [] { return text("frontend_dir is empty"); }, true},
    {"LoadNullModelPath", false, [] { return kalwake_load(probe_frontend().dir().c_str(), nullptr, 0.5f); },
     -1, [] { return text("model_path is empty"); }, false},
    {"LoadEmptyModelPathWhileLoaded", true, [] { return kalwake_load(probe_frontend().dir().c_str(), "", 0.5f); },
     -1, [] { return text("model_path is empty"); }, true},
    {"AddNullPath", true, [] { return kalwake_load_model(nullptr); }, -1,
     [] { return text("model_path is empty"); }, true},
    {"AddEmptyPathBeforeAnyLoad", false, [] { return kalwake_load_model(""); }, -1,
     [] { return text("model_path is empty"); }, false},
    {"AddBeforeAnyLoad", false, [] { return kalwake_load_model(model("wake_mean_1").c_str()); }, -1,
     [] { return kNotLoaded; }, false},
    // Counts and pointers.
    {"WriteNull", true, [] { return kalwake_write(nullptr, 1280); }, -1,
     [] { return text("pcm is NULL or n_samples <= 0"); }, true},
    {"WriteZero", true, [] { const int16_t s = 0; return kalwake_write(&s, 0); }, -1,
     [] { return text("pcm is NULL or n_samples <= 0"); }, true},
    {"WriteNegative", true, [] { const int16_t s = 0; return kalwake_write(&s, -1); }, -1,
     [] { return text("pcm is NULL or n_samples <= 0"); }, true},
    {"WriteMostNegative", false, [] { const int16_t s = 0; return kalwake_write(&s, INT_MIN); }, -1,
     [] { return text("pcm is NULL or n_samples <= 0"); }, false},
    {"WriteBeforeAnyLoad", false, [] { return harness::write_chunk(0); }, -1,
     [] { return kNotLoaded; }, false},
    {"ScoresNull", true, [] { return kalwake_scores(nullptr, 4); }, -1,
     [] { return text("scores is NULL or n <= 0"); }, true},
    {"ScoresZero", true, [] { float s = 0.0f; return kalwake_scores(&s, 0); }, -1,
     [] { return text("scores is NULL or n <= 0"); }, true},
    {"ScoresMostNegativeBeforeAnyLoad", false, [] { float s = 0.0f; return kalwake_scores(&s, INT_MIN); },
     -1, [] { return text("scores is NULL or n <= 0"); }, false},
    {"ScoresBeforeAnyLoad", false, [] { float s[4]; return kalwake_scores(s, 4); }, -1,
     [] { return text("not loaded"); }, false},
    {"TriggeredBeforeAnyLoad", false, [] { return kalwake_triggered(nullptr, nullptr); }, 0,
     [] { return text("not loaded"); }, false},
    {"CountBeforeAnyLoadWritesNothing", false, [] { return kalwake_model_count(); }, -1,
     [] { return text("no error"); }, false},
    // Paths.
    {"FolderThatDoesNotExist", false, [] { return load("/nonexistent", model("wake_mean_1")); }, -1,
     [] { return missing(harness::frontend_file("/nonexistent", "melspectrogram.onnx")); }, false},
    {"WakeModelThatDoesNotExist", false, [] { return load_wake("/nonexistent/wake.onnx"); }, -1,
     [] { return missing("/nonexistent/wake.onnx"); }, false},
    {"AddedModelThatDoesNotExist", true, [] { return kalwake_load_model("/nonexistent/wake.onnx"); },
     -1, [] { return missing("/nonexistent/wake.onnx"); }, true},
    {"FolderAsWakeModel", false, [] { return load_wake(fixtures()); }, -1, [] { return kIsFolder; },
     false},
    {"FolderAsAddedModel", true, [] { return kalwake_load_model(fixtures().c_str()); }, -1,
     [] { return kIsFolder; }, true},
    {"FolderAsMelModel", false, [] { return load(folder_as_mel(), model("wake_mean_1")); }, -1,
     [] { return kIsFolder; }, false},
    {"FileAsFrontEndFolder", false, [] { return load(model("wake_mean_1"), model("wake_mean_1")); },
     -1,
     [] {
       const std::string path = harness::frontend_file(model("wake_mean_1"), "melspectrogram.onnx");
#ifdef _WIN32
       return missing(path); // Windows reports no "not a directory" of its own
#else
       return "CreateSession: Load model from " + path + " failed:system error number 20";
#endif
     },
     false},
    // Files that are not models.
    {"TextFileNamedOnnx", false, [] { return load_wake(model("not_a_model")); }, -1,
     [] { return "CreateSession: Load model from " + model("not_a_model") + " failed:Protobuf parsing failed."; },
     false},
    {"TextFileNamedOnnxAdded", true, [] { return kalwake_load_model(model("not_a_model").c_str()); }, -1,
     [] { return "CreateSession: Load model from " + model("not_a_model") + " failed:Protobuf parsing failed."; },
     true},
    {"EmptyFile", false, [] { return load_wake(model("empty")); }, -1,
     [] { return "CreateSession: Load model from " + model("empty") + " failed:*ModelProto does not have a graph.\n"; },
     false},
    // Models that load but cannot run: every chunk fails at the stage that meets them.
    {"WakeModelOfIntegers", false, [] { return load_and_write(probe_frontend().dir(), model("wake_int64_input")); },
     -1,
     [] { return text("wake Run: Unexpected input data type. Actual: (tensor(float)) , expected: (tensor(int64))"); },
     false},
    {"MelModelOfDoubles", false, [] { return load_and_write(double_mel().dir(), model("wake_mean_1")); }, -1,
     [] { return text("mel Run: Unexpected input data type. Actual: (tensor(float)) , expected: (tensor(double))"); },
     false},
    {"WakeModelWithoutOutputs", false, [] { return load_and_write(probe_frontend().dir(), model("wake_no_output")); },
     -1, [] { return text("wake SessionGetOutputName: index out of range"); }, false},
    {"MelModelWithoutOutputs", false, [] { return load_and_write(outputless_mel().dir(), model("wake_mean_1")); },
     -1, [] { return text("mel Run: Invalid output name: output"); }, false},
};

class BadInput : public LibraryTest, public ::testing::WithParamInterface<Row> {};

TEST_P(BadInput, GetsItsResultAndMessage) {
  const Row &row = GetParam();
  if (row.loaded) {
    ASSERT_EQ(load_wake(model("wake_mean_1")), 0);
  }
  EXPECT_EQ(row.call(), row.result);
  const std::string expected = row.message();
  EXPECT_TRUE(matches(kalwake_last_error(), expected))
      << "   got: " << kalwake_last_error() << "\nwanted: " << expected;
  if (row.keeps_library) {
    EXPECT_EQ(kalwake_model_count(), 1);
    EXPECT_EQ(harness::write_chunk(0), 1) << kalwake_last_error();
  }
}

INSTANTIATE_TEST_SUITE_P(Table, BadInput, ::testing::ValuesIn(kRows),
                         [](const ::testing::TestParamInfo<Row> &info) {
                           return std::string(info.param.name);
                         });

} // namespace

namespace {

class AbsurdDeclarations : public LibraryTest {};

// The frame count a wake model declares is used by its low 32 bits: 2^32 + 3 reads as 3.
TEST_F(AbsurdDeclarations, AFrameCountBeyondThirtyTwoBitsIsTakenByItsLow32Bits) {
  shim::on_get_dimensions([](int64_t *dims, size_t n) {
    if (n == 3) {
      dims[1] = (int64_t{1} << 32) + 3;
    }
  });
  ASSERT_EQ(load_wake(model("wake_mean_16")), 0);
  shim::on_get_dimensions(nullptr);
  shim::reset();
  // Three rows are fed; the model really takes sixteen, so the runtime refuses the run.
  EXPECT_EQ(harness::write_chunk(-11), -1);
  EXPECT_EQ(std::string(kalwake_last_error()).rfind("wake Run: ", 0), 0u) << kalwake_last_error();
  const auto fed = harness::wake_inputs();
  ASSERT_EQ(fed.size(), 1u);
  EXPECT_EQ(fed[0].shape, (std::vector<int64_t>{1, 3, 96}));
}

} // namespace
