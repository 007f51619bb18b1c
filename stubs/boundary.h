/* What every primitive and callback of the stub library shares: the
 * conversions between OCaml values and the bus library's native values, and
 * the way an OCaml closure travels through the bus library as user data.
 *
 * Collector discipline.  No function of this library registers local roots.
 * Instead each one is ordered so that no OCaml value is live across anything
 * that can allocate on the OCaml heap or run OCaml code, and that order is the
 * whole of the safety argument:
 *
 *  - A primitive reads all of its OCaml arguments (text pointers, untagged
 *    ints) before the first call that may allocate or run OCaml code: a bus
 *    operation (the bus library may dispatch callbacks inside it) or
 *    caml_copy_string.  It uses none of them afterwards.  A query's
 *    caml_copy_string is its last step and its result is returned at once.
 *    Raising (an unregistered closure name, a failed copy) happens before
 *    anything reaches the bus library.
 *
 *  - A callback makes its one allocation first, if it has one (the string
 *    array of a message), then reads the closure from its slot and tags the
 *    other arguments, none of which allocates, and applies the closure at
 *    once.  Nothing read before the application is used after it.  Reading
 *    the slot only after the allocation matters: a collection during the
 *    allocation may move the closure, and the slot always holds its current
 *    place.
 *
 * Closures cross by name.  The OCaml side registers a closure with
 * Callback.register; the primitive looks the name up once and hands the
 * registry cell's address (the slot) to the bus library as user data.  The
 * cell never moves and is a root of the collector, so the slot stays valid for
 * the life of the process, and re-registering the name changes which closure
 * the next callback calls.  Nothing here ever unregisters a name.
 *
 * Handles cross as OCaml ints: a pointer p becomes the word 2p+1, which the
 * collector sees as an immediate, and comes back by an arithmetic shift.  The
 * round trip is exact because the bus library's handles (like every user-space
 * address) have their two highest bits equal.
 *
 * The callbacks use the raising caml_callback forms on purpose: an exception
 * from a closure unwinds through the bus library's dispatch (which is built to
 * be left that way) and comes out of the primitive that entered the bus
 * library, normally wex_mainLoop.  The runtime is never released: callbacks
 * only ever run on the thread inside the bus library, with the runtime held. */
#ifndef WEX_STUBS_BOUNDARY_H
#define WEX_STUBS_BOUNDARY_H

#define CAML_NAME_SPACE
#include <caml/alloc.h>
#include <caml/callback.h>
#include <caml/fail.h>
#include <caml/mlvalues.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* The nineteen functions that the library exports; everything else is hidden
 * by -fvisibility=hidden. */
#define WEX_EXPORT extern "C" __attribute__((visibility("default")))

namespace boundary {

inline const char *text_of(value string) { return (const char *)String_val(string); }

inline value tag(intnat n) { return (value)((uintnat)n + (uintnat)n + 1); }
inline intnat untag(value v) { return (intnat)v >> 1; }

template <typename Handle>
inline value tag_handle(Handle *handle) {
  return tag((intnat)(uintptr_t)handle);
}
template <typename Handle>
inline Handle *untag_handle(value v) {
  return (Handle *)(uintptr_t)untag(v);
}

/* A descriptor or a repeat count: the low 32 bits, wrapping. */
inline int narrow(value v) { return (int)(uint32_t)(uintnat)untag(v); }
/* A period: the low 32 bits read as signed, widened again. */
inline long narrow_period(value v) { return (long)(int32_t)(uint32_t)(uintnat)untag(v); }

/* Event codes are unsigned: 2^32 - 1 reaches OCaml as a positive int. */
inline value tag_event(unsigned int code) { return tag((intnat)(uint64_t)code); }

/* The registry cell of a closure name, never null: an unregistered name raises
 * Invalid_argument naming the primitive, before the bus library sees a thing. */
inline void *closure_slot(const char *primitive, value closure_name) {
  const value *slot = caml_named_value(text_of(closure_name));
  if (slot == NULL) {
    char message[320];
    snprintf(message, sizeof message, "%s: no closure registered as \"%.256s\"", primitive,
             text_of(closure_name));
    caml_invalid_argument(message);
  }
  return (void *)slot;
}

inline void invoke(void *slot, value argument) { caml_callback(*(const value *)slot, argument); }
inline void invoke(void *slot, value first, value second) {
  caml_callback2(*(const value *)slot, first, second);
}

/* A malloc'ed copy of exactly strlen + 1 bytes, or NULL. */
inline char *copied_text(const char *text) {
  char *copy = (char *)malloc(strlen(text) + 1);
  if (copy != NULL) strcpy(copy, text);
  return copy;
}

}  // namespace boundary

#endif
