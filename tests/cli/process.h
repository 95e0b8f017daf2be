// Runs the built kalwake program as a child process with pipes (or a terminal) for its
// standard streams, so that tests see exactly what a user sees.
#ifndef KALWAKE_TESTS_CLI_PROCESS_H
#define KALWAKE_TESTS_CLI_PROCESS_H

#include <sys/types.h>

#include <string>
#include <vector>

namespace cli {

struct Result {
  int status = -1; // exit status, or -1 when the program did not exit normally
  std::string out;
  std::string err;
};

// Runs the program with these arguments, feeds it `input` on standard input and collects
// its output until it exits.
Result run(const std::string &program, const std::vector<std::string> &args,
           const std::string &input = "");

// Like run, but standard error is a pseudo-terminal (standard input is empty).
Result run_with_terminal_stderr(const std::string &program, const std::vector<std::string> &args);

// A running child whose standard input the test writes piece by piece.
class Child {
public:
  Child(const std::string &program, const std::vector<std::string> &args);
  ~Child();
  Child(const Child &) = delete;
  Child &operator=(const Child &) = delete;

  bool write_input(const std::string &bytes);
  // Reads standard output until it contains `text` or `timeout_ms` pass; returns what it read.
  std::string read_until(const std::string &text, int timeout_ms);
  void close_input();
  Result wait(); // closes standard input, collects the rest and the exit status

private:
  pid_t pid_ = -1;
  int in_ = -1;
  int out_ = -1;
  int err_ = -1;
  std::string out_buf_;
};

} // namespace cli

#endif
