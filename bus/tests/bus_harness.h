// Helpers for the bus tests: wexagent processes driven through pipes, and
// nats-server processes on loopback for the buses over NATS, with a deadline
// on every wait so that a fault fails a test instead of hanging it.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "wex.h"

namespace bus_test {

inline std::string tool(const char *name) { return std::string(WEX_BIN_DIR) + "/" + name; }

// The command line of a wexagent named name on a bus.
inline std::vector<std::string> agent_args(const std::string &bus, const std::string &name,
                                           std::vector<std::string> more = {}) {
  std::vector<std::string> a = {tool("wexagent"), "-b", bus, "-n", name};
  a.insert(a.end(), more.begin(), more.end());
  return a;
}

// The same on the loopback bus of port.
inline std::vector<std::string> agent_args(int port, const std::string &name,
                                           std::vector<std::string> more = {}) {
  return agent_args(":" + std::to_string(port), name, std::move(more));
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

// ---- NATS servers ----

// A loopback TCP port free at this moment, picked by the kernel: servers of
// tests running side by side never ask for the same one.
inline int free_tcp_port() {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) != 0)
    abort();
  close(fd);
  return ntohs(a.sin_port);
}

// The nats-server program, or "" where it is not installed (Debian puts it
// in /usr/sbin, which a user's PATH may lack).
inline std::string nats_server_binary() {
  std::string path = getenv("PATH") ? getenv("PATH") : "";
  path += ":/usr/sbin:/usr/local/sbin:/usr/bin";
  for (size_t start = 0; start <= path.size();) {
    size_t colon = path.find(':', start);
    std::string dir = path.substr(start, colon - start);
    if (!dir.empty() && access((dir + "/nats-server").c_str(), X_OK) == 0)
      return dir + "/nats-server";
    if (colon == std::string::npos) break;
    start = colon + 1;
  }
  return "";
}

// One HTTP GET on loopback: the body, or "" on any failure.
inline std::string http_get(int port, const std::string &path) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(uint16_t(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  timeval t{2, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &t, sizeof t);
  std::string reply;
  if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0) {
    std::string request = "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
    if (::write(fd, request.data(), request.size()) == ssize_t(request.size())) {
      char chunk[4096];
      for (int i = 0; i < 256; ++i) {
        ssize_t n = read(fd, chunk, sizeof chunk);
        if (n <= 0) break;
        reply.append(chunk, size_t(n));
      }
    }
  }
  close(fd);
  return reply;
}

// A nats-server on 127.0.0.1, killed with the test.  Of a cluster, each node
// knows the others' route ports.
class NatsServer {
 public:
  NatsServer() : port_(free_tcp_port()), monitor_(free_tcp_port()), cluster_(free_tcp_port()) {}
  ~NatsServer() { kill_hard(); }
  NatsServer(const NatsServer &) = delete;
  NatsServer &operator=(const NatsServer &) = delete;

  int port() const { return port_; }
  int cluster_port() const { return cluster_; }
  std::string url() const { return "127.0.0.1:" + std::to_string(port_); }

  // Starts it, with routes to the cluster ports given (none: a lone server).
  void start(const std::vector<int> &routes = {}) {
    std::vector<std::string> argv = {
        nats_server_binary(),    "-a", "127.0.0.1", "-p", std::to_string(port_), "-m",
        std::to_string(monitor_)};
    if (!routes.empty()) {
      std::string list;
      for (int r : routes)
        list += (list.empty() ? "" : ",") + ("nats://127.0.0.1:" + std::to_string(r));
      argv.insert(argv.end(), {"--cluster_name", "wextest", "--cluster",
                               "nats://127.0.0.1:" + std::to_string(cluster_), "--routes", list});
    }
    pid_ = fork();
    if (pid_ == 0) {
      int null = open("/dev/null", O_RDWR);
      dup2(null, 0), dup2(null, 1), dup2(null, 2);
      std::vector<char *> args;
      for (auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
      args.push_back(nullptr);
      execv(args[0], args.data());
      _exit(127);
    }
  }

  // Whether it answers on its monitoring port within the deadline, with
  // routes to this many other nodes.
  bool ready(int routes = 0, int timeout_ms = 15000) const {
    std::string want = "\"num_routes\": " + std::to_string(routes);
    for (long long deadline = now_ms() + timeout_ms; now_ms() < deadline; usleep(20000))
      if (http_get(monitor_, "/routez").find(want) != std::string::npos) return true;
    return false;
  }

  void kill_hard() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  int port_, monitor_, cluster_;
  pid_t pid_ = -1;
};

// Three nodes routed to each other on 127.0.0.1.
struct NatsCluster {
  NatsServer node[3];
  bool start() {
    for (int i = 0; i < 3; ++i)
      node[i].start({node[(i + 1) % 3].cluster_port(), node[(i + 2) % 3].cluster_port()});
    for (auto &n : node)
      if (!n.ready(2)) return false;
    return true;
  }
};

// Why the NATS tests cannot run here, or "" when they can.
inline std::string nats_missing() {
  if (nats_server_binary().empty())
    return "nats-server is not installed (make deps installs it): the NATS bus is not tested";
  char reason[256];
  if (!WexCheckBus("nats://127.0.0.1", reason, sizeof reason))
    return std::string(reason) + ": the NATS bus is not tested";
  return "";
}

}  // namespace bus_test
