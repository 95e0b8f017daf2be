// kalwake: the command-line front of the library, built on the public header only.
#include <cstdio>
#include <cstring>
#include <string>

#include "detect.h"
#include "kalmoris_wakeword.h"
#include "options.h"

namespace {

const char kUsage[] =
    "usage: kalwake detect [--frontend DIR] [--model FILE]... [--threshold T] [--json]\n"
    "                      [--scores] INPUT...\n"
    "       kalwake info [--frontend DIR] [--model FILE]... [--threshold T]\n"
    "       kalwake --help | --version\n";

const char kHelp[] =
    "\n"
    "detect listens for wake words in audio and prints each detection as it happens:\n"
    "the input, the time in the stream (the end of the 80 ms chunk that fired), the wake\n"
    "model's file name and its score. info loads the models and says what it loaded.\n"
    "\n"
    "  INPUT           an audio file libsndfile reads (WAV, FLAC, OGG, ...) at any sample\n"
    "                  rate (resampled to 16 kHz) with any number of channels (mixed to\n"
    "                  mono), or '-' for raw 16-bit little-endian 16 kHz mono PCM on\n"
    "                  standard input, processed as it arrives:\n"
    "                    arecord -f S16_LE -r 16000 -c 1 | kalwake detect -\n"
    "                  Several inputs are separate streams, each starting at 0 s.\n"
    "  --frontend DIR  folder holding melspectrogram.onnx and embedding_model.onnx\n"
    "                  (default: the installed, else the in-tree, default model set)\n"
    "  --model FILE    a wake-word model; give up to 8 (default: hey_kalmoris.onnx in the\n"
    "                  front-end folder)\n"
    "  --threshold T   score at or above which a model fires, 0 < T < 1 (default 0.5)\n"
    "  --json          one JSON object a line: {\"event\":\"detection\", ...}\n"
    "  --scores        also print every model's score after every chunk, for plotting\n"
    "  -h, --help      this text\n"
    "  --version       the program's and library's version\n"
    "\n"
    "Exit status: 0 success, 1 runtime error (unreadable input, model that fails to load\n"
    "or run), 2 usage error.\n";

int usage_error(const std::string &message) {
  std::fprintf(stderr, "kalwake: %s\n%sTry 'kalwake --help'.\n", message.c_str(), kUsage);
  return kalwake_app::kExitUsage;
}

int help() {
  std::fputs(kUsage, stdout);
  std::fputs(kHelp, stdout);
  return kalwake_app::kExitOk;
}

int version() {
  // The library may be a newer build installed beside an older program, or the other way.
  std::printf("kalwake %s (library %s)\n", KALWAKE_PROGRAM_VERSION, kalwake_version());
  return kalwake_app::kExitOk;
}

} // namespace

int main(int argc, char **argv) {
  if (argc < 2) {
    return usage_error("no command given");
  }
  const std::string command = argv[1];
  if (command == "--help" || command == "-h" || command == "help") {
    return help();
  }
  if (command == "--version") {
    return version();
  }
  if (command != "detect" && command != "info") {
    return usage_error("unknown command '" + command + "'");
  }
  kalwake_app::Options opts;
  std::string error;
  if (!kalwake_app::parse_options(argc - 2, argv + 2, &opts, &error)) {
    return usage_error(error);
  }
  if (opts.help) {
    return help();
  }
  if (opts.version) {
    return version();
  }
  return command == "detect" ? kalwake_app::run_detect(opts) : kalwake_app::run_info(opts);
}
