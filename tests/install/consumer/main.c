/* A host program built against the installed library only. */
#include <stdio.h>
#include <string.h>

#include <kalmoris_wakeword.h>

int main(void) {
  const int rc = kalwake_load("no-such-folder", "no-such-model.onnx", 0.5f);
  printf("version %s, load %d: %s\n", kalwake_version(), rc, kalwake_last_error());
  /* The runtime is reached (the session creation itself fails), so the install is complete. */
  return (strcmp(kalwake_version(), "1.0.0") == 0 && rc == -1 &&
          strncmp(kalwake_last_error(), "CreateSession: ", 15) == 0)
             ? 0
             : 1;
}
