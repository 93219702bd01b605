// Loop thread only. sd_notify sends one datagram per call on a socket of its
// own and returns at once, so it is cheap enough for a loop callback.
#include "app/service_notifier.h"

#include <systemd/sd-daemon.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "app/log.h"
#include "player/loop_handles.h"

struct ServiceNotifier {
    LoopTimer *timer = nullptr;  // none when no service manager listens
    uint64_t keep_alive_ms = 0;  // 0: the watchdog is off
    bool ready_sent = false;
    bool failure_logged = false;  // one WARNING per run of failures
};

namespace {

void notify(ServiceNotifier *notifier, const char *state) {
    const int result = sd_notify(0, state);
    if (result < 0 && !notifier->failure_logged) {
        app_log(LOG_WARNING, "Unable to notify the service manager (%s): %s", state, std::strerror(-result));
        notifier->failure_logged = true;
    } else if (result > 0) {
        notifier->failure_logged = false;
    }
}

void on_timer(uv_timer_t *handle) noexcept {
    auto *notifier = static_cast<ServiceNotifier *>(uv_handle_get_data(reinterpret_cast<uv_handle_t *>(handle)));
    if (notifier->ready_sent) {
        notify(notifier, "WATCHDOG=1");
        return;
    }
    notify(notifier, "READY=1");
    notifier->ready_sent = true;
}

}  // namespace

ServiceNotifier *service_notifier_new(uv_loop_t *loop) {
    auto *notifier = new (std::nothrow) ServiceNotifier{};
    if (!notifier) return nullptr;
    const char *socket = std::getenv("NOTIFY_SOCKET");
    if (!socket || !*socket) return notifier;

    uint64_t watchdog_us = 0;
    if (sd_watchdog_enabled(0, &watchdog_us) > 0) notifier->keep_alive_ms = std::max<uint64_t>(1, watchdog_us / 2000);
    notifier->timer = loop_timer_new(loop, notifier);
    if (!notifier->timer) {
        delete notifier;
        return nullptr;
    }
    // A zero timeout runs on the loop's first iteration: the loop is up.
    loop_timer_start(notifier->timer, on_timer, 0, notifier->keep_alive_ms);
    if (notifier->keep_alive_ms > 0)
        app_log(LOG_DEBUG, "Service manager watchdog on: keep-alive every %llu ms",
                static_cast<unsigned long long>(notifier->keep_alive_ms));
    else
        app_log(LOG_DEBUG, "Service manager notification on, watchdog off");
    return notifier;
}

bool service_notifier_is_listening(const ServiceNotifier *notifier) { return notifier && notifier->timer; }

void service_notifier_status(ServiceNotifier *notifier, const char *text) {
    if (!service_notifier_is_listening(notifier)) return;
    notify(notifier, ("STATUS=" + std::string(text ? text : "")).c_str());
}

void service_notifier_stopping_free(ServiceNotifier *notifier) {
    if (!notifier) return;
    if (notifier->timer) {
        notify(notifier, "STOPPING=1");
        loop_timer_close(notifier->timer);
    }
    delete notifier;
}
