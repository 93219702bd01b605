// The process-wide state through which loop callbacks reach the daemon's
// long-lived objects, its wiring and its shutdown. Wiring runs on the main
// thread before the loop runs; shutdown runs on the loop thread.
#pragma once

#include <uv.h>

#include <memory>
#include <string>

#include "app/command_executor.h"
#include "app/device_info.h"
#include "app/service_notifier.h"
#include "app/status_reporter.h"
#include "config_server/config_server.h"
#include "discovery/mdns_advertiser.h"
#include "messaging/event_publisher.h"
#include "messaging/messaging_connection.h"
#include "player/loop_handles.h"
#include "player/player.h"
#include "volume/volume_bridge.h"
#include "zorva_connect.h"

struct AppConfig;

// Releases an object through its module's release function.
template <auto release>
struct ReleaseWith {
    template <class T>
    void operator()(T *object) const noexcept {
        release(object);
    }
};
template <class T, auto release>
using Owned = std::unique_ptr<T, ReleaseWith<release>>;

// Owns what it holds. The shutdown handler, a failed wiring and the
// destructor free it in one order: the service manager's notifier first
// (it says STOPPING=1), the SDK instance (it may still call its delegates
// while it stops), the two async handles, the advertiser, the ConfigServer,
// the Player, the DeviceInfo, the publisher, the connection, the
// VolumeBridge and last the pending messages. SIGINT or SIGTERM wakes nothing
// afterwards.
struct AppState {
    Owned<ZrvConnect, zrv_connect_free> sdk;
    uv_loop_t *loop = nullptr;
    // Woken by SIGINT or SIGTERM; its callback releases everything and stops the loop.
    Owned<LoopAsync, loop_async_close> shutdown_async;
    Owned<MdnsAdvertiser, mdns_advertiser_free> advertiser;
    Owned<ConfigServer, config_server_free> config_server;
    Owned<Player, player_free> player;
    Owned<DeviceInfo, device_info_free> device_info;
    Owned<MessagingConnection, messaging_connection_free> messaging;  // or none
    Owned<EventPublisher, event_publisher_free> publisher;            // or none
    // The pending inbound messages with their mutex and the command async
    // handle; they exist whether or not messaging is enabled.
    InboundCommands commands;
    Owned<VolumeBridge, volume_bridge_free> volume_bridge;  // or none
    // Readiness and watchdog keep-alives for the service manager.
    Owned<ServiceNotifier, service_notifier_stopping_free> service_notifier;
    // The status line for the service manager. Stopped with the notifier,
    // freed after the SDK instance, which calls the device delegate it
    // passes on.
    Owned<StatusReporter, status_reporter_free> status_reporter;

    AppState() = default;
    AppState(const AppState &) = delete;
    AppState &operator=(const AppState &) = delete;
    ~AppState();
};

// Creates every component, the SDK instance and the optional messaging and
// volume halves, fills the state, creates the shutdown handle, installs the
// SIGINT and SIGTERM handler and sets up the service manager's notifications. The
// configuration and the unique device id must outlive the loop run (the SDK
// keeps pointers to their strings). False when
// the daemon cannot run; the reason has been logged and whatever had been
// created is released again (handles close on the next loop run).
bool app_wire(AppState *state, uv_loop_t *loop, const AppConfig &config, const std::string &unique_device_id);
