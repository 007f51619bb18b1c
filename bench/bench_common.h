// What the C++ benchmark programs share: the payload, a clock, the checked
// reading of a count argument and a loopback TCP connection.
#pragma once

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace bench {

constexpr char kPayload[] = "0123456789abcdef0123456789abcdef";  // 32 bytes
constexpr int kPayloadSize = 32;
static_assert(sizeof kPayload == kPayloadSize + 1);

inline double now_s() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// A positive count, or the program ends saying what was wrong.
inline long count_arg(const char *program, const char *text) {
  char *end;
  long v = strtol(text, &end, 10);
  if (*end || v <= 0) {
    fprintf(stderr, "%s: \"%s\" is not a positive count\n", program, text);
    exit(2);
  }
  return v;
}

// One TCP connection on loopback with TCP_NODELAY: the server accepts it
// on port, the client retries its connect for five seconds.
inline int tcp_socket(const char *program, int port, bool server) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(uint16_t(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (server) {
    if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(fd, 1) != 0) {
      fprintf(stderr, "%s: tcp listen on port %d failed\n", program, port);
      exit(1);
    }
    int c = accept(fd, nullptr, nullptr);
    close(fd);
    fd = c;
  } else {
    for (int i = 0; connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0; ++i) {
      if (i == 500) {
        fprintf(stderr, "%s: tcp connect to port %d failed\n", program, port);
        exit(1);
      }
      usleep(10000);
    }
  }
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

}  // namespace bench
