// The commands of kalwake: `detect` listens for wake words in audio, `info` loads a model set
// and says what it holds.
#ifndef KALWAKE_APP_DETECT_H
#define KALWAKE_APP_DETECT_H

#include "options.h"

namespace kalwake_app {

// Exit statuses.
constexpr int kExitOk = 0;
constexpr int kExitRuntime = 1;
constexpr int kExitUsage = 2;

int run_detect(const Options &opts);
int run_info(const Options &opts);

} // namespace kalwake_app

#endif
