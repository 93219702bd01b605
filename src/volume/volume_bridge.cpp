// Loop thread only: start-up's REST sync, the Player's volume hooks (from SDK
// callbacks) and inbound bus messages (from the command executor).
#include "volume/volume_bridge.h"

#include <curl/curl.h>

#include <memory>
#include <new>
#include <string>

#include "app/log.h"
#include "messaging/event_publisher.h"
#include "messaging/jansson_ptr.h"
#include "messaging/messaging_connection.h"

struct VolumeBridge {
    ZrvConnect *sdk = nullptr;
    MessagingConnection *connection = nullptr;
    std::string rest_url;
    std::string routing_key;
    uint32_t volume = 100;
    bool muted = false;
    bool state_known = false;
};

namespace {

constexpr long rest_timeout_ms = 2000;
constexpr long rest_connect_timeout_ms = 1000;
// A volume state is a few dozen bytes; a larger answer is not one, and
// reading it without a bound would let the service exhaust our memory.
constexpr size_t rest_body_limit = 64 * 1024;

struct CurlDeleter {
    void operator()(CURL *curl) const noexcept { curl_easy_cleanup(curl); }
};

struct ResponseBuffer {
    std::string data;
};

size_t append_response(char *chunk, size_t size, size_t count, void *user) noexcept {
    auto *buffer = static_cast<ResponseBuffer *>(user);
    size_t length = size * count;
    if (buffer->data.size() + length > rest_body_limit) return 0;  // libcurl aborts the transfer
    try {
        buffer->data.append(chunk, length);
    } catch (const std::bad_alloc &) {
        return 0;
    }
    return length;
}

uint32_t clamp_percent(json_int_t value) {
    if (value < 0) return 0;
    if (value > 100) return 100;
    return static_cast<uint32_t>(value);
}

const char *bool_text(bool value) { return value ? "true" : "false"; }

ZrvError apply_volume(VolumeBridge *bridge, uint32_t volume) {
    ZrvError error = zrv_connect_set_volume(bridge->sdk, volume);
    if (error != ZRV_OK) app_log(LOG_ERROR, "Failed to set Zorva volume to %u: %s", volume, zrv_error_to_string(error));
    return error;
}

ZrvError apply_mute(VolumeBridge *bridge, bool muted) {
    ZrvError error = zrv_connect_set_mute_state(bridge->sdk, muted);
    if (error != ZRV_OK)
        app_log(LOG_ERROR, "Failed to set Zorva mute state to %s: %s", bool_text(muted), zrv_error_to_string(error));
    return error;
}

}  // namespace

VolumeBridge *volume_bridge_new(ZrvConnect *sdk, MessagingConnection *connection, const char *rest_url,
                                const char *routing_key) {
    auto *bridge = new (std::nothrow) VolumeBridge;
    if (!bridge) {
        app_log(LOG_ERROR, "Failed to allocate memory for volume control bridge");
        return nullptr;
    }
    try {
        bridge->rest_url = rest_url ? rest_url : "";
        bridge->routing_key = routing_key ? routing_key : "";
    } catch (const std::bad_alloc &) {
        app_log(LOG_ERROR, "Failed to allocate memory for bridge configuration");
        delete bridge;
        return nullptr;
    }
    bridge->sdk = sdk;
    bridge->connection = connection;
    return bridge;
}

void volume_bridge_free(VolumeBridge *bridge) { delete bridge; }

bool parse_volume_rest_body(const char *body, size_t length, uint32_t *volume, bool *muted) {
    if (!body || length == 0) return false;
    JanssonPtr root(json_loadb(body, length, 0, nullptr));
    if (!root || !json_is_object(root.get())) return false;
    json_t *is_muted = json_object_get(root.get(), "isMuted");
    if (!json_is_boolean(is_muted)) return false;
    json_t *value = json_object_get(root.get(), "volumePercent");
    if (!json_is_integer(value)) value = json_object_get(root.get(), "volume");
    if (!json_is_integer(value)) return false;
    *volume = clamp_percent(json_integer_value(value));
    *muted = json_is_true(is_muted);
    return true;
}

