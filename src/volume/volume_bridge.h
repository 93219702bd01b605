// VolumeBridge: keeps the SDK's volume and mute in step with an external
// volume controller, read once over REST and updated over the message bus.
// Loop thread only; no locks.
#pragma once

#include <cstddef>
#include <cstdint>

#include "zorva_connect.h"

struct MessagingConnection;
struct VolumeBridge;

// Copies the URL and the routing key; connection may be null (no bus).
VolumeBridge *volume_bridge_new(ZrvConnect *sdk, MessagingConnection *connection, const char *rest_url,
                                const char *routing_key);
void volume_bridge_free(VolumeBridge *bridge);

// One blocking GET of the controller's state (at most 2 s), applied to the SDK.
bool volume_bridge_sync_from_rest(VolumeBridge *bridge);

// Hooks for the SDK's own changes: publish the new state when it differs.
void volume_bridge_on_volume_changed(VolumeBridge *bridge, uint32_t volume);
void volume_bridge_on_mute_changed(VolumeBridge *bridge, bool muted);
bool volume_bridge_publish_state(VolumeBridge *bridge);

// Offers an inbound bus message to the bridge. True with handled set when it
// was a volume or mute message that the bridge took.
bool volume_bridge_handle_message(VolumeBridge *bridge, const char *message, size_t length, bool *handled);

// Reads "volume" (a JSON integer, limited to 0..100) and "isMuted" (a JSON
// boolean) from a message; false when it is not JSON at all.
bool parse_volume_message(const char *message, size_t length, bool *has_volume, uint32_t *volume, bool *has_muted,
                          bool *muted);

// Reads the REST answer's body: "isMuted" and "volumePercent" or else
// "volume" are required. False when the body is not a valid volume state.
bool parse_volume_rest_body(const char *body, size_t length, uint32_t *volume, bool *muted);

// The stored state, as last accepted by the SDK.
uint32_t volume_bridge_volume(const VolumeBridge *bridge);
bool volume_bridge_muted(const VolumeBridge *bridge);
bool volume_bridge_state_known(const VolumeBridge *bridge);
