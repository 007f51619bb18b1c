/* The test programs' reach into the recording double, plus two process-level
 * controls (heap in use, address-space limit) for the tests of failing copies.
 * The double's controls are looked up in the libwex.so.3 already loaded by the
 * stub library, so a test run against the real bus library stops at once. */
#define CAML_NAME_SPACE
#include <caml/alloc.h>
#include <caml/callback.h>
#include <caml/memory.h>
#include <caml/mlvalues.h>
#include <dlfcn.h>
#include <malloc.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>

static void *control(const char *name) {
  static void *double_library = NULL;
  if (double_library == NULL) double_library = dlopen("libwex.so.3", RTLD_NOW | RTLD_NOLOAD);
  void *function = double_library != NULL ? dlsym(double_library, name) : NULL;
  if (function == NULL) {
    fprintf(stderr, "the loaded libwex.so.3 is not the recording double (no %s)\n", name);
    exit(2);
  }
  return function;
}

#define POINTER(v) ((uintptr_t)Int64_val(v))

value double_take_log(value unit) {
  (void)unit;
  const char *(*take)(void) = control("wexdouble_take_log");
  return caml_copy_string(take());
}

value double_next_handle(value handle) {
  void (*set)(uintptr_t) = control("wexdouble_next_handle");
  set(POINTER(handle));
  return Val_unit;
}

value double_name_client(value client, value name, value host) {
  void (*set)(uintptr_t, const char *, const char *) = control("wexdouble_name_client");
  set(POINTER(client), String_val(name), String_val(host));
  return Val_unit;
}

static value held(const char *control_name) {
  const char *(*get)(void) = control(control_name);
  const char *text = get();
  return caml_copy_string(text != NULL ? text : "<none>");
}

value double_held_name(value unit) {
  (void)unit;
  return held("wexdouble_held_name");
}

value double_held_ready(value unit) {
  (void)unit;
  return held("wexdouble_held_ready");
}

value double_queue_app(value client, value code) {
  void (*queue)(uintptr_t, unsigned int) = control("wexdouble_queue_app");
  queue(POINTER(client), (unsigned int)Long_val(code));
  return Val_unit;
}

/* texts: string option array; None is a null entry. */
value double_queue_message(value binding, value client, value count, value texts) {
  void (*queue)(uintptr_t, uintptr_t, int, const char *const *, int) =
      control("wexdouble_queue_message");
  mlsize_t n = Wosize_val(texts);
  const char **pointers = malloc((n + 1) * sizeof *pointers);
  for (mlsize_t i = 0; i < n; i++) {
    value entry = Field(texts, i);
    pointers[i] = Is_block(entry) ? String_val(Field(entry, 0)) : NULL;
  }
  queue(POINTER(binding), POINTER(client), (int)Long_val(count), pointers, (int)n);
  free(pointers);
  return Val_unit;
}

value double_queue_timer(value timer, value third) {
  void (*queue)(uintptr_t, unsigned long) = control("wexdouble_queue_timer");
  queue(POINTER(timer), (unsigned long)Int64_val(third));
  return Val_unit;
}

value double_queue_channel(value kind, value channel) {
  void (*queue)(int, uintptr_t) = control("wexdouble_queue_channel");
  queue(Int_val(kind), POINTER(channel));
  return Val_unit;
}

value double_queued(value unit) {
  (void)unit;
  int (*queued)(void) = control("wexdouble_queued");
  return Val_int(queued());
}

/* The registry cell of a name: what the stubs must hand over as user data. */
value double_slot_of(value name) {
  const value *slot = caml_named_value(String_val(name));
  return caml_copy_int64((int64_t)(uintptr_t)slot);
}

value double_heap_in_use(value unit) {
  (void)unit;
  struct mallinfo2 info = mallinfo2();
  return Val_long((intnat)(info.uordblks + info.hblkhd));
}

static struct rlimit saved_limit;

/* Lets the address space grow by at most [extra] more bytes, so that a large
 * malloc fails while small ones still succeed. */
value double_limit_address_space(value extra) {
  unsigned long pages = 0;
  FILE *statm = fopen("/proc/self/statm", "r");
  if (statm == NULL || fscanf(statm, "%lu", &pages) != 1) exit(2);
  fclose(statm);
  getrlimit(RLIMIT_AS, &saved_limit);
  struct rlimit limit = saved_limit;
  limit.rlim_cur = pages * 4096 + (unsigned long)Long_val(extra);
  if (setrlimit(RLIMIT_AS, &limit) != 0) exit(2);
  return Val_unit;
}

value double_unlimit_address_space(value unit) {
  (void)unit;
  setrlimit(RLIMIT_AS, &saved_limit);
  return Val_unit;
}
