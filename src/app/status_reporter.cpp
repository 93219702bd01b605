// Loop thread only: the SDK calls its delegates there, the timer runs there.
#include "app/status_reporter.h"

#include <new>

#include "app/guarded.h"
#include "app/service_notifier.h"
#include "config_server/config_server.h"
#include "messaging/messaging_connection.h"
#include "player/loop_handles.h"
#include "player/stream_manager.h"

struct StatusReporter {
    uv_loop_t *loop = nullptr;
    DeviceDelegate device{};  // the DeviceInfo's, to pass calls on to
    LoopTimer *timer = nullptr;
    ServiceNotifier *notifier = nullptr;
    ZrvConnect *sdk = nullptr;
    Player *player = nullptr;
    MessagingConnection *messaging = nullptr;
    ConfigServer *config_server = nullptr;
    bool active = false;
    std::string session_id;  // fetched when the renderer becomes active
    bool bus_was_connected = false;
    std::string sent;  // the last text sent
};

namespace {

constexpr uint64_t poll_interval_ms = 1000;

std::string format_text(const AudioFormat &format) {
    std::string text = std::to_string(format.sample_rate);
    text += " Hz, ";
    text += format.sample_format == ZRV_SAMPLE_FORMAT_S16      ? "16-bit"
            : format.sample_format == ZRV_SAMPLE_FORMAT_S24_32 ? "24-bit"
                                                               : "32-bit";
    text += ", ";
    if (format.channels == 1)
        text += "mono";
    else if (format.channels == 2)
        text += "stereo";
    else {
        text += std::to_string(format.channels);
        text += " channels";
    }
    return text;
}

void report(StatusReporter &reporter) {
    if (!reporter.notifier || !reporter.player) return;
    StatusSnapshot snapshot;
    snapshot.player_state = player_state(reporter.player);
    if (const AudioStream *current = stream_manager_current(player_streams(reporter.player))) {
        snapshot.has_format = true;
        snapshot.format = audio_stream_format(current);
    }
    snapshot.active = reporter.active;
    snapshot.session_id = reporter.session_id;
    if (reporter.messaging) {
        snapshot.bus_configured = true;
        snapshot.bus_connected = messaging_connection_is_connected(reporter.messaging);
        if (snapshot.bus_connected) reporter.bus_was_connected = true;
        snapshot.bus_was_connected = reporter.bus_was_connected;
    }
    if (reporter.config_server) {
        snapshot.http_waiting_for_port = config_server_is_waiting_for_port(reporter.config_server);
        snapshot.port = config_server_port(reporter.config_server);
    }
    std::string text = status_text(snapshot);
    if (text == reporter.sent) return;
    service_notifier_status(reporter.notifier, text.c_str());
    reporter.sent = std::move(text);
}

void on_poll(uv_timer_t *handle) noexcept {
    auto *reporter = static_cast<StatusReporter *>(uv_handle_get_data(reinterpret_cast<uv_handle_t *>(handle)));
    guarded("the service status", [&] { report(*reporter); });
}

void on_renderer_active_changed(ZrvConnect *sdk, bool active, void *user) {
    auto *reporter = static_cast<StatusReporter *>(user);
    if (reporter->device.renderer_active_changed)
        reporter->device.renderer_active_changed(sdk, active, reporter->device.user);
    guarded("the service status", [&] {
        reporter->active = active;
        reporter->session_id.clear();
        if (!reporter->notifier) return;
        const char *session = nullptr;
        if (active && reporter->sdk && zrv_connect_get_session_id(reporter->sdk, &session) == ZRV_OK && session)
            reporter->session_id = session;
        report(*reporter);
    });
}

}  // namespace

std::string status_text(const StatusSnapshot &s) {
    std::string text;
    switch (s.player_state) {
        case PLAYER_STATE_PLAYING:
        case PLAYER_STATE_SEEKING_PLAYING:
            text = "Playing";
            if (s.has_format) {
                text += ' ';
                text += format_text(s.format);
            }
            break;
        case PLAYER_STATE_PAUSED:
        case PLAYER_STATE_SEEKING_PAUSED:
            text = "Paused";
            break;
        default:
            text = s.active ? "Idle, controller connected" : "Waiting for a controller";
            break;
    }
    if (!s.session_id.empty() && (s.active || s.player_state != PLAYER_STATE_STOPPED)) {
        text += " (session ";
        text += s.session_id;
        text += ')';
    }
    if (s.bus_configured)
        text += s.bus_connected       ? "; bus connected"
                : s.bus_was_connected ? "; bus lost, reconnecting"
                                      : "; bus connecting";
    if (s.http_waiting_for_port) {
        text += "; HTTP API not listening: port ";
        text += std::to_string(s.port);
        text += " is in use, retrying";
    }
    return text;
}

StatusReporter *status_reporter_new(uv_loop_t *loop, DeviceDelegate device) {
    auto *reporter = new (std::nothrow) StatusReporter{};
    if (!reporter) return nullptr;
    reporter->loop = loop;
    reporter->device = device;
    return reporter;
}

DeviceDelegate status_reporter_device_delegate(StatusReporter *reporter) {
    return DeviceDelegate{reporter, on_renderer_active_changed};
}

void status_reporter_start(StatusReporter *reporter, ServiceNotifier *notifier, ZrvConnect *sdk, Player *player,
                           MessagingConnection *messaging, ConfigServer *config_server) {
    if (!reporter || !service_notifier_is_listening(notifier)) return;
    reporter->sdk = sdk;
    reporter->player = player;
    reporter->messaging = messaging;
    reporter->config_server = config_server;
    reporter->timer = loop_timer_new(reporter->loop, reporter);
    if (!reporter->timer) return;
    reporter->notifier = notifier;
    // The first status goes out with the loop's first iteration.
    loop_timer_start(reporter->timer, on_poll, 0, poll_interval_ms);
}

void status_reporter_stop(StatusReporter *reporter) {
    if (!reporter) return;
    if (reporter->timer) loop_timer_stop(reporter->timer);
    reporter->notifier = nullptr;
    reporter->sdk = nullptr;
    reporter->player = nullptr;
    reporter->messaging = nullptr;
    reporter->config_server = nullptr;
}

void status_reporter_free(StatusReporter *reporter) {
    if (!reporter) return;
    status_reporter_stop(reporter);
    loop_timer_close(reporter->timer);
    delete reporter;
}
