// Compiled with the library but contributes no code: it fails to compile when
// bus_api.h and the bus library's public header disagree.  Redeclaring a
// C-linkage function with other parameter or result types is an error, and the
// callback shapes are compared below.
#include <wex.h>

#include "bus_api.h"

template <typename A, typename B>
struct same_type {
  static constexpr bool value = false;
};
template <typename A>
struct same_type<A, A> {
  static constexpr bool value = true;
};

static_assert(same_type<BusApplicationCallback, WexApplicationCallback>::value,
              "application callback");
static_assert(same_type<BusMessageCallback, WexMsgCallback>::value, "message callback");
static_assert(same_type<BusTimerCallback, WexTimerCallback>::value, "timer callback");
static_assert(same_type<BusChannelHandler, WexChannelHandler>::value, "channel handler");
static_assert(same_type<BusChannelDelete, WexChannelDelete>::value, "channel delete callback");
