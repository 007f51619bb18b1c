// The floors under the bus's round trip on loopback: what an event loop of
// nothing but the system calls costs, beside blocking TCP (bus_bench
// tcp-rtt).  Each mode is an echo server and a client that ping-pong 32
// bytes over one TCP connection:
//
//   epoll          non-blocking sockets, epoll_wait without a timeout, then
//                  recv and send: the three calls of a hop of the bus
//   epoll-timeout  the same with a timeout on every wait, as a loop with a
//                  pending timer would pass it
//   uring          io_uring: the reply's send and the next receive submitted
//                  together, one io_uring_enter per hop (built with liburing)
//
//   rtt_floor MODE server PORT | rtt_floor MODE client PORT COUNT
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "bench_common.h"

#ifdef WEX_HAVE_URING
#include <liburing.h>
#endif

namespace {

char buf[65536];  // a receive as large as the bus asks for

// Each returns the number of round trips done: count for a client, until the
// peer closes for a server (count 0).
long run_epoll(int fd, long count, int timeout_ms) {
  fcntl(fd, F_SETFL, O_NONBLOCK);
  int ep = epoll_create1(EPOLL_CLOEXEC);
  epoll_event interest{};
  interest.events = EPOLLIN;
  epoll_ctl(ep, EPOLL_CTL_ADD, fd, &interest);
  if (count) send(fd, bench::kPayload, bench::kPayloadSize, 0);
  long done = 0;
  for (;;) {
    epoll_event ready[8];
    if (epoll_wait(ep, ready, 8, timeout_ms) <= 0) continue;
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n == 0 || (n < 0 && errno != EAGAIN)) break;
    if (n < 0) continue;
    if (count && ++done == count) break;
    send(fd, buf, size_t(n), 0);
  }
  close(ep);
  return done;
}

#ifdef WEX_HAVE_URING
long run_uring(int fd, long count) {
  io_uring ring;
  io_uring_params params{};
  params.flags = IORING_SETUP_SINGLE_ISSUER | IORING_SETUP_DEFER_TASKRUN;
  if (io_uring_queue_init_params(8, &ring, &params) != 0 && io_uring_queue_init(8, &ring, 0) != 0) {
    fprintf(stderr, "rtt_floor: io_uring refused by this kernel\n");
    exit(1);
  }
  auto queue = [&](bool is_send, size_t size) {
    io_uring_sqe *sqe = io_uring_get_sqe(&ring);
    if (is_send)
      io_uring_prep_send(sqe, fd, buf, size, 0);
    else
      io_uring_prep_recv(sqe, fd, buf, sizeof buf, 0);
    sqe->user_data = is_send;
  };
  if (count) queue(true, bench::kPayloadSize);
  queue(false, 0);
  long done = 0;
  for (;;) {
    int received = -1;
    while (received < 0) {
      io_uring_submit_and_wait(&ring, 1);
      io_uring_cqe *cqe;
      while (io_uring_peek_cqe(&ring, &cqe) == 0) {
        if (cqe->user_data == 0) received = cqe->res < 0 ? 0 : cqe->res;
        io_uring_cqe_seen(&ring, cqe);
      }
    }
    if (received == 0 || (count && ++done == count)) break;
    queue(true, size_t(received));
    queue(false, 0);
  }
  io_uring_queue_exit(&ring);
  return done;
}
#endif

}  // namespace

int main(int argc, char **argv) {
  std::string mode = argc > 1 ? argv[1] : "";
  bool client = argc > 2 && !strcmp(argv[2], "client");
  if (argc < 4 || (client && argc < 5) || (!client && strcmp(argv[2], "server"))) {
    bool help = argc > 1 && (mode == "--help" || mode == "-h");
    fprintf(help ? stdout : stderr,
            "usage: rtt_floor epoll|epoll-timeout|uring server PORT\n"
            "       rtt_floor epoll|epoll-timeout|uring client PORT COUNT\n"
            "The round trip of 32 bytes over loopback TCP through a bare event loop.\n");
    return help ? 0 : 2;
  }
  long count = client ? bench::count_arg("rtt_floor", argv[4]) : 0;
  int port = int(bench::count_arg("rtt_floor", argv[3]));
  long (*run)(int, long) = nullptr;
  if (mode == "epoll") run = [](int fd, long n) { return run_epoll(fd, n, -1); };
  if (mode == "epoll-timeout") run = [](int fd, long n) { return run_epoll(fd, n, 1000); };
#ifdef WEX_HAVE_URING
  if (mode == "uring") run = run_uring;
#endif
  if (run == nullptr) {
    fprintf(stderr, "rtt_floor: mode \"%s\" unknown or not built here\n", mode.c_str());
    return 2;
  }
  int fd = bench::tcp_socket("rtt_floor", port, !client);
  double start = bench::now_s();
  long done = run(fd, count);
  if (client)
    printf("%s round trip: %.2f us\n", mode.c_str(), (bench::now_s() - start) / double(done) * 1e6);
  close(fd);
  return 0;
}
