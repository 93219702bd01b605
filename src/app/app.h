// The process-wide state through which loop callbacks reach the daemon's
// long-lived objects, its wiring and its shutdown. Wiring runs on the main
// thread before the loop runs; shutdown runs on the loop thread.
#pragma once

#include <uv.h>

#include <string>

#include "app/command_executor.h"
#include "player/loop_handles.h"
#include "zorva_connect.h"

struct AppConfig;
struct ConfigServer;
struct DeviceInfo;
struct EventPublisher;
struct MdnsAdvertiser;
struct MessagingConnection;
struct Player;
struct ServiceNotifier;
struct VolumeBridge;

struct AppState {
    ZrvConnect *sdk = nullptr;
    uv_loop_t *loop = nullptr;
    // Woken by SIGINT; its callback releases everything and stops the loop.
    LoopAsync *shutdown_async = nullptr;
    MdnsAdvertiser *advertiser = nullptr;
    ConfigServer *config_server = nullptr;
    Player *player = nullptr;
    DeviceInfo *device_info = nullptr;
    MessagingConnection *messaging = nullptr;  // or none
    EventPublisher *publisher = nullptr;       // or none
    // The pending inbound messages with their mutex and the command async
    // handle; they exist whether or not messaging is enabled.
    InboundCommands commands;
    VolumeBridge *volume_bridge = nullptr;  // or none
    // Readiness and watchdog keep-alives for the service manager.
    ServiceNotifier *service_notifier = nullptr;
};

// Creates every component, the SDK instance and the optional messaging and
// volume halves, fills the state, creates the shutdown handle, installs the
// SIGINT handler and sets up the service manager's notifications. The
// configuration and the unique device id must outlive the loop run (the SDK
// keeps pointers to their strings). False when the daemon cannot run; the
// reason has been logged.
bool app_wire(AppState *state, uv_loop_t *loop, const AppConfig &config, const std::string &unique_device_id);
