/* The operations of libwex.so.3 that the stubs call, and the shapes of the
 * callbacks that they hand it, declared here rather than taken from wex.h so
 * that the stub library states its own contract.  bus_api_check.cpp includes
 * both headers: a declaration here that drifts from wex.h is a compile error. */
#ifndef WEX_STUBS_BUS_API_H
#define WEX_STUBS_BUS_API_H

extern "C" {

typedef struct WexClient *WexClientPtr;
typedef struct WexBinding *WexBindingPtr;
typedef struct WexTimer *WexTimerPtr;
typedef struct WexChannel *WexChannelPtr;

typedef void (*BusApplicationCallback)(WexClientPtr client, void *user_data, unsigned int event);
typedef void (*BusMessageCallback)(WexClientPtr client, void *user_data, int count, char **texts);
typedef void (*BusTimerCallback)(WexTimerPtr timer, void *user_data, unsigned long third);
typedef void (*BusChannelHandler)(WexChannelPtr channel, int fd, void *user_data);
typedef void (*BusChannelDelete)(void *user_data);

void WexInit(const char *name, const char *ready, BusApplicationCallback cb, void *user_data,
             void *reserved1, void *reserved2);
void WexStart(const char *bus);
void WexStop(void);
void WexMainLoop(void);
int WexSendMsg(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
WexBindingPtr WexBindMsg(BusMessageCallback cb, void *user_data, const char *fmt, ...)
    __attribute__((format(printf, 3, 4)));
void WexUnbindMsg(WexBindingPtr binding);
const char *WexGetApplicationName(WexClientPtr client);
const char *WexGetApplicationHost(WexClientPtr client);
WexTimerPtr TimerRepeatAfter(int count, long period, BusTimerCallback cb, void *user_data);
void TimerRemove(WexTimerPtr timer);
WexChannelPtr WexChannelAdd(int fd, void *user_data, BusChannelDelete on_delete,
                            BusChannelHandler on_read, BusChannelHandler on_write);
void WexChannelRemove(WexChannelPtr channel);
}

#endif
