// Tells the service manager, in one line, what the renderer is doing: the
// STATUS= text that `systemctl status` shows. Loop thread only.
//
// The text follows the playback (waiting for a controller, idle with a
// session, playing with the stream's format, paused), the message bus
// (connected or lost) and the HTTP API (not listening while its port is
// taken). It is sent when it changes; the state is looked at once a second
// from a loop timer, and at once when the controller makes the renderer
// active or inactive. Without a service manager nothing runs.
#pragma once

#include <uv.h>

#include <cstdint>
#include <string>

#include "player/player.h"
#include "zorva_connect.h"

struct StatusReporter;
struct ServiceNotifier;
struct MessagingConnection;
struct ConfigServer;

// What the status line is made of.
struct StatusSnapshot {
    PlayerState player_state = PLAYER_STATE_STOPPED;
    bool has_format = false;  // a stream is current
    AudioFormat format{};
    bool active = false;  // a controller has made the renderer active
    std::string session_id;
    bool bus_configured = false;
    bool bus_connected = false;
    bool bus_was_connected = false;
    bool http_waiting_for_port = false;
    uint16_t port = 0;
};

// The status line for a snapshot, for example
// "Playing 44100 Hz, 16-bit, stereo (session 4f2c...); bus connected".
std::string status_text(const StatusSnapshot &snapshot);

// Made before the SDK instance, so that the device delegate the SDK gets is
// the reporter's: it passes every call on to `device` and notes the change.
StatusReporter *status_reporter_new(uv_loop_t *loop, DeviceDelegate device);
DeviceDelegate status_reporter_device_delegate(StatusReporter *reporter);

// Starts reporting through the notifier when a service manager listens.
// Messaging may be absent. Reports the first status at once.
void status_reporter_start(StatusReporter *reporter, ServiceNotifier *notifier, ZrvConnect *sdk, Player *player,
                           MessagingConnection *messaging, ConfigServer *config_server);

// Stops reporting and forgets the components (shutdown frees them); the
// device delegate still passes calls on, since the SDK may call it while it
// is freed. Accepts null.
void status_reporter_stop(StatusReporter *reporter);

// Closes the timer; after the SDK instance is freed. Accepts null.
void status_reporter_free(StatusReporter *reporter);
