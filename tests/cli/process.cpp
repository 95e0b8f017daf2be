// Child processes with piped standard streams.
#include "process.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>

namespace cli {

namespace {

std::vector<char *> argv_of(const std::string &program, const std::vector<std::string> &args) {
  std::vector<char *> argv;
  argv.push_back(const_cast<char *>(program.c_str()));
  for (const std::string &a : args) {
    argv.push_back(const_cast<char *>(a.c_str()));
  }
  argv.push_back(nullptr);
  return argv;
}

// Starts the program with the given descriptors as its standard streams.
pid_t spawn(const std::string &program, const std::vector<std::string> &args, int in, int out,
            int err, const std::vector<int> &close_in_child) {
  std::vector<char *> argv = argv_of(program, args);
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(in, STDIN_FILENO);
    dup2(out, STDOUT_FILENO);
    dup2(err, STDERR_FILENO);
    for (const int fd : close_in_child) {
      close(fd);
    }
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  return pid;
}

int wait_status(pid_t pid) {
  int st = 0;
  while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

// Pumps `input` into `in` while draining `out` and `err`, until both outputs close.
void pump(int in, int out, int err, const std::string &input, std::string *out_text,
          std::string *err_text) {
  size_t written = 0;
  if (input.empty() && in >= 0) {
    close(in);
    in = -1;
  }
  while (out >= 0 || err >= 0) {
    pollfd fds[3];
    int n = 0;
    if (in >= 0) {
      fds[n++] = {in, POLLOUT, 0};
    }
    if (out >= 0) {
      fds[n++] = {out, POLLIN, 0};
    }
    if (err >= 0) {
      fds[n++] = {err, POLLIN, 0};
    }
    if (poll(fds, static_cast<nfds_t>(n), 60000) <= 0) {
      break; // a hung child: give up and let the test fail on what it has
    }
    for (int i = 0; i < n; ++i) {
      if (fds[i].revents == 0) {
        continue;
      }
      if (fds[i].fd == in) {
        const ssize_t w = write(in, input.data() + written, input.size() - written);
        if (w > 0) {
          written += static_cast<size_t>(w);
        }
        if (w < 0 || written == input.size()) {
          close(in);
          in = -1;
        }
        continue;
      }
      char buf[4096];
      const ssize_t r = read(fds[i].fd, buf, sizeof buf);
      std::string *dest = fds[i].fd == out ? out_text : err_text;
      if (r > 0) {
        dest->append(buf, static_cast<size_t>(r));
      } else if (r == 0 || errno != EINTR) {
        // End of output (a terminal reports EIO once the child has gone).
        close(fds[i].fd);
        (fds[i].fd == out ? out : err) = -1;
      }
    }
  }
  if (in >= 0) {
    close(in);
  }
}

} // namespace

Result run(const std::string &program, const std::vector<std::string> &args,
           const std::string &input) {
  signal(SIGPIPE, SIG_IGN);
  int in[2], out[2], err[2];
  if (pipe(in) != 0 || pipe(out) != 0 || pipe(err) != 0) {
    return {};
  }
  const pid_t pid =
      spawn(program, args, in[0], out[1], err[1], {in[0], in[1], out[0], out[1], err[0], err[1]});
  close(in[0]);
  close(out[1]);
  close(err[1]);
  Result r;
  pump(in[1], out[0], err[0], input, &r.out, &r.err);
  r.status = wait_status(pid);
  return r;
}

Result run_with_terminal_stderr(const std::string &program, const std::vector<std::string> &args) {
  int master = -1, slave = -1;
  int out[2];
  if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0 || pipe(out) != 0) {
    return {};
  }
  const int devnull = open("/dev/null", O_RDONLY);
  const pid_t pid =
      spawn(program, args, devnull, out[1], slave, {master, slave, out[0], out[1], devnull});
  close(devnull);
  close(slave);
  close(out[1]);
  Result r;
  pump(-1, out[0], master, "", &r.out, &r.err);
  r.status = wait_status(pid);
  return r;
}

Child::Child(const std::string &program, const std::vector<std::string> &args) {
  signal(SIGPIPE, SIG_IGN);
  int in[2], out[2], err[2];
  if (pipe(in) != 0 || pipe(out) != 0 || pipe(err) != 0) {
    return;
  }
  pid_ =
      spawn(program, args, in[0], out[1], err[1], {in[0], in[1], out[0], out[1], err[0], err[1]});
  close(in[0]);
  close(out[1]);
  close(err[1]);
  in_ = in[1];
  out_ = out[0];
  err_ = err[0];
}

Child::~Child() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    wait_status(pid_);
  }
  for (const int fd : {in_, out_, err_}) {
    if (fd >= 0) {
      close(fd);
    }
  }
}

bool Child::write_input(const std::string &bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t w = write(in_, bytes.data() + done, bytes.size() - done);
    if (w <= 0) {
      return false;
    }
    done += static_cast<size_t>(w);
  }
  return true;
}

std::string Child::read_until(const std::string &text, int timeout_ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (out_buf_.find(text) == std::string::npos) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      break;
    }
    pollfd fd{out_, POLLIN, 0};
    if (poll(&fd, 1, static_cast<int>(left.count())) <= 0) {
      break;
    }
    char buf[4096];
    const ssize_t r = read(out_, buf, sizeof buf);
    if (r <= 0) {
      break;
    }
    out_buf_.append(buf, static_cast<size_t>(r));
  }
  return out_buf_;
}

void Child::close_input() {
  if (in_ >= 0) {
    close(in_);
    in_ = -1;
  }
}

Result Child::wait() {
  close_input();
  Result r;
  r.out = out_buf_;
  pump(-1, out_, err_, "", &r.out, &r.err);
  out_ = -1;
  err_ = -1;
  r.status = wait_status(pid_);
  pid_ = -1;
  return r;
}

} // namespace cli
