// kalwake: the command-line front of the library, built on the public header only.
//   kalwake info FRONTEND_DIR MODEL...   loads the models and prints the version and count
#include <cstdio>
#include <cstring>

#include "kalmoris_wakeword.h"

namespace {

int usage(FILE *to) {
  std::fprintf(to, "usage: kalwake info FRONTEND_DIR MODEL...\n"
                   "       kalwake --version\n");
  return to == stderr ? 2 : 0;
}

int info(int argc, char **argv) {
  if (argc < 2) {
    return usage(stderr);
  }
  if (kalwake_load(argv[0], argv[1], 0.5f) != 0) {
    std::fprintf(stderr, "kalwake: %s\n", kalwake_last_error());
    return 1;
  }
  for (int i = 2; i < argc; ++i) {
    if (kalwake_load_model(argv[i]) < 0) {
      std::fprintf(stderr, "kalwake: %s: %s\n", argv[i], kalwake_last_error());
      kalwake_unload();
      return 1;
    }
  }
  std::printf("kalmoris-wakeword %s: %d wake model(s) loaded from %s\n", kalwake_version(),
              kalwake_model_count(), argv[0]);
  kalwake_unload();
  return 0;
}

} // namespace

int main(int argc, char **argv) {
  if (argc >= 2 && std::strcmp(argv[1], "--version") == 0) {
    std::printf("kalwake %s\n", kalwake_version());
    return 0;
  }
  if (argc >= 2 && std::strcmp(argv[1], "--help") == 0) {
    return usage(stdout);
  }
  if (argc >= 2 && std::strcmp(argv[1], "info") == 0) {
    return info(argc - 2, argv + 2);
  }
  return usage(stderr);
}
