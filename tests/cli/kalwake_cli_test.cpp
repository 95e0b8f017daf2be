// The kalwake program, driven as a user drives it: generated audio files and raw PCM on
// standard input go in, detections with their stream times, error messages and exit
// statuses come out. The probe front end lets the audio's levels choose every score.
#include <gtest/gtest.h>
#include <sndfile.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "audio_files.h"
#include "process.h"

namespace fs = std::filesystem;

namespace {

const std::string kProgram = KALWAKE_PROGRAM;
const std::string kFixtures = KALWAKE_FIXTURE_DIR;
const std::string kProbeFrontend = kFixtures + "/probe-frontend";

std::string model(const std::string &stem) {
  return kFixtures + "/" + stem + ".onnx";
}

std::vector<std::string> lines_of(const std::string &text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    lines.push_back(line);
  }
  return lines;
}

std::vector<std::string> lines_with(const std::string &text, const std::string &needle) {
  std::vector<std::string> found;
  for (const std::string &line : lines_of(text)) {
    if (line.find(needle) != std::string::npos) {
      found.push_back(line);
    }
  }
  return found;
}

// The numbers of a JSON scores line's "scores" array (null read as NaN).
std::vector<float> json_scores(const std::string &line) {
  std::vector<float> v;
  size_t at = line.find("\"scores\":[");
  if (at == std::string::npos) {
    return v;
  }
  at += 10;
  while (at < line.size() && line[at] != ']') {
    if (line.compare(at, 4, "null") == 0) {
      v.push_back(NAN);
      at += 4;
    } else {
      char *end = nullptr;
      v.push_back(std::strtof(line.c_str() + at, &end));
      at = static_cast<size_t>(end - line.c_str());
    }
    if (line[at] == ',') {
      ++at;
    }
  }
  return v;
}

// Off for 10 chunks, on for 10, off for 5, then 700 samples short of a 26th chunk. With the
// warm-up and the cooldown of 7 chunks after a detection, wake_mean_1 fires on chunks 11 and
// 19: at 0.88 s and 1.52 s.
cli::Levels standard_levels() {
  cli::Levels l;
  l.per_chunk.assign(10, cli::kOff);
  l.per_chunk.insert(l.per_chunk.end(), 10, cli::kOn);
  l.per_chunk.insert(l.per_chunk.end(), 5, cli::kOff);
  l.tail_samples = 700;
  return l;
}

class KalwakeCli : public ::testing::Test {
protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "kalwake-cli-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  std::string file(const std::string &name) const { return dir_ + "/" + name; }

  std::string wav16(const std::string &name, const cli::Levels &levels) {
    const std::string path = file(name);
    cli::write_audio(path, 16000, SF_FORMAT_WAV | SF_FORMAT_PCM_16, {cli::render(levels, 16000)});
    return path;
  }

  // kalwake detect on the probe front end with these wake models and further arguments.
  cli::Result detect(const std::vector<std::string> &models, std::vector<std::string> args,
                     const std::string &input = "") {
    std::vector<std::string> all = {"detect", "--frontend", kProbeFrontend};
    for (const std::string &m : models) {
      all.push_back("--model");
      all.push_back(model(m));
    }
    all.insert(all.end(), args.begin(), args.end());
    return cli::run(kProgram, all, input);
  }

  std::string dir_;
};

TEST_F(KalwakeCli, Wav16kHzDetectionsCarryTheirChunkTimes) {
  const std::string wav = wav16("speech.wav", standard_levels());
  const cli::Result r = detect({"wake_mean_1"}, {wav});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, wav + "  0.88 s  wake_mean_1.onnx  score 0.8808\n" + wav +
                       "  1.52 s  wake_mean_1.onnx  score 0.8808\n");

  // The same as JSON lines; options may also follow the input.
  const cli::Result j = cli::run(kProgram, {"detect", wav, "--json", "--frontend=" + kProbeFrontend,
                                            "--model=" + model("wake_mean_1")});
  EXPECT_EQ(j.status, 0) << j.err;
  EXPECT_EQ(j.out, "{\"event\":\"detection\",\"input\":\"" + wav +
                       "\",\"chunk\":11,\"time\":0.88,\"model\":\"wake_mean_1.onnx\",\"index\":0,"
                       "\"score\":0.880797029}\n"
                       "{\"event\":\"detection\",\"input\":\"" +
                       wav +
                       "\",\"chunk\":19,\"time\":1.52,\"model\":\"wake_mean_1.onnx\",\"index\":0,"
                       "\"score\":0.880797029}\n");
}

