/*
 * The C side of the write-cost comparison: times kalwake_write on one chunk per call.
 *   write_cost_c FRONTEND_DIR CHUNKS MODEL...
 * Loads the models, writes 20 warm-up chunks, then CHUNKS chunks of the same test signal
 * the Python side writes, and prints the mean cost of one chunk in nanoseconds of this
 * thread's CPU time (the runtime runs on the calling thread), which other work on a shared
 * machine disturbs far less than wall time.
 */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include "kalmoris_wakeword.h"

enum { kChunk = 1280 }; /* samples: 80 ms at 16 kHz */

static double cpu_ns(void) {
  struct timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return (double)t.tv_sec * 1e9 + (double)t.tv_nsec;
}

int main(int argc, char **argv) {
  if (argc < 4) {
    fprintf(stderr, "usage: write_cost_c FRONTEND_DIR CHUNKS MODEL...\n");
    return 2;
  }
  const long chunks = strtol(argv[2], NULL, 10);
  if (kalwake_load(argv[1], argv[3], 0.5f) != 0) {
    fprintf(stderr, "load: %s\n", kalwake_last_error());
    return 1;
  }
  for (int i = 4; i < argc; ++i) {
    if (kalwake_load_model(argv[i]) < 0) {
      fprintf(stderr, "%s: %s\n", argv[i], kalwake_last_error());
      return 1;
    }
  }
  /* Ten chunks of a fixed signal, written in turn; the same values as write_cost.py. */
  static int16_t signal[10][kChunk];
  for (int i = 0; i < 10 * kChunk; ++i) {
    signal[i / kChunk][i % kChunk] = (int16_t)((i * 7919L) % 2001 - 1000);
  }
  for (int i = 0; i < 20; ++i) {
    if (kalwake_write(signal[i % 10], kChunk) != 1) {
      fprintf(stderr, "write: %s\n", kalwake_last_error());
      return 1;
    }
  }
  const double start = cpu_ns();
  for (long i = 0; i < chunks; ++i) {
    if (kalwake_write(signal[i % 10], kChunk) != 1) {
      fprintf(stderr, "write: %s\n", kalwake_last_error());
      return 1;
    }
    while (kalwake_triggered(NULL, NULL)) {
    }
  }
  printf("%.1f\n", (cpu_ns() - start) / (double)chunks);
  kalwake_unload();
  return 0;
}
