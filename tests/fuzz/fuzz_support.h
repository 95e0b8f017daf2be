// Shared pieces of the libFuzzer harnesses: fixture paths, front-end folders, and the
// invariants every harness checks after each call. A broken invariant prints what broke and
// aborts, which libFuzzer reports as a crash with the input that caused it.
#ifndef KALWAKE_TESTS_FUZZ_SUPPORT_H
#define KALWAKE_TESTS_FUZZ_SUPPORT_H

#include <string>

namespace fuzz {

// A fixture model by file stem ("wake_mean_1"), as built by tests/fixtures/make_fixtures.py.
std::string fixture(const std::string &stem);

// A folder holding the two named fixture models as melspectrogram.onnx and
// embedding_model.onnx ("" leaves that file out); made once per process and kept.
const std::string &frontend(const std::string &mel_stem, const std::string &emb_stem);

// A scratch folder of this process, removed at exit.
const std::string &scratch();

[[noreturn]] void broken(const char *what, const std::string &detail);

// After every call: no value, status, name, type info or shape info is left outstanding.
void expect_nothing_outstanding(const char *after);

// The message a failed kalwake_write leaves is one the header documents.
bool documented_write_message(const std::string &message);

// Reads every score through kalwake_scores (with room to spare) and checks that each loaded
// slot holds a probability or NaN and that the slots beyond the count read 0.0.
void expect_sane_scores(int models);

} // namespace fuzz

#define FUZZ_EXPECT(cond, detail)                                                                  \
  do {                                                                                             \
    if (!(cond)) {                                                                                 \
      ::fuzz::broken(#cond, (detail));                                                             \
    }                                                                                              \
  } while (0)

#endif
