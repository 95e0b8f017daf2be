// Long-run memory figures: many load/unload cycles, then many chunks through a loaded set,
// printing the resident memory as it goes and the runtime objects still held at the end.
//
//   leak_soak [CYCLES [CHUNKS]]     (defaults: 1000 cycles, 100000 chunks)
//
// Resident memory is printed, never judged here: it depends on the allocator and the machine.
// What the program does judge is exact: every value, status, name, type info and shape info
// the library took from the runtime went back, and the unload released every session. Run
// under the asan preset, LeakSanitizer checks the process at exit as well.
#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <psapi.h> // after windows.h, which it needs
#else
#include <sys/resource.h>
#endif

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "kalmoris_wakeword.h"
#include "ort_shim.h"

namespace {

namespace fs = std::filesystem;

#ifdef _WIN32
// The working set is what Windows calls resident memory.
long rss_kib() {
  PROCESS_MEMORY_COUNTERS pmc{};
  if (!GetProcessMemoryInfo(GetCurrentProcess(), &pmc, sizeof pmc)) {
    return -1;
  }
  return static_cast<long>(pmc.WorkingSetSize / 1024);
}

long peak_rss_kib() {
  PROCESS_MEMORY_COUNTERS pmc{};
  if (!GetProcessMemoryInfo(GetCurrentProcess(), &pmc, sizeof pmc)) {
    return -1;
  }
  return static_cast<long>(pmc.PeakWorkingSetSize / 1024);
}
#else
long rss_kib() {
  FILE *f = std::fopen("/proc/self/status", "r");
  if (f == nullptr) {
    return -1;
  }
  char line[256];
  long kib = -1;
  while (std::fgets(line, sizeof line, f) != nullptr) {
    if (std::strncmp(line, "VmRSS:", 6) == 0) {
      kib = std::strtol(line + 6, nullptr, 10);
    }
  }
  std::fclose(f);
  return kib;
}

long peak_rss_kib() {
  struct rusage usage {};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}
#endif

std::string fixture(const char *stem) {
  return std::string(KALWAKE_FIXTURE_DIR) + "/" + stem + ".onnx";
}

int failures = 0;

void check(bool ok, const char *what) {
  if (!ok) {
    std::printf("FAILED: %s (last error: %s)\n", what, kalwake_last_error());
    ++failures;
  }
}

bool nothing_outstanding(const char *when) {
  const shim::Live l = shim::live();
  std::printf("%-22s values %ld, statuses %ld, names %ld, type infos %ld, shape infos %ld, "
              "sessions %ld\n",
              when, l.values, l.statuses, l.names, l.type_infos, l.shape_infos, l.sessions);
  return l.values == 0 && l.statuses == 0 && l.names == 0 && l.type_infos == 0 &&
         l.shape_infos == 0;
}

double seconds_since(std::chrono::steady_clock::time_point t) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

} // namespace

int main(int argc, char **argv) {
  const long cycles = argc > 1 ? std::atol(argv[1]) : 1000;
  const long chunks = argc > 2 ? std::atol(argv[2]) : 100000;
  std::setvbuf(stdout, nullptr, _IOLBF, 0); // LeakSanitizer ends the process without a flush
  shim::keep_records(false); // the shim's own log would grow with every call
  const std::string frontend = std::string(KALWAKE_FIXTURE_DIR) + "/probe-frontend";
  const std::string wakes[] = {fixture("wake_mean_16"), fixture("wake_mean_3"),
                               fixture("wake_mean_1")};
  std::vector<int16_t> pcm(1280 * 4);

  // One cycle first, so that the runtime's one-time set-up is not counted as growth.
  check(kalwake_load(frontend.c_str(), wakes[0].c_str(), 0.5f) == 0, "first load");
  kalwake_unload();
  const long rss_start = rss_kib();
  std::printf("load/unload cycles: %ld (each: load, add two models, one chunk, unload)\n", cycles);
  std::printf("  rss at start        %8ld KiB\n", rss_start);
  auto t = std::chrono::steady_clock::now();
  for (long i = 1; i <= cycles; ++i) {
    const bool ok = kalwake_load(frontend.c_str(), wakes[0].c_str(), 0.5f) == 0 &&
                    kalwake_load_model(wakes[1].c_str()) == 1 &&
                    kalwake_load_model(wakes[2].c_str()) == 2 &&
                    kalwake_write(pcm.data(), 1280) == 1;
    kalwake_unload();
    if (!ok) {
      check(false, "a load/unload cycle");
      break;
    }
    if (cycles >= 10 && i % (cycles / 10) == 0 && i != cycles) {
      std::printf("  rss after %7ld   %8ld KiB\n", i, rss_kib());
    }
  }
  const long rss_cycles = rss_kib();
  std::printf("  rss at end          %8ld KiB (%+ld KiB, %.1f s)\n", rss_cycles,
              rss_cycles - rss_start, seconds_since(t));
  check(shim::live().sessions == 0, "every session released");
  check(nothing_outstanding("after the cycles:"), "runtime objects outstanding");

  check(kalwake_load(frontend.c_str(), wakes[0].c_str(), 0.5f) == 0, "soak load");
  check(kalwake_load_model(wakes[1].c_str()) == 1, "soak add");
  check(kalwake_load_model(wakes[2].c_str()) == 2, "soak add");
  // A warm-up stretch fills the histories before the start figure.
  for (int i = 0; i < 50; ++i) {
    kalwake_write(pcm.data(), 1280);
  }
  const long rss_chunks_start = rss_kib();
  std::printf("chunks: %ld through the probe front end and three wake models\n", chunks);
  std::printf("  rss at start        %8ld KiB\n", rss_chunks_start);
  t = std::chrono::steady_clock::now();
  long done = 0;
  long step = 0;
  float scores[3];
  while (done < chunks && failures == 0) {
    // Blocks of 1 to 4 chunks and odd sizes, values that move the scores up and down.
    const int n = static_cast<int>(1 + (step * 977) % (1280 * 4 - 1));
    for (int j = 0; j < n; ++j) {
      pcm[static_cast<size_t>(j)] = static_cast<int16_t>(((step + j) % 64) - 40);
    }
    const int r = kalwake_write(pcm.data(), n);
    if (r < 0) {
      check(false, "a soak write");
      break;
    }
    done += r;
    while (kalwake_triggered(nullptr, nullptr) == 1) {
    }
    kalwake_scores(scores, 3);
    if (++step % 5000 == 0) {
      kalwake_reset();
    }
    if (chunks >= 10 && r > 0 && done / (chunks / 10) != (done - r) / (chunks / 10) &&
        done < chunks) {
      std::printf("  rss after %7ld   %8ld KiB\n", done, rss_kib());
    }
  }
  const long rss_end = rss_kib();
  std::printf("  rss at end          %8ld KiB (%+ld KiB, %.1f s, %.1f us a chunk)\n", rss_end,
              rss_end - rss_chunks_start, seconds_since(t), 1e6 * seconds_since(t) / done);
  kalwake_unload();
  check(shim::live().sessions == 0, "every session released");
  check(nothing_outstanding("after the chunks:"), "runtime objects outstanding");
  std::printf("peak rss %ld KiB\n", peak_rss_kib());
  std::printf("%s\n", failures == 0 ? "leak_soak: clean" : "leak_soak: FAILED");
  return failures == 0 ? 0 : 1;
}
