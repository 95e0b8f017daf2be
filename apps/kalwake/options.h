// The command line of kalwake's commands.
#ifndef KALWAKE_APP_OPTIONS_H
#define KALWAKE_APP_OPTIONS_H

#include <string>
#include <vector>

namespace kalwake_app {

// The library holds at most this many wake models.
constexpr int kMaxModels = 8;

struct Options {
  std::string frontend; // "" when not given
  std::vector<std::string> models;
  float threshold = 0.5f;
  bool json = false;
  bool scores = false;
  bool help = false;
  bool version = false;
  std::vector<std::string> inputs;
};

// Parses the arguments after the command name. Options and inputs may come in any order;
// "--" ends the options. Returns false with a message in *error on a usage error.
bool parse_options(int argc, char **argv, Options *opts, std::string *error);

} // namespace kalwake_app

#endif
