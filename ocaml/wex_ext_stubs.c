/* What the typed library needs of the bus library beyond the nineteen
 * functions of the raw stubs: refusals with their reasons, the delivery
 * count of a send, the runtime lock and signals around the loop's waits,
 * the loop embedded in another, flushing, and where diagnostics go.
 *
 * The collector discipline is that of the raw stubs: no local roots; a stub
 * reads its arguments before anything allocates, and allocates at most once,
 * last.  The wait hooks run inside the loop: the runtime is released only
 * for a wait that may block, and re-acquired before any OCaml code runs;
 * the resume hook, after every wait, runs what became pending meanwhile
 * (signal handlers, which may raise: the loop is made for that).  It also
 * matters between messages: a minor collection that a C allocation starts
 * (the texts of a delivery) leaves the runtime with work pending, and until
 * OCaml code allocates or polls, every C allocation after it takes the
 * runtime's slow path; a delivery closure that allocates nothing never
 * would. */
#define CAML_NAME_SPACE
#include <caml/alloc.h>
#include <caml/callback.h>
#include <caml/mlvalues.h>
#include <caml/signals.h>
#include <stdio.h>
#include <wex.h>

value wex_ext_check_bus(value bus) {
  char reason[256];
  if (WexCheckBus(String_val(bus), reason, sizeof reason)) reason[0] = '\0';
  return caml_copy_string(reason);
}

value wex_ext_set_secret(value secret) {
  WexSetSecret(String_val(secret));
  return Val_unit;
}

value wex_ext_running(value unit) {
  (void)unit;
  return Val_bool(WexRunning());
}

value wex_ext_last_error(value unit) {
  (void)unit;
  return caml_copy_string(WexLastError());
}

/* OCaml strings carry their size, so the bus library's search for a NUL is
 * the one pass over the text. */
value wex_ext_send(value message) {
  return Val_int(WexSendText(String_val(message), caml_string_length(message)));
}
value wex_ext_dropped(value client) {
  /* Handles cross as tagged integers, as in the raw stubs. */
  return Val_long(WexGetApplicationDropped((WexClientPtr)(uintptr_t)(intnat)Long_val(client)));
}

value wex_ext_flush(value timeout_ms) { return Val_int(WexFlush(Int_val(timeout_ms))); }

value wex_ext_loop_descriptor(value unit) {
  (void)unit;
  return Val_int(WexLoopDescriptor());
}

value wex_ext_loop_timeout(value unit) {
  (void)unit;
  return Val_int(WexLoopTimeout());
}

value wex_ext_loop_step(value unit) {
  (void)unit;
  WexLoopStep();
  return Val_unit;
}

static void release_runtime(void *unused) {
  (void)unused;
  caml_enter_blocking_section();
}

static void acquire_runtime(void *unused) {
  (void)unused;
  caml_leave_blocking_section();
}

static void run_signal_handlers(void *unused) {
  (void)unused;
  caml_process_pending_actions();
}

value wex_ext_install_wait_hooks(value unit) {
  (void)unit;
  WexSetWaitHooks(release_runtime, acquire_runtime, run_signal_handlers, NULL);
  return Val_unit;
}

/* The log handler runs inside any call of the bus library, so the closure
 * may not raise out of it: an exception is dropped here. */
static void to_stderr(const char *line, void *unused) {
  (void)unused;
  fprintf(stderr, "wex: %s\n", line);
}

static void to_closure(const char *line, void *unused) {
  (void)unused;
  if (caml_named_value("wex.log") == NULL) return to_stderr(line, NULL);
  value text = caml_copy_string(line);
  /* Read after the allocation, which may have moved the closure. */
  caml_callback_exn(*caml_named_value("wex.log"), text);
}

/* 0: stderr, as by default; 1: the closure registered as "wex.log". */
value wex_ext_set_log(value to_ocaml) {
  WexSetLogHandler(Bool_val(to_ocaml) ? to_closure : to_stderr, NULL);
  return Val_unit;
}
