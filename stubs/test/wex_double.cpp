// A recording double of libwex.so.3 for the boundary tests.  It has the bus
// library's name and operations, so the stub library loads it in place of the
// real one (LD_LIBRARY_PATH), but it does no bus work: every operation appends
// one line to a log with the exact arguments it got (texts after printf-style
// formatting, raw pointers, 32-bit ints, callbacks by their exported names),
// and WexMainLoop replays the callbacks that the test queued, with the
// arguments that the test chose, through the callbacks and user data that the
// stubs registered.  The wexdouble_* functions are the test's controls.
#include <dlfcn.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <deque>
#include <map>
#include <string>
#include <vector>

extern "C" {
typedef struct WexClient *WexClientPtr;
typedef struct WexBinding *WexBindingPtr;
typedef struct WexTimer *WexTimerPtr;
typedef struct WexChannel *WexChannelPtr;
typedef void (*WexApplicationCallback)(WexClientPtr, void *, unsigned int);
typedef void (*WexMsgCallback)(WexClientPtr, void *, int, char **);
typedef void (*WexTimerCallback)(WexTimerPtr, void *, unsigned long);
typedef void (*WexChannelHandler)(WexChannelPtr, int, void *);
typedef void (*WexChannelDelete)(void *);
}

#define EXPORT extern "C" __attribute__((visibility("default")))

namespace {

std::string log_text;
std::string taken_log;

void record(const char *format, ...) __attribute__((format(printf, 1, 2)));
void record(const char *format, ...) {
  char line[4096];
  va_list args;
  va_start(args, format);
  vsnprintf(line, sizeof line, format, args);
  va_end(args);
  log_text += line;
  log_text += '\n';
}

std::string quoted(const char *text) {
  if (text == NULL) return "NULL";
  return std::string("\"") + text + "\"";
}

// An exported function's name, so that the log says which callback was given.
std::string function_name(const void *address) {
  Dl_info info;
  if (address == NULL) return "NULL";
  if (dladdr(address, &info) && info.dli_sname != NULL && info.dli_saddr == address)
    return info.dli_sname;
  char unknown[40];
  snprintf(unknown, sizeof unknown, "?%p", address);
  return unknown;
}

bool chosen_handle = false;
uintptr_t next_handle = 0;
uintptr_t automatic_handle = 0x7ffd00000000;

uintptr_t issue_handle() {
  uintptr_t handle = chosen_handle ? next_handle : (automatic_handle += 0x10);
  chosen_handle = false;
  return handle;
}

struct Registration {
  void *user_data = NULL;
  void *callback = NULL;   // message, timer or read callback
  void *write = NULL;      // channels only
  void *on_delete = NULL;  // channels only
  int fd = 0;
};

WexApplicationCallback app_callback = NULL;
void *app_user_data = NULL;
const char *held_name = NULL;
const char *held_ready = NULL;

std::map<uintptr_t, Registration> bindings, timers, channels;
std::map<uintptr_t, std::pair<std::string, std::string>> clients;

enum Kind { APP, MESSAGE, TIMER, READ, WRITE, DELETE };

struct Event {
  Kind kind = APP;
  uintptr_t target = 0;  // binding, timer or channel
  uintptr_t client = 0;
  unsigned long word = 0;  // event code or third word
  int count = 0;
  std::vector<std::string> texts;
  std::vector<bool> present;  // false: a null entry
};

std::deque<Event> queue;

// The texts of the message being delivered.  They stay allocated until the
// next delivery (a closure may raise and never come back), and are scribbled
// over as soon as the callback returns, so that a text the stubs failed to copy
// shows up as garbage in OCaml.
char **delivered_argv = NULL;
std::vector<std::string> *delivered_texts = NULL;

void release_delivered() {
  free(delivered_argv);
  delivered_argv = NULL;
  delete delivered_texts;
  delivered_texts = NULL;
}

void deliver(const Event &event) {
  switch (event.kind) {
    case APP:
      if (app_callback != NULL)
        app_callback((WexClientPtr)event.client, app_user_data, (unsigned int)event.word);
      break;
    case MESSAGE: {
      auto found = bindings.find(event.target);
      if (found == bindings.end()) return;
      size_t entries = event.count > 0 ? (size_t)event.count : 0;
      delivered_texts = new std::vector<std::string>(event.texts);
      for (size_t i = event.texts.size(); i < entries; i++)
        delivered_texts->push_back(std::to_string(i));
      delivered_argv = (char **)calloc(entries + 1, sizeof(char *));
      for (size_t i = 0; i < entries; i++)
        if (i >= event.present.size() || event.present[i])
          delivered_argv[i] = &(*delivered_texts)[i][0];
      // The bus library's array is not null-terminated: poison the entry
      // after the last so that a stub relying on a terminator fails.
      delivered_argv[entries] = (char *)"past the end";
      ((WexMsgCallback)found->second.callback)((WexClientPtr)event.client, found->second.user_data,
                                               event.count, delivered_argv);
      for (auto &text : *delivered_texts) memset(&text[0], 'X', text.size());
      break;
    }
    case TIMER: {
      auto found = timers.find(event.target);
      if (found == timers.end()) return;
      ((WexTimerCallback)found->second.callback)((WexTimerPtr)event.target, found->second.user_data,
                                                 event.word);
      break;
    }
    case READ:
    case WRITE:
    case DELETE: {
      auto found = channels.find(event.target);
      if (found == channels.end()) return;
      Registration &channel = found->second;
      if (event.kind == DELETE)
        ((WexChannelDelete)channel.on_delete)(channel.user_data);
      else
        ((WexChannelHandler)(event.kind == READ ? channel.callback : channel.write))(
            (WexChannelPtr)event.target, channel.fd, channel.user_data);
      break;
    }
  }
}

}  // namespace

