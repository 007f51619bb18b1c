/* The baselines and the C side of the delivery loops.  A delivery is timed as
 * the bus library would make it: a C loop calling a message callback with
 * three texts, here ClosureCallback itself, a minimal copy-and-callback, or a
 * ctypes-made function pointer. */
#define _GNU_SOURCE
#define CAML_NAME_SPACE
#include <caml/alloc.h>
#include <caml/callback.h>
#include <caml/fail.h>
#include <caml/memory.h>
#include <caml/mlvalues.h>
#include <dlfcn.h>
#include <link.h>
#include <stdint.h>
#include <string.h>
#include <time.h>

typedef void (*message_callback)(void *client, void *user_data, int count, char **texts);

static char alpha[] = "alpha", beta[] = "beta", gamma_[] = "gamma";
static char *three_texts[3] = {alpha, beta, gamma_};
#define CLIENT ((void *)0x7f0000001230)

value bench_now(value unit) {
  (void)unit;
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return caml_copy_double((double)now.tv_sec * 1e9 + (double)now.tv_nsec);
}

value bench_empty(value text) {
  (void)text;
  return Val_unit;
}

/* The same nothing as a C function, for ctypes to call. */
static void nothing(const char *text) { __asm__ volatile("" : : "r"(text)); }

value bench_nothing_address(value unit) {
  (void)unit;
  return caml_copy_int64((int64_t)(uintptr_t)nothing);
}

/* ClosureCallback is linked in with libwex_stubs.a in native code; bytecode
 * loads dllwex_stubs.so privately, so it is looked up there. */
extern void ClosureCallback(void *, void *, int, char **) __attribute__((weak));

static int find_stubs(struct dl_phdr_info *info, size_t size, void *found) {
  (void)size;
  const char *name = info->dlpi_name;
  size_t length = strlen(name);
  if (length >= 15 && strcmp(name + length - 15, "dllwex_stubs.so") == 0) {
    void *library = dlopen(name, RTLD_NOW | RTLD_NOLOAD);
    if (library != NULL) *(void **)found = dlsym(library, "ClosureCallback");
    return 1;
  }
  return 0;
}

static message_callback closure_callback(void) {
  void *found = (void *)ClosureCallback;
  if (found == NULL) dl_iterate_phdr(find_stubs, &found);
  if (found == NULL) caml_failwith("ClosureCallback not found");
  return (message_callback)found;
}

value bench_deliver(value closure_name, value iterations) {
  message_callback deliver = closure_callback();
  void *slot = (void *)caml_named_value(String_val(closure_name));
  for (long i = Long_val(iterations); i > 0; i--) deliver(CLIENT, slot, 3, three_texts);
  return Val_unit;
}

/* The least a message callback can do: copy the texts, call the closure. */
static void minimal_callback(void *client, void *slot, int count, char **texts) {
  (void)count;
  const char *argument[4] = {texts[0], texts[1], texts[2], NULL};
  value array = caml_copy_string_array(argument);
  caml_callback2(*(const value *)slot, Val_long((intnat)client), array);
}

value bench_minimal(value closure_name, value iterations) {
  void *slot = (void *)caml_named_value(String_val(closure_name));
  for (long i = Long_val(iterations); i > 0; i--) minimal_callback(CLIENT, slot, 3, three_texts);
  return Val_unit;
}

value bench_call_pointer(value pointer, value iterations) {
  message_callback deliver = (message_callback)(uintptr_t)Int64_val(pointer);
  for (long i = Long_val(iterations); i > 0; i--) deliver(CLIENT, NULL, 3, three_texts);
  return Val_unit;
}
