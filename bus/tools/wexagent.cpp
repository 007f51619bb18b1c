// wexagent: an agent on the bus, driven by its standard input and reporting
// on its standard output in a fixed line format, so that scripts, tests and
// agents written in other languages can talk to it.  The format is part of
// the interface: see usage() below, and change it only by adding.
#include <signal.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "wex.h"

namespace {

const char kUsage[] =
    "usage: wexagent [-b BUS] [-n NAME] [-r READY] [-p PEERS] [-w MS] [-x COUNT] [-c] [-s] [-l]\n"
    "                [PATTERN...]\n"
    "\n"
    "Joins a bus, subscribes to each PATTERN (RE2 syntax), prints what happens on\n"
    "standard output, and sends each line of standard input as a message.  At end of\n"
    "input it waits MS milliseconds (-w, default 0), leaves the bus and exits, once its\n"
    "queued messages are written.\n"
    "\n"
    "  -b BUS    bus \"[ADDRESS][:PORT]\", or \"nats://HOST[:PORT][,HOST[:PORT]...][/BUSNAME]\"\n"
    "            over NATS servers (default: $WEX_BUS, else 127.255.255.255:3110)\n"
    "  -n NAME   agent name (default \"wexagent\")\n"
    "  -r READY  message sent to each peer once it is connected\n"
    "  -p PEERS  read standard input only once PEERS peers are connected\n"
    "  -w MS     stay MS milliseconds after end of input\n"
    "  -x COUNT  leave after COUNT deliveries\n"
    "  -c        command mode: input lines starting with '/' are commands (below)\n"
    "  -s        print a \"sent\" line for every message sent\n"
    "  -l        print the library's diagnostics as \"log\" lines instead of on stderr\n"
    "  -h, --help  this text\n"
    "\n"
    "Output, one event per line, fields separated by one TAB; texts are escaped so\n"
    "that a field never holds a TAB or a newline: \\\\ \\t \\n \\r stand for a\n"
    "backslash, a TAB, a newline and a carriage return, \\xHH for any other control\n"
    "byte (ESC is \\x1b).\n"
    "  connected<TAB>NAME<TAB>HOST              a peer joined\n"
    "  disconnected<TAB>NAME<TAB>HOST<TAB>LOST  a peer left; LOST deliveries queued for it\n"
    "                                           never reached it\n"
    "  msg<TAB>NAME<TAB>INDEX<TAB>COUNT[<TAB>TEXT]...\n"
    "                                           a delivery from peer NAME for the\n"
    "                                           pattern INDEX (0 = first), COUNT texts\n"
    "  sent<TAB>DELIVERIES                      with -s: a message went out (-1: refused)\n"
    "  log<TAB>TEXT                             with -l: a line of the library's log\n"
    "  bound<TAB>INDEX / unbound<TAB>INDEX      command results; \"error<TAB>TEXT\" on failure\n"
    "\n"
    "Commands (-c): /send TEXT (TEXT unescaped as above), /bind PATTERN, /unbind INDEX,\n"
    "/sleep MS (blocks the agent), /wait PEERS, /quit.  \"//TEXT\" sends \"/TEXT\".\n"
    "\n"
    "Environment: WEX_BUS (the bus when -b is not given), WEX_HEARTBEAT_MS (heartbeat\n"
    "period, default 1000; a silent peer is dropped after 4 periods), WEX_MULTICAST_TTL,\n"
    "WEX_SECRET (the bus secret: only agents that share it meet).\n"
    "Exit status: 0, or 2 for bad arguments, a bad bus or a refused pattern.\n";

struct Options {
  const char *bus = "";
  const char *name = "wexagent";
  const char *ready = "";
  long peers = 0;
  long linger_ms = 0;
  long exit_after = 0;
  bool commands = false;
  bool print_sent = false;
  bool log_lines = false;
};

Options options;
std::vector<WexBindingPtr> bindings;
std::string input;
WexChannelPtr stdin_channel = nullptr;
long connected_peers = 0;
long waiting_for = 0;
long deliveries = 0;
bool input_done = false;
bool saw_eof = false;

void out_escaped(const char *text) {
  for (const unsigned char *c = reinterpret_cast<const unsigned char *>(text); *c; ++c) {
    const char *escape = *c == '\\'   ? "\\\\"
                         : *c == '\t' ? "\\t"
                         : *c == '\n' ? "\\n"
                         : *c == '\r' ? "\\r"
                                      : nullptr;
    if (escape)
      fputs(escape, stdout);
    else if (*c < 0x20 || *c == 0x7f)
      printf("\\x%02x", *c);
    else
      putchar(*c);
  }
}

void end_line();

void log_line(const char *text, void *) {
  fputs("log\t", stdout);
  out_escaped(text);
  end_line();
}

void end_line() {
  putchar('\n');
  if (fflush(stdout) != 0) _exit(1);  // nobody is reading any more
}

std::string unescape(const std::string &text) {
  std::string result;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 == text.size()) {
      result += text[i];
      continue;
    }
    char c = text[++i];
    if (c == 'x' && i + 2 < text.size() && isxdigit(text[i + 1]) && isxdigit(text[i + 2])) {
      result += char(std::stoi(text.substr(i + 1, 2), nullptr, 16));
      i += 2;
      continue;
    }
    result += c == 't' ? '\t' : c == 'n' ? '\n' : c == 'r' ? '\r' : c;
  }
  return result;
}

