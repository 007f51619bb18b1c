// Helpers for the bus tests: wexagent processes driven through pipes, with a
// deadline on every wait so that a fault fails a test instead of hanging it.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

namespace bus_test {

inline std::string tool(const char *name) { return std::string(WEX_BIN_DIR) + "/" + name; }

// The command line of a wexagent named name on the loopback bus of port.
inline std::vector<std::string> agent_args(int port, const std::string &name,
                                           std::vector<std::string> more = {}) {
  std::vector<std::string> a = {tool("wexagent"), "-b", ":" + std::to_string(port), "-n", name};
  a.insert(a.end(), more.begin(), more.end());
  return a;
}

// A port of its own for each bus, so that tests running side by side never
// meet on one bus.
inline int random_port() {
  static std::mt19937 rng(unsigned(getpid()) * 7919u ^
                          unsigned(std::chrono::steady_clock::now().time_since_epoch().count()));
  return 20000 + int(rng() % 40000);
}

inline long long now_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

inline std::vector<std::string> split_tabs(const std::string &line) {
  std::vector<std::string> fields;
  size_t start = 0;
  for (;;) {
    size_t tab = line.find('\t', start);
    fields.push_back(line.substr(start, tab - start));
    if (tab == std::string::npos) return fields;
    start = tab + 1;
  }
}

class Agent {
 public:
  // argv[0] is the program; env entries "NAME=value" are added to ours.
  // With merge_stderr, what it writes on stderr comes among its output lines.
  explicit Agent(std::vector<std::string> argv, std::vector<std::string> env = {},
                 bool merge_stderr = false) {
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) abort();
    pid_ = fork();
    if (pid_ == 0) {
      dup2(in[0], 0);
      dup2(out[1], 1);
      if (merge_stderr) dup2(out[1], 2);
      for (auto &e : env) putenv(const_cast<char *>(e.c_str()));
      std::vector<char *> args;
      for (auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
      args.push_back(nullptr);
      execv(args[0], args.data());
      _exit(127);
    }
    close(in[0]);
    close(out[1]);
    stdin_ = in[1];
    stdout_ = out[0];
  }
  ~Agent() {
    close_input();
    if (pid_ > 0 && !reaped_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (stdout_ >= 0) close(stdout_);
  }
  Agent(const Agent &) = delete;
  Agent &operator=(const Agent &) = delete;

  pid_t pid() const { return pid_; }

  void write(const std::string &text) {
    size_t done = 0;
    while (done < text.size()) {
      ssize_t n = ::write(stdin_, text.data() + done, text.size() - done);
      if (n <= 0) return;
      done += size_t(n);
    }
  }
  void close_input() {
    if (stdin_ >= 0) close(stdin_);
    stdin_ = -1;
  }

  // The next output line, or false when none came before the deadline or the
  // output ended.
  bool next_line(std::string *line, int timeout_ms = 10000) {
    long long deadline = now_ms() + timeout_ms;
    for (;;) {
      size_t nl = buffer_.find('\n');
      if (nl != std::string::npos) {
        *line = buffer_.substr(0, nl);
        buffer_.erase(0, nl + 1);
        return true;
      }
      long long left = deadline - now_ms();
      if (left <= 0 || eof_) return false;
      pollfd p{stdout_, POLLIN, 0};
      if (poll(&p, 1, int(left)) <= 0) continue;
      char chunk[65536];
      ssize_t n = read(stdout_, chunk, sizeof chunk);
      if (n <= 0)
        eof_ = true;
      else
        buffer_.append(chunk, size_t(n));
    }
  }

  // Skips lines until one starts with prefix; false at the deadline.
  bool expect(const std::string &prefix, std::string *line = nullptr, int timeout_ms = 10000) {
    long long deadline = now_ms() + timeout_ms;
    std::string l;
    while (next_line(&l, int(std::max(1LL, deadline - now_ms())))) {
      if (l.compare(0, prefix.size(), prefix) == 0) {
        if (line) *line = l;
        return true;
      }
      seen_.push_back(l);
    }
    return false;
  }

  // Every line until the output ends or the deadline passes.
  std::vector<std::string> rest(int timeout_ms = 10000) {
    std::vector<std::string> lines;
    std::string l;
    long long deadline = now_ms() + timeout_ms;
    while (next_line(&l, int(std::max(1LL, deadline - now_ms())))) lines.push_back(l);
    return lines;
  }

  // Exit status, or -1 when the process is still running at the deadline.
  int wait_exit(int timeout_ms = 10000) {
    long long deadline = now_ms() + timeout_ms;
    while (now_ms() < deadline) {
      int status;
      pid_t r = waitpid(pid_, &status, WNOHANG);
      if (r == pid_) {
        reaped_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      usleep(5000);
    }
    return -1;
  }

  const std::vector<std::string> &skipped() const { return seen_; }

 private:
  pid_t pid_ = -1;
  int stdin_ = -1, stdout_ = -1;
  bool eof_ = false, reaped_ = false;
  std::string buffer_;
  std::vector<std::string> seen_;
};

}  // namespace bus_test
