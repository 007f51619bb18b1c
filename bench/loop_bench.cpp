// The loop's cost per readable event and per timer expiry, each beside a bare
// epoll loop written for the same work and run in the same process, so that
// the ratio is read off one run on one machine.
//
// Readable events: one byte pings between two pipes; A's handler reads its
// pipe and writes into B's, and B's does the reverse.  Wall time per event.
// Timer expiries: many timers of 1-4 ms run for a while; processor time per
// expiry (the loop sleeps between expiries, and sleeping costs nothing).
// Each figure is the best of several alternated rounds.
#include <sys/epoll.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <queue>
#include <vector>

#include "wex.h"

namespace {

double seconds(clockid_t clock) {
  timespec t;
  clock_gettime(clock, &t);
  return t.tv_sec + t.tv_nsec * 1e-9;
}

int64_t now_ms() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return int64_t{t.tv_sec} * 1000 + t.tv_nsec / 1000000;
}

struct Pipes {
  int a[2], b[2];  // [0] read end, [1] write end
  Pipes() {
    if (pipe(a) != 0 || pipe(b) != 0) {
      std::perror("loop_bench: pipe");
      std::exit(1);
    }
  }
  ~Pipes() {
    for (int fd : {a[0], a[1], b[0], b[1]}) close(fd);
  }
};

// Reads the byte that arrived and sends it on; false once the run is over.
long events_left;
inline bool pass_on(int from, int to) {
  char byte;
  if (read(from, &byte, 1) != 1 || write(to, &byte, 1) != 1) {
    std::perror("loop_bench: ping");
    std::exit(1);
  }
  return --events_left > 0;
}

// ---- Readable events -------------------------------------------------------

struct BareWatch {
  void (*handler)(BareWatch *);
  int from, to;
};
bool bare_running;

void bare_ping(BareWatch *watch) {
  if (!pass_on(watch->from, watch->to)) bare_running = false;
}

double bare_ping_run(long events) {
  Pipes pipes;
  int ep = epoll_create1(EPOLL_CLOEXEC);
  BareWatch a{bare_ping, pipes.a[0], pipes.b[1]}, b{bare_ping, pipes.b[0], pipes.a[1]};
  for (BareWatch *w : {&a, &b}) {
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.ptr = w;
    epoll_ctl(ep, EPOLL_CTL_ADD, w->from, &event);
  }
  events_left = events;
  bare_running = true;
  double start = seconds(CLOCK_MONOTONIC);
  if (write(pipes.a[1], "p", 1) != 1) std::exit(1);
  epoll_event ready[64];
  while (bare_running) {
    int n = epoll_wait(ep, ready, 64, -1);
    for (int i = 0; i < n && bare_running; ++i) {
      auto *w = static_cast<BareWatch *>(ready[i].data.ptr);
      w->handler(w);
    }
  }
  double elapsed = seconds(CLOCK_MONOTONIC) - start;
  close(ep);
  return elapsed / events;
}

struct WexPing {
  int from, to;
  WexChannelPtr channel;
};
WexPing wex_pings[2];

void wex_ping(WexChannelPtr, int, void *user_data) {
  auto *ping = static_cast<WexPing *>(user_data);
  if (!pass_on(ping->from, ping->to)) {
    WexChannelRemove(wex_pings[0].channel);
    WexChannelRemove(wex_pings[1].channel);
  }
}

double wex_ping_run(long events) {
  Pipes pipes;
  wex_pings[0] = {pipes.a[0], pipes.b[1], nullptr};
  wex_pings[1] = {pipes.b[0], pipes.a[1], nullptr};
  for (WexPing &ping : wex_pings)
    ping.channel = WexChannelAdd(ping.from, &ping, nullptr, wex_ping, nullptr);
  events_left = events;
  double start = seconds(CLOCK_MONOTONIC);
  if (write(pipes.a[1], "p", 1) != 1) std::exit(1);
  WexMainLoop();  // ends when the channels are gone
  return (seconds(CLOCK_MONOTONIC) - start) / events;
}

// ---- Timer expiries --------------------------------------------------------

long expiries;

long period_of(int i) { return 1 + i % 4; }