bool parse_count(const char *text, long *out) {
  char *end;
  errno = 0;
  long v = strtol(text, &end, 10);
  if (errno || end == text || *end || v < 0) return false;
  *out = v;
  return true;
}

void leave(WexTimerPtr, void *, unsigned long) { WexStop(); }

void on_input(WexChannelPtr, int fd, void *);
void process_input();

void watch_input() {
  if (!stdin_channel && !input_done)
    stdin_channel = WexChannelAdd(0, nullptr, nullptr, on_input, nullptr);
}

void pause_input() {
  if (stdin_channel) WexChannelRemove(stdin_channel);
  stdin_channel = nullptr;
}

void on_message(WexClientPtr client, void *user_data, int argc, char **argv) {
  const char *name = WexGetApplicationName(client);
  fputs("msg\t", stdout);
  out_escaped(name ? name : "");
  printf("\t%ld\t%d", long(reinterpret_cast<intptr_t>(user_data)), argc);
  for (int i = 0; i < argc; ++i) {
    putchar('\t');
    out_escaped(argv[i]);
  }
  end_line();
  if (options.exit_after > 0 && ++deliveries == options.exit_after) WexStop();
}

void on_peer(WexClientPtr client, void *, unsigned event) {
  const char *name = WexGetApplicationName(client);
  const char *host = WexGetApplicationHost(client);
  fputs(event == WEX_CLIENT_CONNECTED ? "connected\t" : "disconnected\t", stdout);
  out_escaped(name ? name : "");
  putchar('\t');
  out_escaped(host ? host : "");
  if (event == WEX_CLIENT_DISCONNECTED) printf("\t%ld", WexGetApplicationDropped(client));
  end_line();
  connected_peers += event == WEX_CLIENT_CONNECTED ? 1 : -1;
  if (waiting_for > 0 && connected_peers >= waiting_for) {
    waiting_for = 0;
    process_input();
  }
}

void bind(const char *pattern) {
  intptr_t index = intptr_t(bindings.size());
  WexBindingPtr b = WexBindMsg(on_message, reinterpret_cast<void *>(index), "%s", pattern);
  bindings.push_back(b);
  if (options.commands) {
    fputs(b ? "bound\t" : "error\tbad pattern ", stdout);
    printf("%ld", long(index));
    end_line();
  }
}

void send(const std::string &text) {
  int n = WexSendMsg("%s", text.c_str());
  if (options.print_sent) {
    printf("sent\t%d", n);
    end_line();
  }
}

void error_line(const char *what, const std::string &arg) {
  fputs("error\t", stdout);
  fputs(what, stdout);
  putchar(' ');
  out_escaped(arg.c_str());
  end_line();
}

// Returns false when input must pause (waiting for peers).
bool command(const std::string &line) {
  size_t space = line.find(' ');
  std::string verb = line.substr(0, space);
  std::string arg = space == std::string::npos ? "" : line.substr(space + 1);
  long n;
  if (verb == "/send") {
    send(unescape(arg));
  } else if (verb == "/bind") {
    bind(arg.c_str());
  } else if (verb == "/unbind") {
    if (!parse_count(arg.c_str(), &n) || size_t(n) >= bindings.size()) {
      error_line("no such pattern", arg);
    } else {
      WexUnbindMsg(bindings[size_t(n)]);
      printf("unbound\t%ld", n);
      end_line();
    }
  } else if (verb == "/sleep") {
    if (!parse_count(arg.c_str(), &n) || n > 600000) return error_line("bad sleep", arg), true;
    timespec t{n / 1000, (n % 1000) * 1000000};
    while (nanosleep(&t, &t) != 0 && errno == EINTR) {
    }
  } else if (verb == "/wait") {
    if (!parse_count(arg.c_str(), &n)) return error_line("bad peer count", arg), true;
    if (connected_peers < n) {
      waiting_for = n;
      return false;
    }
  } else if (verb == "/quit") {
    input_done = true;
    WexStop();
    return false;
  } else {
    error_line("unknown command", line);
  }
  return true;
}

