// loopdemo: the event loop on its own.  A clock ticks three times while a
// second timer writes three lines into a pipe, which a channel echoes; the
// writer then closes the pipe, the channel sees end of file and removes
// itself, and the loop, with nothing left to watch, returns.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "wex.h"

namespace {

const char *const kLines[] = {"one", "two", "three"};

struct Echo {
  int read_end, write_end;
  std::string pending;  // a partial line
};

void tick(WexTimerPtr, void *, unsigned long n) { std::printf("tick %lu\n", n); }

void write_line(WexTimerPtr, void *user_data, unsigned long n) {
  auto *echo = static_cast<Echo *>(user_data);
  std::string line = std::string(kLines[n - 1]) + "\n";
  if (write(echo->write_end, line.data(), line.size()) != static_cast<ssize_t>(line.size()))
    std::perror("loopdemo: write");
  if (n == 3) {
    close(echo->write_end);
    echo->write_end = -1;
  }
}

void echo_lines(WexChannelPtr channel, int fd, void *user_data) {
  auto *echo = static_cast<Echo *>(user_data);
  char buffer[256];
  ssize_t n = read(fd, buffer, sizeof buffer);
  if (n > 0) {
    echo->pending.append(buffer, n);
    for (size_t end; (end = echo->pending.find('\n')) != std::string::npos;) {
      std::printf("echo: %s\n", echo->pending.substr(0, end).c_str());
      echo->pending.erase(0, end + 1);
    }
    return;
  }
  if (n < 0) std::perror("loopdemo: read");
  std::printf("pipe closed\n");
  WexChannelRemove(channel);
}

void closed(void *user_data) { close(static_cast<Echo *>(user_data)->read_end); }

}  // namespace

int main(int argc, char **argv) {
  if (argc > 1) {
    bool help = std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0;
    std::fprintf(help ? stdout : stderr,
                 "%susage: loopdemo\n"
                 "Runs the wex event loop for about a second: a clock ticks three times while\n"
                 "a pipe echoes three lines, then the loop ends by itself and loopdemo exits.\n",
                 help ? "" : "loopdemo: takes no arguments\n");
    return help ? 0 : 2;
  }
  setvbuf(stdout, nullptr, _IOLBF, 0);
  int fds[2];
  if (pipe(fds) != 0) {
    std::perror("loopdemo: pipe");
    return 1;
  }
  Echo echo{fds[0], fds[1], {}};
  if (!WexChannelAdd(echo.read_end, &echo, closed, echo_lines, nullptr)) return 1;
  TimerRepeatAfter(3, 300, tick, nullptr);
  TimerRepeatAfter(3, 250, write_line, &echo);
  WexMainLoop();
  std::printf("done\n");
  return 0;
}
