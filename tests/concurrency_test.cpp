// Several host threads at once: two writing audio, one polling detections and scores, one
// resetting and counting, one adding models, unloading and loading. Every call's result must
// stay within what the header allows, nothing may crash or deadlock, no runtime object may be
// left behind, and afterwards the library must answer a plain load, write and detection
// correctly. Run under ThreadSanitizer (the tsan preset) this also proves the locking.
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"

using harness::LibraryTest;
using harness::model;
using harness::probe_frontend;

namespace {

using Clock = std::chrono::steady_clock;

// Seconds of stress: KALWAKE_STRESS_SECONDS, else 4.
double stress_seconds() {
  const char *s = std::getenv("KALWAKE_STRESS_SECONDS");
  const double v = s != nullptr ? std::atof(s) : 0.0;
  return v > 0.0 ? v : 4.0;
}

struct Counts {
  std::atomic<long> writes{0}, chunks{0}, write_failures{0}, polls{0}, detections{0}, resets{0},
      loads{0}, adds{0}, unloads{0};
};

// Failures are collected, not asserted, inside the threads: gtest assertions belong on the
// main thread.
struct Faults {
  std::atomic<int> count{0};
  std::atomic<const char *> first{nullptr};
  void note(const char *what) {
    const char *none = nullptr;
    first.compare_exchange_strong(none, what);
    ++count;
  }
};

bool probability_or_nan(float s) {
  return std::isnan(s) || (s >= -0.000001f && s <= 1.000001f);
}

int load_probe(const char *wake) {
  return kalwake_load(probe_frontend().dir().c_str(), model(wake).c_str(), 0.5f);
}

class Concurrency : public LibraryTest {};

TEST_F(Concurrency, ThreadsHammeringEveryCallLeaveTheLibraryCorrect) {
  ASSERT_EQ(load_probe("wake_mean_1"), 0);
  const auto deadline =
      Clock::now() + std::chrono::duration_cast<Clock::duration>(
                         std::chrono::duration<double>(stress_seconds()));
  Counts c;
  Faults f;
  const auto running = [&] { return Clock::now() < deadline; };

  auto writer = [&](unsigned seed) {
    std::mt19937 rng(seed);
    std::vector<int16_t> pcm(4000);
    while (running()) {
      const int n = std::uniform_int_distribution<int>(-1, 4000)(rng);
      const auto v = static_cast<int16_t>(std::uniform_int_distribution<int>(-40, 40)(rng));
      std::fill(pcm.begin(), pcm.end(), v);
      const int r = kalwake_write(pcm.data(), n);
      ++c.writes;
      if (n <= 0 && r != -1) {
        f.note("a write of a non-positive count succeeded");
      } else if (r < -1 || r > (n + 2560) / 1280) {
        f.note("a write gave a chunk count out of range");
      } else if (r < 0) {
        ++c.write_failures; // mostly "not loaded" while another thread reloads
        std::this_thread::yield();
      } else {
        c.chunks += r;
      }
    }
  };
  auto poller = [&] {
    float scores[10];
    while (running()) {
      int32_t index = 0;
      float score = 0.0f;
      const int r = kalwake_triggered(&index, &score);
      if (r == 1) {
        ++c.detections;
        if (index < 0 || index >= 8 || !probability_or_nan(score)) {
          f.note("a detection out of range");
        }
      } else if (r != 0 || index != -1 || score != 0.0f) {
        f.note("no detection did not read 0, -1, 0.0");
      }
      const int s = kalwake_scores(scores, 10);
      if (s == 0) {
        for (float v : scores) {
          if (!probability_or_nan(v)) {
            f.note("a score out of range");
          }
        }
        if (scores[8] != 0.0f || scores[9] != 0.0f) {
          f.note("scores past eight slots not 0.0");
        }
      } else if (s != -1) {
        f.note("scores gave neither 0 nor -1");
      }
      ++c.polls;
    }
  };
  auto resetter = [&] {
    while (running()) {
      kalwake_reset();
      const int n = kalwake_model_count();
      if (n != -1 && (n < 1 || n > 8)) {
        f.note("a model count out of range");
      }
      ++c.resets;
      std::this_thread::yield();
    }
  };
  auto lifecycle = [&] {
    std::mt19937 rng(7);
    const char *wakes[] = {"wake_mean_1", "wake_mean_3", "wake_mean_16", "wake_const_half"};
    while (running()) {
      const int pick = std::uniform_int_distribution<int>(0, 19)(rng);
      if (pick == 0) {
        // Unloaded only briefly, so that most writes find a model set.
        kalwake_unload();
        ++c.unloads;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (load_probe(wakes[0]) != 0) {
          f.note("a good load failed");
        }
        ++c.loads;
      } else if (pick <= 2) {
        // A good model set always loads, whatever the other threads do.
        if (load_probe(wakes[pick % 4]) != 0) {
          f.note("a good load failed");
        }
        ++c.loads;
      } else {
        const bool bad = pick == 19;
        const int r = kalwake_load_model(bad ? "/nonexistent/wake.onnx" : model(wakes[pick % 4]).c_str());
        if (r != -1 && (bad || r < 1 || r > 7)) {
          f.note("an added model got an impossible slot");
        }
        ++c.adds;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  };

  const auto start = Clock::now();
  std::vector<std::thread> threads;
  threads.emplace_back(writer, 1u);
  threads.emplace_back(writer, 2u);
  threads.emplace_back(poller);
  threads.emplace_back(resetter);
  threads.emplace_back(lifecycle);
  for (std::thread &t : threads) {
    t.join();
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  std::printf("stress: %.1f s, %ld writes (%ld chunks, %ld refused or failed), %ld polls "
              "(%ld detections), %ld resets, %ld loads, %ld adds, %ld unloads\n",
              seconds, c.writes.load(), c.chunks.load(), c.write_failures.load(), c.polls.load(),
              c.detections.load(), c.resets.load(), c.loads.load(), c.adds.load(),
              c.unloads.load());
  EXPECT_EQ(f.count.load(), 0) << (f.first.load() != nullptr ? f.first.load() : "");
  EXPECT_GT(c.chunks.load(), 0);
  EXPECT_GT(c.loads.load() + c.adds.load(), 0);

  // Whatever happened, a plain session behaves exactly as on a fresh library.
  ASSERT_EQ(load_probe("wake_mean_1"), 0);
  EXPECT_STREQ(kalwake_last_error(), "no error");
  EXPECT_EQ(kalwake_model_count(), 1);
  EXPECT_EQ(harness::scores(), std::vector<float>{0.0f});
  for (int i = 0; i < 5; ++i) {
    ASSERT_EQ(harness::write_chunk(-11), 1); // warm-up: a score of 0.9, no detection yet
  }
  EXPECT_TRUE(harness::collect().empty());
  ASSERT_EQ(harness::write_chunk(-11), 1);
  EXPECT_EQ(harness::collect(), std::vector<int32_t>{0});
  EXPECT_FLOAT_EQ(harness::scores()[0], 0.9f);
}

// A reload that succeeds replaces the model set under the lock: a call on another thread waits
// for it and then runs with the new set. None may find the library not loaded in between.
TEST_F(Concurrency, CallsDuringASuccessfulReloadWaitForTheNewSet) {
  ASSERT_EQ(load_probe("wake_mean_1"), 0);
  std::atomic<bool> done{false};
  std::atomic<long> calls{0};
  Faults f;
  std::thread other([&] {
    const std::vector<int16_t> pcm(1280, 100);
    while (!done.load()) {
      if (kalwake_write(pcm.data(), static_cast<int>(pcm.size())) != 1) {
        f.note("a write during a reload did not run its chunk");
      }
      if (kalwake_model_count() != 1) {
        f.note("the model count during a reload was not 1");
      }
      float score = 0.0f;
      if (kalwake_scores(&score, 1) != 0) {
        f.note("scores during a reload were refused");
      }
      ++calls;
    }
  });
  for (int i = 0; i < 30; ++i) {
    ASSERT_EQ(load_probe(i % 2 == 0 ? "wake_mean_16" : "wake_mean_1"), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  done.store(true);
  other.join();
  EXPECT_GT(calls.load(), 0);
  EXPECT_EQ(f.count.load(), 0) << (f.first.load() != nullptr ? f.first.load() : "");
}

} // namespace