// ---- The bus library's operations ------------------------------------------

EXPORT void WexInit(const char *name, const char *ready, WexApplicationCallback cb, void *user_data,
                    void *reserved1, void *reserved2) {
  record("WexInit name=%s ready=%s cb=%s ud=0x%016lx r1=0x%lx r2=0x%lx", quoted(name).c_str(),
         quoted(ready).c_str(), function_name((void *)cb).c_str(), (uintptr_t)user_data,
         (uintptr_t)reserved1, (uintptr_t)reserved2);
  held_name = name;
  held_ready = ready;
  app_callback = cb;
  app_user_data = user_data;
}

EXPORT void WexStart(const char *bus) { record("WexStart %s", quoted(bus).c_str()); }

EXPORT void WexStop(void) { record("WexStop"); }

EXPORT int WexSendMsg(const char *fmt, ...) {
  va_list args;
  va_start(args, fmt);
  char *text = NULL;
  if (vasprintf(&text, fmt, args) < 0) text = NULL;
  va_end(args);
  record("WexSendMsg %s", quoted(text).c_str());
  free(text);
  return 0;
}

EXPORT WexBindingPtr WexBindMsg(WexMsgCallback cb, void *user_data, const char *fmt, ...) {
  va_list args;
  va_start(args, fmt);
  char *pattern = NULL;
  if (vasprintf(&pattern, fmt, args) < 0) pattern = NULL;
  va_end(args);
  uintptr_t handle = issue_handle();
  record("WexBindMsg cb=%s ud=0x%016lx pattern=%s -> 0x%016lx", function_name((void *)cb).c_str(),
         (uintptr_t)user_data, quoted(pattern).c_str(), handle);
  free(pattern);
  Registration &binding = bindings[handle];
  binding.callback = (void *)cb;
  binding.user_data = user_data;
  return (WexBindingPtr)handle;
}

EXPORT void WexUnbindMsg(WexBindingPtr binding) {
  record("WexUnbindMsg 0x%016lx", (uintptr_t)binding);
}

static const char *client_field(const char *operation, WexClientPtr client, bool host) {
  record("%s 0x%016lx", operation, (uintptr_t)client);
  auto found = clients.find((uintptr_t)client);
  if (found == clients.end()) return NULL;
  return host ? found->second.second.c_str() : found->second.first.c_str();
}

EXPORT const char *WexGetApplicationName(WexClientPtr client) {
  return client_field("WexGetApplicationName", client, false);
}

EXPORT const char *WexGetApplicationHost(WexClientPtr client) {
  return client_field("WexGetApplicationHost", client, true);
}

