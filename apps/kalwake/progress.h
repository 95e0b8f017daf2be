// A one-line progress bar on standard error, drawn only when standard error is a terminal.
#ifndef KALWAKE_APP_PROGRESS_H
#define KALWAKE_APP_PROGRESS_H

#include <chrono>
#include <string>

namespace kalwake_app {

struct Progress {
  bool enabled = false; // standard error is a terminal and the input is a file
  bool shown = false;   // a bar is on the screen now
  std::string label;
  std::chrono::steady_clock::time_point last_draw{};
  int last_percent = -1;
};

// Starts a bar for one input; it stays off unless enabled is true.
void progress_start(Progress &p, bool enabled, const std::string &label);

// Redraws the bar at `fraction` (0 to 1, or -1 when the length is unknown) after `seconds` of
// audio, at most ten times a second unless the percentage changed.
void progress_update(Progress &p, double fraction, double seconds);

// Removes the bar from the screen (before other output, and at the end of an input).
void progress_clear(Progress &p);

} // namespace kalwake_app

#endif
