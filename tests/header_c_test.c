/* The public header is plain C: it compiles as C99 with every warning, and a C program links
 * against the shared library and calls it. */
#include <stdio.h>
#include <string.h>

#include "kalmoris_wakeword.h"

int main(void) {
  int32_t index = 7;
  float score = 1.0f;
  float scores[2];
  if (strcmp(kalwake_version(), "1.0.0") != 0) {
    fprintf(stderr, "version: %s\n", kalwake_version());
    return 1;
  }
  if (strcmp(kalwake_last_error(), "no error") != 0) {
    return 1;
  }
  if (kalwake_model_count() != -1 || kalwake_triggered(&index, &score) != 0 || index != -1 ||
      score != 0.0f || kalwake_scores(scores, 2) != -1 ||
      strcmp(kalwake_last_error(), "not loaded") != 0) {
    return 1;
  }
  return 0;
}
