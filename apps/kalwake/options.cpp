// Argument parsing: long options with their value as the next argument or after '='.
#include "options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace kalwake_app {

namespace {

bool parse_threshold(const std::string &text, float *out) {
  if (text.empty()) {
    return false;
  }
  char *end = nullptr;
  errno = 0;
  const float v = std::strtof(text.c_str(), &end);
  // The library would quietly replace a value outside (0, 1) by 0.5; on the command line
  // such a value is a mistake worth saying so.
  if (errno != 0 || *end != '\0' || !std::isfinite(v) || !(v > 0.0f && v < 1.0f)) {
    return false;
  }
  *out = v;
  return true;
}

} // namespace

bool parse_options(int argc, char **argv, Options *opts, std::string *error) {
  bool options_done = false;
  for (int i = 0; i < argc; ++i) {
    const std::string arg = argv[i];
    if (options_done || arg == "-" || arg.empty() || arg[0] != '-') {
      opts->inputs.push_back(arg);
      continue;
    }
    if (arg == "--") {
      options_done = true;
      continue;
    }
    if (arg == "--help" || arg == "-h") {
      opts->help = true;
      continue;
    }
    if (arg == "--version") {
      opts->version = true;
      continue;
    }
    if (arg == "--json") {
      opts->json = true;
      continue;
    }
    if (arg == "--scores") {
      opts->scores = true;
      continue;
    }
    // Options with a value.
    std::string name = arg;
    std::string value;
    bool has_value = false;
    const size_t eq = arg.find('=');
    if (arg.rfind("--", 0) == 0 && eq != std::string::npos) {
      name = arg.substr(0, eq);
      value = arg.substr(eq + 1);
      has_value = true;
    }
    if (name != "--frontend" && name != "--model" && name != "--threshold") {
      *error = "unknown option '" + arg + "'";
      return false;
    }
    if (!has_value) {
      if (i + 1 >= argc) {
        *error = "option '" + name + "' needs a value";
        return false;
      }
      value = argv[++i];
    }
    if (name == "--frontend") {
      if (value.empty()) {
        *error = "--frontend needs a folder";
        return false;
      }
      opts->frontend = value;
    } else if (name == "--model") {
      if (value.empty()) {
        *error = "--model needs a file";
        return false;
      }
      if (static_cast<int>(opts->models.size()) == kMaxModels) {
        *error = "at most " + std::to_string(kMaxModels) + " wake models can be loaded";
        return false;
      }
      opts->models.push_back(value);
    } else if (!parse_threshold(value, &opts->threshold)) {
      *error = "--threshold must be a number between 0 and 1 (exclusive), not '" + value + "'";
      return false;
    }
  }
  return true;
}

} // namespace kalwake_app
