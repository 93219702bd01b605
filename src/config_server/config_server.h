// ConfigServer: the local HTTP API through which a controller reads the
// device's identity and hands over a session. civetweb serves it on several
// worker threads, which only wait for clients; every request is handed to
// the loop thread, which does the work, one request at a time. All functions here run on the loop thread, except
// config_server_ipv6_available, which any thread may call.
#pragma once

#include <uv.h>

#include <cstdint>

#include "zorva_connect.h"

struct ConfigServer;
struct DeviceInfo;
struct Player;

// Bodies of "connect-to-zconnect" above this size are refused unread.
inline constexpr long long config_server_max_body_size = 64 * 1024;

// Null when the async handle that hands requests to the loop cannot be made.
ConfigServer *config_server_new(uv_loop_t *loop, uint16_t port, DeviceInfo *device, Player *player);
// Stops the server, then closes the async handle; accepts none.
void config_server_free(ConfigServer *server);
void config_server_set_sdk(ConfigServer *server, ZrvConnect *sdk);
ConfigServerDelegate config_server_delegate(ConfigServer *server);

// The delegate's callbacks; user is the ConfigServer.
void config_server_start(ZrvConnect *sdk, void *user) noexcept;
void config_server_stop(ZrvConnect *sdk, void *user) noexcept;

// Listens on this address only (for example "127.0.0.1") instead of every
// interface. Takes effect at the next start.
void config_server_set_listen_address(ConfigServer *server, const char *address);

// The configured port; with port 0 (any free port) the port actually bound
// while the server runs.
uint16_t config_server_port(const ConfigServer *server);
const char *config_server_path_prefix(const ConfigServer *server);
bool config_server_is_running(const ConfigServer *server);
// True while the SDK wants the server but its port could not be bound; the
// start is retried every 2 s until the port binds or the SDK stops it.
bool config_server_is_waiting_for_port(const ConfigServer *server);

// True when civetweb was built with IPv6 and an IPv6 socket can be opened.
bool config_server_ipv6_available();
