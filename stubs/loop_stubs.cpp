// The loop, its timers, and the program's own descriptors watched by it.
#include "boundary.h"
#include "bus_api.h"

using namespace boundary;

WEX_EXPORT value wex_mainLoop(value) {
  WexMainLoop();
  return Val_unit;
}

WEX_EXPORT void timer_cb(WexTimerPtr timer, void *slot, unsigned long) {
  invoke(slot, tag_handle(timer));
}

WEX_EXPORT value wex_timerRepeatafter(value count, value period, value closure_name) {
  void *slot = closure_slot("wex_timerRepeatafter", closure_name);
  return tag_handle(TimerRepeatAfter(narrow(count), narrow_period(period), timer_cb, slot));
}

WEX_EXPORT value wex_timerRemove(value timer) {
  TimerRemove(untag_handle<WexTimer>(timer));
  return Val_unit;
}

WEX_EXPORT void cb_read_channel(WexChannelPtr channel, int, void *slot) {
  invoke(slot, tag_handle(channel));
}

// Channels are watched for reading only, and the read closure stays
// registered, so neither of these has anything to do.
WEX_EXPORT void cb_write_channel(WexChannelPtr, int, void *) {}
WEX_EXPORT void cb_delete_channel(void *) {}

WEX_EXPORT value wex_channelSetUp(value fd, value closure_name) {
  void *slot = closure_slot("wex_channelSetUp", closure_name);
  return tag_handle(
      WexChannelAdd(narrow(fd), slot, cb_delete_channel, cb_read_channel, cb_write_channel));
}

WEX_EXPORT value wex_channelClose(value channel) {
  WexChannelRemove(untag_handle<WexChannel>(channel));
  return Val_unit;
}
