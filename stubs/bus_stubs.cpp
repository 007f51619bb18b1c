// The agent, its messages and its peers.
#include "boundary.h"
#include "bus_api.h"

using namespace boundary;

WEX_EXPORT void app_cb(WexClientPtr client, void *slot, unsigned int event) {
  invoke(slot, tag_handle(client), tag_event(event));
}

// The bus library keeps the name and the ready message for good, so they are
// copied out of the OCaml heap and the copies are never freed.
WEX_EXPORT value wex_init(value name, value ready, value closure_name) {
  void *slot = closure_slot("wex_init", closure_name);
  char *name_copy = copied_text(text_of(name));
  if (name_copy == NULL) caml_raise_out_of_memory();
  char *ready_copy = copied_text(text_of(ready));
  if (ready_copy == NULL) {
    free(name_copy);
    caml_raise_out_of_memory();
  }
  WexInit(name_copy, ready_copy, app_cb, slot, NULL, NULL);
  return Val_unit;
}

WEX_EXPORT value wex_start(value bus) {
  WexStart(text_of(bus));
  return Val_unit;
}

WEX_EXPORT value wex_stop(value) {
  WexStop();
  return Val_unit;
}

// Messages and patterns go through "%s" so that a "%" in them is just a byte.
WEX_EXPORT value wex_sendMsg(value message) {
  WexSendMsg("%s", text_of(message));
  return Val_unit;
}

// A stale client has no name: the bus library gives NULL, OCaml gets "".
WEX_EXPORT value wex_name_of_client(value client) {
  const char *name = WexGetApplicationName(untag_handle<WexClient>(client));
  return caml_copy_string(name != NULL ? name : "");
}

WEX_EXPORT value wex_host_of_client(value client) {
  const char *host = WexGetApplicationHost(untag_handle<WexClient>(client));
  return caml_copy_string(host != NULL ? host : "");
}

// Counts up to this many texts are gathered on the stack.  The count is the
// number of groups in a pattern, which nothing here bounds, and a stack array
// of a million entries would overflow the stack; so a larger count takes a
// heap block, freed before the closure runs because the closure may raise and
// never come back here.
enum { texts_on_stack = 64 };

WEX_EXPORT void ClosureCallback(WexClientPtr client, void *slot, int count, char **texts) {
  if (count < 0) count = 0;
  const char *on_stack[texts_on_stack + 1];
  const char **argument = on_stack;
  if (count > texts_on_stack) {
    argument = (const char **)malloc(((size_t)count + 1) * sizeof *argument);
    if (argument == NULL) caml_raise_out_of_memory();
  }
  for (int i = 0; i < count; i++) argument[i] = texts[i];
  argument[count] = NULL;
  value array = caml_copy_string_array(argument);
  if (argument != on_stack) free(argument);
  invoke(slot, tag_handle(client), array);
}

WEX_EXPORT value wex_bindMsg(value closure_name, value pattern) {
  void *slot = closure_slot("wex_bindMsg", closure_name);
  return tag_handle(WexBindMsg(ClosureCallback, slot, "%s", text_of(pattern)));
}

WEX_EXPORT value wex_unbindMsg(value binding) {
  WexUnbindMsg(untag_handle<WexBinding>(binding));
  return Val_unit;
}
