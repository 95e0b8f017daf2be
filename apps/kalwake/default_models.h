// Where the default model set is: installed beside the program, or in the source tree.
#ifndef KALWAKE_APP_DEFAULT_MODELS_H
#define KALWAKE_APP_DEFAULT_MODELS_H

#include <string>
#include <vector>

namespace kalwake_app {

// The wake model used when none is named: this file in the front-end folder.
constexpr const char *kDefaultWakeModel = "hey_kalmoris.onnx";

// The folders searched for the default front end, in order: the installed share folder
// relative to the running executable, then the source tree's models folder.
std::vector<std::string> default_frontend_candidates();

// The first candidate that holds both front-end models, or "" when none does.
std::string find_default_frontend(const std::vector<std::string> &candidates);

} // namespace kalwake_app

#endif