TEST_F(KalwakeCli, ScoresArePrintedForEveryWholeChunkOfEveryModel) {
  const std::string wav = wav16("speech.wav", standard_levels());
  const cli::Result r = detect({"wake_const_half", "wake_mean_1"}, {"--scores", "--json", wav});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::vector<std::string> scores = lines_with(r.out, "\"event\":\"scores\"");
  // 25 whole chunks; the 700 trailing samples make no chunk.
  ASSERT_EQ(scores.size(), 25u);
  EXPECT_EQ(scores[0], "{\"event\":\"scores\",\"input\":\"" + wav +
                           "\",\"chunk\":1,\"time\":0.08,\"scores\":[0.5,0]}");
  EXPECT_NE(scores[24].find("\"chunk\":25,\"time\":2.00,"), std::string::npos) << scores[24];
  for (size_t k = 0; k < scores.size(); ++k) {
    const std::vector<float> s = json_scores(scores[k]);
    ASSERT_EQ(s.size(), 2u);
    EXPECT_EQ(s[0], 0.5f);
    EXPECT_NEAR(s[1], (k >= 10 && k < 20) ? 0.8808f : 0.0f, 1e-3f) << "chunk " << k + 1;
  }
  // Both models fire: slot 0 (always 0.5, at the threshold) from chunk 6 on every 8th chunk,
  // slot 1 on chunks 11 and 19. Each detection follows its chunk's scores line.
  const std::vector<std::string> lines = lines_of(r.out);
  std::vector<std::string> detections;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].find("\"event\":\"detection\"") != std::string::npos) {
      ASSERT_GT(i, 0u);
      const size_t chunk_at = lines[i].find("\"chunk\":");
      const std::string chunk = lines[i].substr(chunk_at, lines[i].find(',', chunk_at) - chunk_at);
      // The nearest scores line above belongs to the same chunk.
      size_t j = i - 1;
      while (lines[j].find("\"event\":\"scores\"") == std::string::npos) {
        --j;
      }
      EXPECT_NE(lines[j].find(chunk + ","), std::string::npos) << lines[i];
      detections.push_back(chunk + " " + lines[i].substr(lines[i].find("\"model\":")));
    }
  }
  EXPECT_EQ(detections,
            (std::vector<std::string>{
                "\"chunk\":6 \"model\":\"wake_const_half.onnx\",\"index\":0,\"score\":0.5}",
                "\"chunk\":11 \"model\":\"wake_mean_1.onnx\",\"index\":1,\"score\":0.880797029}",
                "\"chunk\":14 \"model\":\"wake_const_half.onnx\",\"index\":0,\"score\":0.5}",
                "\"chunk\":19 \"model\":\"wake_mean_1.onnx\",\"index\":1,\"score\":0.880797029}",
                "\"chunk\":22 \"model\":\"wake_const_half.onnx\",\"index\":0,\"score\":0.5}"}));

  // As text: one line a chunk with every model's score.
  const cli::Result t = detect({"wake_mean_1", "wake_const_half"}, {"--scores", wav});
  ASSERT_EQ(t.status, 0) << t.err;
  const std::vector<std::string> text = lines_with(t.out, " scores ");
  ASSERT_EQ(text.size(), 25u);
  EXPECT_EQ(text[10], wav + "  0.88 s  scores 0.8808 0.5000");
}

