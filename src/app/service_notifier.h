// Tells the service manager that started the daemon (systemd, through its
// notification socket) that the daemon is ready, keeps the service
// manager's watchdog fed while the loop turns, and says when shutdown
// begins. Loop thread only. Without a notification socket in the
// environment (NOTIFY_SOCKET) nothing is sent and no handle is made, so
// nothing changes outside a service manager.
#pragma once

#include <uv.h>

struct ServiceNotifier;

// Null only when memory runs out. When a service manager listens, READY=1
// goes out on the loop's first iteration and, when its watchdog is on for
// this process (WATCHDOG_USEC, WATCHDOG_PID), WATCHDOG=1 every half watchdog
// interval from a loop timer: a loop that hangs stops the keep-alives, and
// the service manager restarts the daemon.
ServiceNotifier *service_notifier_new(uv_loop_t *loop);

// True when a service manager listens (NOTIFY_SOCKET is set). Accepts null.
bool service_notifier_is_listening(const ServiceNotifier *notifier);

// Sends STATUS=<text>, the one-line state `systemctl status` shows, when a
// service manager listens.
void service_notifier_status(ServiceNotifier *notifier, const char *text);

// Sends STOPPING=1 and releases the notifier (its timer is closed; the
// handle's memory goes in the close callback). Accepts null.
void service_notifier_stopping_free(ServiceNotifier *notifier);