// Handles complete lines; returns false when input must pause.
bool handle_lines(bool at_eof) {
  size_t start = 0;
  bool go_on = true;
  while (go_on && !input_done) {
    size_t nl = input.find('\n', start);
    if (nl == std::string::npos) {
      if (!at_eof || start == input.size()) break;
      nl = input.size();
    }
    std::string line = input.substr(start, nl - start);
    start = nl + 1 > input.size() ? input.size() : nl + 1;
    if (options.commands && line.size() > 1 && line[0] == '/' && line[1] == '/')
      send(line.substr(1));
    else if (options.commands && !line.empty() && line[0] == '/')
      go_on = command(line);
    else
      send(line);
  }
  input.erase(0, start);
  return go_on;
}

void finish_input() {
  input_done = true;
  pause_input();
  if (options.linger_ms > 0)
    TimerRepeatAfter(1, options.linger_ms, leave, nullptr);
  else
    WexStop();
}

// Handles what is buffered; input stays watched unless a /wait paused it.
void process_input() {
  if (!handle_lines(saw_eof)) {
    pause_input();
    return;
  }
  if (saw_eof)
    finish_input();
  else
    watch_input();
}

void on_input(WexChannelPtr, int fd, void *) {
  char chunk[65536];
  ssize_t n = read(fd, chunk, sizeof chunk);
  if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
  if (n > 0) input.append(chunk, size_t(n));
  if (n <= 0) saw_eof = true;
  process_input();
}

int usage_error(const char *message) {
  fprintf(stderr, "wexagent: %s (try --help)\n", message);
  return 2;
}

}  // namespace

int main(int argc, char **argv) {
  signal(SIGPIPE, SIG_IGN);
  std::vector<const char *> patterns;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "-h" || a == "--help") {
      fputs(kUsage, stdout);
      return 0;
    }
    auto value = [&](const char **out) {
      if (i + 1 >= argc) return false;
      *out = argv[++i];
      return true;
    };
    const char *v = nullptr;
    if (a == "-b" || a == "-n" || a == "-r" || a == "-p" || a == "-w" || a == "-x") {
      if (!value(&v)) return usage_error(("option " + a + " needs a value").c_str());
      bool ok = true;
      if (a == "-b") options.bus = v;
      if (a == "-n") options.name = v;
      if (a == "-r") options.ready = v;
      if (a == "-p") ok = parse_count(v, &options.peers);
      if (a == "-w") ok = parse_count(v, &options.linger_ms);
      if (a == "-x") ok = parse_count(v, &options.exit_after);
      if (!ok) return usage_error(("option " + a + " wants a count, not \"" + v + "\"").c_str());
    } else if (a == "-c") {
      options.commands = true;
    } else if (a == "-s") {
      options.print_sent = true;
    } else if (a == "-l") {
      options.log_lines = true;
    } else if (a == "--") {
      for (++i; i < argc; ++i) patterns.push_back(argv[i]);
    } else if (a.size() > 1 && a[0] == '-') {
      return usage_error(("unknown option " + a).c_str());
    } else {
      patterns.push_back(argv[i]);
    }
  }

  // Checked before anything starts, so that a typo ends the program with an
  // error instead of leaving an agent alone on no bus.
  char reason[256];
  if (!WexCheckBus(options.bus, reason, sizeof reason)) {
    fprintf(stderr, "wexagent: %s\n", reason);
    return 2;
  }

  if (options.log_lines) WexSetLogHandler(log_line, nullptr);
  WexInit(options.name, options.ready, on_peer, nullptr, nullptr, nullptr);
  for (const char *p : patterns) {
    size_t index = bindings.size();
    bind(p);
    if (!bindings[index]) return 2;  // the library said why, in one line
  }
  WexStart(options.bus);
  if (!WexRunning()) return 2;  // the library said why
  if (options.peers > 0)
    waiting_for = options.peers;
  else
    watch_input();
  WexMainLoop();
  return 0;
}