TEST_F(KalwakeCli, JsonLinesStayValidUtf8WhateverTheFileName) {
  // A well-formed "é" is kept; a stray byte, a cut-short sequence and an overlong form are not
  // UTF-8 and each of their bytes becomes U+FFFD.
  const std::string wav = wav16("caf\xC3\xA9-\xFF-\xE6\x97-\xC0\xAF.wav", standard_levels());
  const cli::Result r = cli::run(kProgram, {"detect", "--json", "--frontend", kProbeFrontend,
                                            "--model", model("wake_mean_1"), wav});
  EXPECT_EQ(r.status, 0) << r.err;
  const std::string shown = wav.substr(0, wav.size() - 17) + "caf\xC3\xA9-\\ufffd-\\ufffd\\ufffd-" +
                            "\\ufffd\\ufffd.wav";
  const std::vector<std::string> lines = lines_of(r.out);
  ASSERT_EQ(lines.size(), 2u) << r.out;
  for (const std::string &line : lines) {
    EXPECT_NE(line.find("\"input\":\"" + shown + "\""), std::string::npos) << line;
  }
}

TEST_F(KalwakeCli, NanScoresAreNullInJsonAndNeverFire) {
  const std::string wav = wav16("speech.wav", standard_levels());
  const cli::Result r = detect({"wake_const_nan"}, {"--scores", "--json", wav});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(lines_with(r.out, "\"scores\":[null]").size(), 25u);
  EXPECT_TRUE(lines_with(r.out, "detection").empty());
}

TEST_F(KalwakeCli, Stereo44kHzIsMixedToMonoAndResampled) {
  // Left and right differ; only their mean gives the intended levels. Chunks 11 to 20: +600 and
  // -600 (mean 0, fires); chunks 21 to 25: -4 and -20 (mean -12, read as the probability 0.8;
  // the left channel alone would give 0.832, the sum 0.4, the right channel 0).
  cli::Levels left, right;
  left.per_chunk.assign(10, cli::kOff);
  right.per_chunk.assign(10, cli::kOff);
  left.per_chunk.insert(left.per_chunk.end(), 10, 600);
  right.per_chunk.insert(right.per_chunk.end(), 10, -600);
  left.per_chunk.insert(left.per_chunk.end(), 5, -4);
  right.per_chunk.insert(right.per_chunk.end(), 5, -20);
  const std::string wav = file("stereo.wav");
  cli::write_audio(wav, 44100, SF_FORMAT_WAV | SF_FORMAT_PCM_16,
                   {cli::render(left, 44100), cli::render(right, 44100)});

  const cli::Result r = detect({"wake_mean_1"}, {"--json", "--scores", wav});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::vector<std::string> detections = lines_with(r.out, "\"event\":\"detection\"");
  ASSERT_EQ(detections.size(), 2u) << r.out;
  EXPECT_NE(detections[0].find("\"chunk\":11,\"time\":0.88,"), std::string::npos);
  EXPECT_NE(detections[1].find("\"chunk\":19,\"time\":1.52,"), std::string::npos);
  const std::vector<std::string> scores = lines_with(r.out, "\"event\":\"scores\"");
  ASSERT_EQ(scores.size(), 25u);
  for (size_t k = 20; k < 25; ++k) {
    EXPECT_NEAR(json_scores(scores[k])[0], 0.8f, 0.01f) << scores[k];
  }
}

TEST_F(KalwakeCli, FlacAt48kHzGivesTheSameDetections) {
  const std::string flac = file("speech.flac");
  cli::write_audio(flac, 48000, SF_FORMAT_FLAC | SF_FORMAT_PCM_16,
                   {cli::render(standard_levels(), 48000)});
  const cli::Result r = detect({"wake_mean_1"}, {flac});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, flac + "  0.88 s  wake_mean_1.onnx  score 0.8808\n" + flac +
                       "  1.52 s  wake_mean_1.onnx  score 0.8808\n");
}