// The same schedule as the loop's: due times on the timer's own grid, missed
// expiries skipped, ties in creation order.
double bare_timer_run(int timers, int run_ms) {
  struct Due {
    int64_t at;
    int id;
    bool operator>(const Due &other) const {
      return at != other.at ? at > other.at : id > other.id;
    }
  };
  struct BareTimer {
    void (*callback)(BareTimer *);
    long period;
  };
  static auto count = [](BareTimer *) { ++expiries; };
  std::vector<BareTimer> table(timers);
  std::priority_queue<Due, std::vector<Due>, std::greater<Due>> heap;
  int ep = epoll_create1(EPOLL_CLOEXEC);
  expiries = 0;
  double start = seconds(CLOCK_PROCESS_CPUTIME_ID);
  int64_t begin = now_ms(), end = begin + run_ms;
  for (int i = 0; i < timers; ++i) {
    table[i] = {count, period_of(i)};
    heap.push({begin + table[i].period, i});
  }
  epoll_event ready[64];
  for (;;) {
    int64_t now = now_ms();
    if (now >= end) break;
    int timeout = std::clamp<int64_t>(std::min(heap.top().at, end) - now, 0, INT32_MAX);
    epoll_wait(ep, ready, 64, timeout);
    now = now_ms();
    while (heap.top().at <= now) {
      Due due = heap.top();
      heap.pop();
      BareTimer &timer = table[due.id];
      int64_t next = due.at + timer.period;
      if (next <= now) next = due.at + ((now - due.at) / timer.period + 1) * timer.period;
      heap.push({next, due.id});
      timer.callback(&timer);
    }
  }
  double cpu = seconds(CLOCK_PROCESS_CPUTIME_ID) - start;
  close(ep);
  return cpu / expiries;
}

void wex_count(WexTimerPtr, void *, unsigned long) { ++expiries; }
void wex_end_run(WexTimerPtr, void *, unsigned long) { WexStop(); }

double wex_timer_run(int timers, int run_ms) {
  std::vector<WexTimerPtr> handles(timers);
  expiries = 0;
  double start = seconds(CLOCK_PROCESS_CPUTIME_ID);
  for (int i = 0; i < timers; ++i)
    handles[i] = TimerRepeatAfter(0, period_of(i), wex_count, nullptr);
  TimerRepeatAfter(1, run_ms, wex_end_run, nullptr);
  WexMainLoop();
  double cpu = seconds(CLOCK_PROCESS_CPUTIME_ID) - start;
  for (WexTimerPtr timer : handles) TimerRemove(timer);
  return cpu / expiries;
}

}  // namespace

int main(int argc, char **argv) {
  long events = 200000;
  int timers = 2000, run_ms = 500, rounds = 5;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--quick") == 0) {
      events = 20000;
      run_ms = 100;
      rounds = 2;
    } else {
      bool help = std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0;
      if (!help) std::fprintf(stderr, "loop_bench: unknown argument '%s'\n", argv[i]);
      std::fprintf(help ? stdout : stderr,
                   "usage: loop_bench [--quick]\n"
                   "Measures the wex loop per readable event (a pipe ping between two channels)\n"
                   "and per timer expiry, beside a bare epoll loop doing the same work, and\n"
                   "prints the ratios.  --quick: a short run, for a smoke test.\n");
      return help ? 0 : 2;
    }
  }
  double bare_ping = 1e9, wex_ping = 1e9, bare_timer = 1e9, wex_timer = 1e9;
  long timer_expiries = 0;
  for (int round = 0; round < rounds; ++round) {
    bare_ping = std::min(bare_ping, bare_ping_run(events));
    wex_ping = std::min(wex_ping, wex_ping_run(events));
    bare_timer = std::min(bare_timer, bare_timer_run(timers, run_ms));
    wex_timer = std::min(wex_timer, wex_timer_run(timers, run_ms));
    timer_expiries = expiries;
  }
  std::printf(
      "readable event (pipe ping, %ld events): bare epoll %.0f ns, wex %.0f ns, ratio %.2f\n",
      events, bare_ping * 1e9, wex_ping * 1e9, wex_ping / bare_ping);
  std::printf(
      "timer expiry (%d timers, %ld expiries a run, cpu): bare epoll %.0f ns, wex %.0f ns, ratio "
      "%.2f\n",
      timers, timer_expiries, bare_timer * 1e9, wex_timer * 1e9, wex_timer / bare_timer);
  return 0;
}