bool volume_bridge_sync_from_rest(VolumeBridge *bridge) {
    std::unique_ptr<CURL, CurlDeleter> curl(curl_easy_init());
    if (!curl) {
        app_log(LOG_ERROR, "Failed to initialize CURL for volume REST request");
        return false;
    }
    ResponseBuffer response;
    curl_easy_setopt(curl.get(), CURLOPT_URL, bridge->rest_url.c_str());
    curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, append_response);
    curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, &response);
    curl_easy_setopt(curl.get(), CURLOPT_TIMEOUT_MS, rest_timeout_ms);
    curl_easy_setopt(curl.get(), CURLOPT_CONNECTTIMEOUT_MS, rest_connect_timeout_ms);
    curl_easy_setopt(curl.get(), CURLOPT_NOSIGNAL, 1L);

    CURLcode result = curl_easy_perform(curl.get());
    long status = 0;
    curl_easy_getinfo(curl.get(), CURLINFO_RESPONSE_CODE, &status);
    curl.reset();

    if (result != CURLE_OK) {
        app_log(LOG_WARNING, "Volume REST request failed: %s", curl_easy_strerror(result));
        return false;
    }
    if (status < 200 || status > 299) {
        app_log(LOG_WARNING, "Volume REST request returned HTTP status %ld", status);
        return false;
    }
    uint32_t volume = 0;
    bool muted = false;
    if (!parse_volume_rest_body(response.data.data(), response.data.size(), &volume, &muted)) {
        app_log(LOG_WARNING, "Volume REST response did not contain a valid volume state");
        return false;
    }
    if (apply_volume(bridge, volume) != ZRV_OK) return false;
    if (apply_mute(bridge, muted) != ZRV_OK) return false;
    bridge->volume = volume;
    bridge->muted = muted;
    bridge->state_known = true;
    return true;
}

bool volume_bridge_publish_state(VolumeBridge *bridge) {
    if (!bridge->connection) {
        app_log(LOG_WARNING, "Cannot publish volume update: NATS connection is not configured");
        return false;
    }
    std::string body = event_body_volume(bridge->volume, bridge->muted);
    if (body.empty()) return false;
    return messaging_connection_publish(bridge->connection, bridge->routing_key.c_str(), body.c_str());
}

void volume_bridge_on_volume_changed(VolumeBridge *bridge, uint32_t volume) {
    if (volume > 100) volume = 100;
    if (bridge->state_known && volume == bridge->volume) return;
    bridge->volume = volume;
    if (!bridge->state_known) bridge->muted = false;
    bridge->state_known = true;
    if (!volume_bridge_publish_state(bridge)) app_log(LOG_WARNING, "Failed to publish volume update to NATS");
}

void volume_bridge_on_mute_changed(VolumeBridge *bridge, bool muted) {
    if (bridge->state_known && muted == bridge->muted) return;
    bridge->muted = muted;
    if (!bridge->state_known) bridge->volume = 100;
    bridge->state_known = true;
    if (!volume_bridge_publish_state(bridge)) app_log(LOG_WARNING, "Failed to publish mute update to NATS");
}

bool parse_volume_message(const char *message, size_t length, bool *has_volume, uint32_t *volume, bool *has_muted,
                          bool *muted) {
    if (!message) return false;
    JanssonPtr root(json_loadb(message, length, JSON_DECODE_ANY, nullptr));
    if (!root) return false;
    *has_volume = false;
    *has_muted = false;
    json_t *value = json_object_get(root.get(), "volume");  // null for a non-object
    if (json_is_integer(value)) {
        *has_volume = true;
        *volume = clamp_percent(json_integer_value(value));
    }
    json_t *is_muted = json_object_get(root.get(), "isMuted");
    if (json_is_boolean(is_muted)) {
        *has_muted = true;
        *muted = json_is_true(is_muted);
    }
    return true;
}

bool volume_bridge_handle_message(VolumeBridge *bridge, const char *message, size_t length, bool *handled) {
    *handled = false;
    bool has_volume = false, has_muted = false, muted = false;
    uint32_t volume = 0;
    if (!parse_volume_message(message, length, &has_volume, &volume, &has_muted, &muted)) return false;

    if (has_volume) {
        *handled = true;
        if (bridge->state_known && volume == bridge->volume) {
            if (!has_muted || muted == bridge->muted) return true;
            // The volume is re-applied with the new mute flag so the SDK
            // receives the controller's whole state.
            if (apply_volume(bridge, volume) != ZRV_OK) return false;
            if (apply_mute(bridge, muted) != ZRV_OK) return false;
            bridge->volume = volume;
            bridge->muted = muted;
            return true;
        }
        if (apply_volume(bridge, volume) != ZRV_OK) return false;
        if (!has_muted) {
            bridge->volume = volume;
            bridge->state_known = true;
            return true;
        }
        if (apply_mute(bridge, muted) != ZRV_OK) return false;
        bridge->volume = volume;
        bridge->muted = muted;
        bridge->state_known = true;
        return true;
    }
    if (has_muted) {
        *handled = true;
        if (bridge->state_known && muted == bridge->muted) return true;
        if (apply_mute(bridge, muted) != ZRV_OK) return false;
        bridge->muted = muted;
        bridge->state_known = true;
        return true;
    }
    return true;
}

uint32_t volume_bridge_volume(const VolumeBridge *bridge) { return bridge->volume; }
bool volume_bridge_muted(const VolumeBridge *bridge) { return bridge->muted; }
bool volume_bridge_state_known(const VolumeBridge *bridge) { return bridge->state_known; }