TEST_F(KalwakeCli, OggVorbisIsDecoded) {
  // Lossy: only the number of chunks is exact, the levels are not.
  const std::string ogg = file("speech.ogg");
  cli::write_audio(ogg, 16000, SF_FORMAT_OGG | SF_FORMAT_VORBIS,
                   {cli::render(standard_levels(), 16000)});
  const cli::Result r = detect({"wake_mean_1"}, {"--scores", ogg});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(lines_with(r.out, " scores ").size(), 25u) << r.out;
}

TEST_F(KalwakeCli, RawPcmOnStandardInput) {
  // An odd byte at the end is half a sample and is dropped.
  const std::string pcm = cli::raw_le16(cli::render(standard_levels(), 16000)) + "\x01";
  const cli::Result r = detect({"wake_mean_1"}, {"-"}, pcm);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "stdin  0.88 s  wake_mean_1.onnx  score 0.8808\n"
                   "stdin  1.52 s  wake_mean_1.onnx  score 0.8808\n");
}

TEST_F(KalwakeCli, StandardInputIsProcessedAsItArrives) {
  cli::Child child(kProgram,
                   {"detect", "--frontend", kProbeFrontend, "--model", model("wake_mean_1"), "-"});
  // Six chunks of an "on" level: the sixth prediction fires. The program must report it while
  // standard input is still open, in pieces that split samples and chunks.
  cli::Levels on;
  on.per_chunk.assign(6, cli::kOn);
  const std::string pcm = cli::raw_le16(cli::render(on, 16000));
  ASSERT_TRUE(child.write_input(pcm.substr(0, 1001)));
  ASSERT_TRUE(child.write_input(pcm.substr(1001)));
  const std::string seen = child.read_until("\n", 20000);
  EXPECT_EQ(seen, "stdin  0.48 s  wake_mean_1.onnx  score 0.8808\n");
  const cli::Result r = child.wait();
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, seen);
}

TEST_F(KalwakeCli, SeveralInputsAreSeparateStreams) {
  // The first input ends 700 samples into a chunk, right after a detection: neither its
  // pending samples nor its cooldown may reach the next input, whose times start at zero and
  // whose models warm up again.
  cli::Levels first;
  first.per_chunk.assign(5, cli::kOff);
  first.per_chunk.insert(first.per_chunk.end(), 2, cli::kOn);
  first.tail_samples = 700;
  cli::Levels second;
  second.per_chunk.assign(7, cli::kOn);
  const std::string a = wav16("a.wav", first);
  const std::string b = wav16("b.wav", second);
  const std::string pcm = cli::raw_le16(cli::render(second, 16000));
  const cli::Result r = detect({"wake_mean_1"}, {a, "-", b}, pcm);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, a +
                       "  0.48 s  wake_mean_1.onnx  score 0.8808\n"
                       "stdin  0.48 s  wake_mean_1.onnx  score 0.8808\n" +
                       b + "  0.48 s  wake_mean_1.onnx  score 0.8808\n");
}

TEST_F(KalwakeCli, ThresholdDecidesWhatFires) {
  // Level 0 scores 0.8808, level 500 scores 1.0.
  cli::Levels l;
  l.per_chunk.assign(10, cli::kOn);
  l.per_chunk.insert(l.per_chunk.end(), 10, 500);
  const std::string wav = wav16("speech.wav", l);
  const cli::Result high = detect({"wake_mean_1"}, {"--threshold", "0.9", wav});
  EXPECT_EQ(high.status, 0) << high.err;
  EXPECT_EQ(high.out, wav + "  0.88 s  wake_mean_1.onnx  score 1.0000\n" + wav +
                          "  1.52 s  wake_mean_1.onnx  score 1.0000\n");
  const cli::Result low = detect({"wake_mean_1"}, {"--threshold=0.88", wav});
  EXPECT_EQ(lines_of(low.out).front(), wav + "  0.48 s  wake_mean_1.onnx  score 0.8808");
}