EXPORT void WexMainLoop(void) {
  record("WexMainLoop");
  while (!queue.empty()) {
    Event event = queue.front();
    queue.pop_front();
    release_delivered();
    deliver(event);
  }
}

EXPORT WexTimerPtr TimerRepeatAfter(int count, long period, WexTimerCallback cb, void *user_data) {
  uintptr_t handle = issue_handle();
  record("TimerRepeatAfter count=%d period=%ld cb=%s ud=0x%016lx -> 0x%016lx", count, period,
         function_name((void *)cb).c_str(), (uintptr_t)user_data, handle);
  Registration &timer = timers[handle];
  timer.callback = (void *)cb;
  timer.user_data = user_data;
  return (WexTimerPtr)handle;
}

EXPORT void TimerRemove(WexTimerPtr timer) { record("TimerRemove 0x%016lx", (uintptr_t)timer); }

EXPORT WexChannelPtr WexChannelAdd(int fd, void *user_data, WexChannelDelete on_delete,
                                   WexChannelHandler on_read, WexChannelHandler on_write) {
  uintptr_t handle = issue_handle();
  record("WexChannelAdd fd=%d ud=0x%016lx delete=%s read=%s write=%s -> 0x%016lx", fd,
         (uintptr_t)user_data, function_name((void *)on_delete).c_str(),
         function_name((void *)on_read).c_str(), function_name((void *)on_write).c_str(), handle);
  Registration &channel = channels[handle];
  channel.callback = (void *)on_read;
  channel.write = (void *)on_write;
  channel.on_delete = (void *)on_delete;
  channel.user_data = user_data;
  channel.fd = fd;
  return (WexChannelPtr)handle;
}

EXPORT void WexChannelRemove(WexChannelPtr channel) {
  record("WexChannelRemove 0x%016lx", (uintptr_t)channel);
}

// ---- Controls for the tests -------------------------------------------------

// The log since the last call, one line per operation; valid until the next call.
EXPORT const char *wexdouble_take_log(void) {
  taken_log.swap(log_text);
  log_text.clear();
  return taken_log.c_str();
}

// The handle that the next WexBindMsg, TimerRepeatAfter or WexChannelAdd returns.
EXPORT void wexdouble_next_handle(uintptr_t handle) {
  chosen_handle = true;
  next_handle = handle;
}

// What the client queries return for a client; a client never named gets NULL.
// Naming it again overwrites the same buffers, as a bus library may.
EXPORT void wexdouble_name_client(uintptr_t client, const char *name, const char *host) {
  auto &entry = clients[client];
  entry.first.assign(name);
  entry.second.assign(host);
}

// The current contents of the texts that the last WexInit handed over.
EXPORT const char *wexdouble_held_name(void) { return held_name; }
EXPORT const char *wexdouble_held_ready(void) { return held_ready; }

EXPORT void wexdouble_queue_app(uintptr_t client, unsigned int code) {
  Event event;
  event.kind = APP;
  event.client = client;
  event.word = code;
  queue.push_back(event);
}

// count entries are delivered: texts[i] for i < ntexts (null ones as NULL),
// then the decimal index of each further entry.
EXPORT void wexdouble_queue_message(uintptr_t binding, uintptr_t client, int count,
                                    const char *const *texts, int ntexts) {
  Event event;
  event.kind = MESSAGE;
  event.target = binding;
  event.client = client;
  event.count = count;
  for (int i = 0; i < ntexts; i++) {
    event.texts.push_back(texts[i] != NULL ? texts[i] : "");
    event.present.push_back(texts[i] != NULL);
  }
  queue.push_back(event);
}

EXPORT void wexdouble_queue_timer(uintptr_t timer, unsigned long third) {
  Event event;
  event.kind = TIMER;
  event.target = timer;
  event.word = third;
  queue.push_back(event);
}

// kind: 0 readable, 1 writable, 2 deleted.
EXPORT void wexdouble_queue_channel(int kind, uintptr_t channel) {
  Event event;
  event.kind = kind == 0 ? READ : kind == 1 ? WRITE : DELETE;
  event.target = channel;
  queue.push_back(event);
}

EXPORT int wexdouble_queued(void) { return (int)queue.size(); }
