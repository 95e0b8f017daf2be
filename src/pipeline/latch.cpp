// The trigger latch: warm-up, threshold and cooldown turn a slot's scores into detections.
#include "pipeline/stages.h"

namespace kalwake {

void update_latch(wake_model &m) {
  // Counting stops once the slot is armed: the count cannot overflow and an armed slot stays
  // armed until the next reset.
  if (m.armed == 0) {
    ++m.n_pred;
    if (m.n_pred > kWarmupPredictions) {
      m.armed = 1;
    }
  }
  // The cooldown runs down before the test, so a detection blocks the next 7 predictions.
  if (m.cooldown > 0) {
    --m.cooldown;
  }
  // Ordered comparison: a NaN score never fires.
  if (m.armed != 0 && m.cooldown == 0 && m.score >= m.threshold) {
    m.triggered = 1;
    m.cooldown = kCooldownPredictions;
  }
}

} // namespace kalwake