TEST_F(KalwakeCli, UnreadableInputsAreReportedAndTheOthersStillRun) {
  const std::string good = wav16("good.wav", standard_levels());
  const std::string text = file("notes.wav");
  std::ofstream(text) << "not audio at all\n";
  const std::string missing = file("missing.wav");
  const cli::Result r = detect({"wake_mean_1"}, {missing, text, good, dir_});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "kalwake: " + missing + ": No such file or directory\n" + "kalwake: " + text +
                       ": unreadable audio format (Format not recognised.)\n" + "kalwake: " + dir_ +
                       ": is a directory\n");
  EXPECT_EQ(lines_with(r.out, good).size(), 2u) << r.out;
}

TEST_F(KalwakeCli, OutputThatCannotBeWrittenIsARuntimeError) {
  const std::string wav = wav16("speech.wav", standard_levels());
  const std::string err = file("err.txt");
  // Two detections go to a device that is always full: they are lost, so the run failed.
  const std::string command = "'" + kProgram + "' detect --frontend '" + kProbeFrontend +
                              "' --model '" + model("wake_mean_1") + "' '" + wav +
                              "' >/dev/full 2>'" + err + "'";
  const int status = std::system(command.c_str());
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1);
  std::ifstream in(err);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(text, "kalwake: cannot write the output: No space left on device\n");
}

TEST_F(KalwakeCli, ModelFailuresPrintTheLibraryMessage) {
  const std::string wav = wav16("speech.wav", standard_levels());

  cli::Result r = detect({"not_a_model"}, {wav});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err.rfind("kalwake: cannot load the models (front end " + kProbeFrontend +
                            ", wake model " + model("not_a_model") + "): CreateSession: ",
                        0),
            0u)
      << r.err;

  r = detect({"wake_mean_1", "missing_model"}, {wav});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err.rfind("kalwake: cannot load the wake model " + model("missing_model") +
                            ": CreateSession: ",
                        0),
            0u)
      << r.err;

  r = cli::run(kProgram,
               {"detect", "--frontend", file("nowhere"), "--model", model("wake_mean_1"), wav});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "kalwake: the front-end folder " + file("nowhere") + " does not exist\n");

  // A front end without the default wake model, and no --model.
  r = cli::run(kProgram, {"detect", "--frontend", kProbeFrontend, wav});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "kalwake: no --model given, and the front-end folder has no default wake "
                   "model (" +
                       kProbeFrontend + "/hey_kalmoris.onnx)\n");

  // A model that loads but fails to run (it wants 20 embeddings): the first chunk fails.
  r = detect({"wake_mean_20"}, {wav});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err.rfind("kalwake: " + wav + ": detection failed at 0.08 s: wake Run: ", 0), 0u)
      << r.err;
}

TEST_F(KalwakeCli, UsageErrorsExitWithTwo) {
  const std::string wav = wav16("speech.wav", standard_levels());
  const std::string m = model("wake_mean_1");
  const struct {
    std::vector<std::string> args;
    std::string message;
  } cases[] = {
      {{}, "kalwake: no command given\n"},
      {{"listen", wav}, "kalwake: unknown command 'listen'\n"},
      {{"detect", "--model", m, "--loud", wav}, "kalwake: unknown option '--loud'\n"},
      {{"detect", wav, "--model"}, "kalwake: option '--model' needs a value\n"},
      {{"detect", "--model", m}, "kalwake: no INPUT given\n"},
      {{"detect", "--model", m, "--threshold", "abc", wav},
       "kalwake: --threshold must be a number between 0 and 1 (exclusive), not 'abc'\n"},
      {{"detect", "--model", m, "--threshold", "1", wav},
       "kalwake: --threshold must be a number between 0 and 1 (exclusive), not '1'\n"},
      {{"detect", "--model", m, "--threshold=0", wav},
       "kalwake: --threshold must be a number between 0 and 1 (exclusive), not '0'\n"},
      {{"detect", "--model", m, "--threshold", "nan", wav},
       "kalwake: --threshold must be a number between 0 and 1 (exclusive), not 'nan'\n"},
      {{"detect", "--model", m, "-", "-"}, "kalwake: standard input ('-') can be read only once\n"},
      {{"detect", "--model", m, "--model", m, "--model", m, "--model", m, "--model",
        m,        "--model", m, "--model", m, "--model", m, "--model", m, wav},
       "kalwake: at most 8 wake models can be loaded\n"},
  };
  for (const auto &c : cases) {
    const cli::Result r = cli::run(kProgram, c.args);
    EXPECT_EQ(r.status, 2) << c.message;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind(c.message, 0), 0u) << r.err;
    EXPECT_NE(r.err.find("Try 'kalwake --help'."), std::string::npos) << r.err;
  }
}

