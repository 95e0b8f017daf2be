// The progress bar: redrawn in place with a carriage return, erased with an ANSI line clear.
#include "progress.h"

#include <cstdio>

namespace kalwake_app {

namespace {

constexpr int kBarWidth = 30;
constexpr auto kMinRedraw = std::chrono::milliseconds(100);

} // namespace

void progress_start(Progress &p, bool enabled, const std::string &label) {
  p.enabled = enabled;
  p.shown = false;
  p.label = label;
  p.last_percent = -1;
  p.last_draw = {};
}

void progress_update(Progress &p, double fraction, double seconds) {
  if (!p.enabled) {
    return;
  }
  const auto now = std::chrono::steady_clock::now();
  const int percent = fraction < 0 ? -1 : static_cast<int>(fraction * 100.0);
  if (p.shown && percent == p.last_percent && now - p.last_draw < kMinRedraw) {
    return;
  }
  p.last_draw = now;
  p.last_percent = percent;
  if (fraction < 0) {
    std::fprintf(stderr, "\r%s  %.1f s\033[K", p.label.c_str(), seconds);
  } else {
    char bar[kBarWidth + 1];
    const int filled = static_cast<int>(fraction * kBarWidth);
    for (int i = 0; i < kBarWidth; ++i) {
      bar[i] = i < filled ? '#' : '.';
    }
    bar[kBarWidth] = '\0';
    std::fprintf(stderr, "\r%s  [%s] %3d%%  %.1f s\033[K", p.label.c_str(), bar, percent, seconds);
  }
  std::fflush(stderr);
  p.shown = true;
}

void progress_clear(Progress &p) {
  if (p.shown) {
    std::fputs("\r\033[K", stderr);
    std::fflush(stderr);
    p.shown = false;
  }
}

} // namespace kalwake_app