TEST_F(KalwakeCli, HelpAndVersion) {
  for (const auto &args : {std::vector<std::string>{"--help"}, {"detect", "--help"}, {"-h"}}) {
    const cli::Result r = cli::run(kProgram, args);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind("usage: kalwake detect [--frontend DIR] [--model FILE]...", 0), 0u);
    EXPECT_NE(r.out.find("arecord -f S16_LE -r 16000 -c 1 | kalwake detect -"), std::string::npos);
    EXPECT_EQ(r.err, "");
  }
  const cli::Result v = cli::run(kProgram, {"--version"});
  EXPECT_EQ(v.status, 0);
  EXPECT_EQ(v.out, "kalwake 1.0.0 (library 1.0.0)\n");
}

TEST_F(KalwakeCli, DefaultModelSetIsFoundBesideAnInstalledProgram) {
  // An install layout: PREFIX/bin/kalwake and PREFIX/share/kalmoris-wakeword/models.
  const fs::path prefix = file("prefix");
  const fs::path models = prefix / "share/kalmoris-wakeword/models";
  fs::create_directories(prefix / "bin");
  fs::create_directories(models);
  fs::copy_file(kProgram, prefix / "bin/kalwake");
  fs::copy_file(model("mel_avg"), models / "melspectrogram.onnx");
  fs::copy_file(model("emb_frames"), models / "embedding_model.onnx");
  fs::copy_file(model("wake_mean_1"), models / "hey_kalmoris.onnx");
  const std::string wav = wav16("speech.wav", standard_levels());

  const cli::Result r = cli::run((prefix / "bin/kalwake").string(), {"detect", wav});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, wav + "  0.88 s  hey_kalmoris.onnx  score 0.8808\n" + wav +
                       "  1.52 s  hey_kalmoris.onnx  score 0.8808\n");

  // A wake model named on the command line replaces the default one.
  const cli::Result other = cli::run((prefix / "bin/kalwake").string(),
                                     {"detect", "--model", model("wake_const_half"), wav});
  EXPECT_EQ(other.status, 0) << other.err;
  EXPECT_EQ(lines_of(other.out).front(), wav + "  0.48 s  wake_const_half.onnx  score 0.5000");

  const cli::Result info = cli::run((prefix / "bin/kalwake").string(), {"info"});
  EXPECT_EQ(info.status, 0) << info.err;
  const std::string dir = (prefix / "bin/../share/kalmoris-wakeword/models").string();
  EXPECT_EQ(info.out, "kalmoris-wakeword 1.0.0\nfront end: " + dir + "\nwake model 0: " + dir +
                          "/hey_kalmoris.onnx\nthreshold: 0.5\n");
}

TEST_F(KalwakeCli, ProgressBarOnlyWhenStandardErrorIsATerminal) {
  const std::string wav = wav16("speech.wav", standard_levels());
  const std::vector<std::string> args = {"detect",  "--frontend",         kProbeFrontend,
                                         "--model", model("wake_mean_1"), wav};
  const cli::Result tty = cli::run_with_terminal_stderr(kProgram, args);
  EXPECT_EQ(tty.status, 0);
  EXPECT_NE(tty.err.find("[##############################] 100%"), std::string::npos) << tty.err;
  // The bar is erased at the end, and the detections on standard output are untouched.
  EXPECT_EQ(tty.err.substr(tty.err.size() - 4), "\r\033[K");
  EXPECT_EQ(lines_of(tty.out).size(), 2u);

  const cli::Result piped = cli::run(kProgram, args);
  EXPECT_EQ(piped.err, "");
}

} // namespace
