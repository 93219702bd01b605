// The daemon's outbound JSON events. Loop thread only: the publisher holds no
// lock, and the connection's publish is safe against its backend's threads.
#include "messaging/event_publisher.h"

#include <jansson.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <new>

#include "app/log.h"
#include "messaging/messaging_connection.h"

struct EventPublisher {
    MessagingConnection *connection;
    std::string routing_key;
};

namespace {

struct JsonDeleter {
    void operator()(json_t *value) const noexcept { json_decref(value); }
};
using JsonPtr = std::unique_ptr<json_t, JsonDeleter>;

struct JsonTextDeleter {
    void operator()(char *text) const noexcept { std::free(text); }
};
using JsonText = std::unique_ptr<char, JsonTextDeleter>;

// A value jansson refuses (an absent string, text that is not UTF-8) leaves
// its key out; json_object_set_new releases nothing it was not given.
void add(json_t *object, const char *key, json_t *value) { json_object_set_new(object, key, value); }
void add_string(json_t *object, const char *key, const char *text) { add(object, key, json_string(text)); }
void add_integer(json_t *object, const char *key, uint64_t value) {
    add(object, key, json_integer(static_cast<json_int_t>(value)));
}
void add_bool(json_t *object, const char *key, bool value) { add(object, key, json_boolean(value)); }
void add_timestamp(json_t *object) {
    add(object, "timestamp", json_integer(static_cast<json_int_t>(std::time(nullptr))));
}

JsonPtr new_event(const char *event_type) {
    JsonPtr object(json_object());
    if (object) add_string(object.get(), "event_type", event_type);
    return object;
}

// Serialises compactly, keys in the order they were added.
JsonText serialize(const json_t *object) { return JsonText(json_dumps(object, JSON_COMPACT)); }

std::string to_string(const JsonPtr &object) {
    if (!object) return {};
    JsonText text = serialize(object.get());
    if (!text) return {};
    try {
        return std::string(text.get());
    } catch (const std::bad_alloc &) {
        return {};
    }
}

// The common tail of the typed events: serialise, publish, and tell whether
// the connection took it.
bool send(EventPublisher *publisher, JsonPtr object, const char *subject) {
    JsonText text = serialize(object.get());
    object.reset();
    if (!text) {
        app_log(LOG_ERROR, "Failed to serialize JSON");
        return false;
    }
    return messaging_connection_publish(publisher->connection, subject, text.get());
}

JsonPtr new_typed_event(const char *event_type) {
    JsonPtr object(json_object());
    if (!object) {
        app_log(LOG_ERROR, "Failed to create JSON object");
        return nullptr;
    }
    add_string(object.get(), "event_type", event_type);
    return object;
}

}  // namespace

EventPublisher *event_publisher_new(MessagingConnection *connection, const char *routing_key) {
    auto *publisher = new (std::nothrow) EventPublisher{connection, {}};
    if (!publisher) {
        app_log(LOG_ERROR, "Failed to allocate memory for Nats publisher");
        return nullptr;
    }
    try {
        publisher->routing_key = routing_key ? routing_key : "";
    } catch (const std::bad_alloc &) {
        app_log(LOG_ERROR, "Failed to duplicate routing key");
        delete publisher;
        return nullptr;
    }
    app_log(LOG_DEBUG, "Nats publisher created (routing_key: %s)", publisher->routing_key.c_str());
    return publisher;
}

void event_publisher_free(EventPublisher *publisher) {
    if (!publisher) return;
    delete publisher;
    app_log(LOG_DEBUG, "Nats publisher freed");
}

bool event_publisher_track_started(EventPublisher *publisher, uint64_t stream_id, const char *title, const char *artist,
                                   const char *album, uint64_t duration_ms) {
    if (!publisher) return false;
    JsonPtr object = new_typed_event("track_started");
    if (!object) return false;
    add_integer(object.get(), "stream_id", stream_id);
    add_string(object.get(), "title", title);
    add_string(object.get(), "artist", artist);
    add_string(object.get(), "album", album);
    add_integer(object.get(), "duration_ms", duration_ms);
    add_timestamp(object.get());
    if (!send(publisher, std::move(object), outgoing_events_subject)) return false;
    app_log(LOG_DEBUG, "Published track_started event (stream: %" PRIu64 ")", stream_id);
    return true;
}

bool event_publisher_track_metadata(EventPublisher *publisher, uint64_t stream_id, const char *title,
                                    const char *artist, const char *album, uint64_t duration_ms,
                                    const char *album_art_url, uint64_t bitrate, const char *genre, const char *source,
                                    bool lossless, uint32_t sample_rate, uint32_t bit_depth) {
    if (!publisher) return false;
    JsonPtr object = new_typed_event("track_metadata");
    if (!object) return false;
    char id_text[32];
    std::snprintf(id_text, sizeof id_text, "%" PRIu64, stream_id);
    app_log(LOG_INFO, "Publishing track update: id='%s', title='%s', artist='%s', album='%s'", id_text,
            title ? title : "", artist ? artist : "", album ? album : "");
    add_string(object.get(), "stream_id", id_text);
    add_string(object.get(), "title", title);
    add_string(object.get(), "artist", artist);
    add_string(object.get(), "album", album);
    add_integer(object.get(), "duration", duration_ms);
    add_string(object.get(), "albumArt", album_art_url);
    add_integer(object.get(), "bitrate", bitrate);
    add_string(object.get(), "genre", genre);
    add_string(object.get(), "source", source);
    add_bool(object.get(), "lossless", lossless);
    add_integer(object.get(), "sampleRate", sample_rate);
    add_integer(object.get(), "bitDepth", bit_depth);
    if (!send(publisher, std::move(object), outgoing_events_subject)) return false;
    app_log(LOG_DEBUG, "Published track_metadata event (stream: %" PRIu64 ")", stream_id);
    return true;
}

bool event_publisher_track_finished(EventPublisher *publisher, uint64_t stream_id) {
    if (!publisher) return false;
    JsonPtr object = new_typed_event("track_finished");
    if (!object) return false;
    add_integer(object.get(), "stream_id", stream_id);
    add_timestamp(object.get());
    if (!send(publisher, std::move(object), outgoing_events_subject)) return false;
    app_log(LOG_DEBUG, "Published track_finished event (stream: %" PRIu64 ")", stream_id);
    return true;
}

bool event_publisher_seek(EventPublisher *publisher, uint64_t stream_id, uint64_t position_ms) {
    if (!publisher) return false;
    JsonPtr object = new_typed_event("seek");
    if (!object) return false;
    add_integer(object.get(), "stream_id", stream_id);
    add_integer(object.get(), "position_ms", position_ms);
    add_timestamp(object.get());
    if (!send(publisher, std::move(object), publisher->routing_key.c_str())) return false;
    app_log(LOG_DEBUG, "Published seek event (stream: %" PRIu64 ", position: %" PRIu64 "ms)", stream_id, position_ms);
    return true;
}

bool event_publisher_playback_state(EventPublisher *publisher, const char *state) {
    if (!publisher) return false;
    JsonPtr object = new_typed_event("playback_state_changed");
    if (!object) return false;
    add_string(object.get(), "state", state);
    add_timestamp(object.get());
    if (!send(publisher, std::move(object), publisher->routing_key.c_str())) return false;
    app_log(LOG_DEBUG, "Published playback_state event: %s", state ? state : "");
    return true;
}

bool event_publisher_publish_raw(EventPublisher *publisher, const char *body, const char *subject) {
    if (!publisher) return false;
    if (!messaging_connection_publish(publisher->connection, subject ? subject : publisher->routing_key.c_str(), body))
        return false;
    app_log(LOG_DEBUG, "Published custom message");
    return true;
}

std::string event_body_zorva_connection(bool connected) {
    JsonPtr object = new_event("zorva_connection");
    if (object) add_bool(object.get(), "connected", connected);
    return to_string(object);
}

std::string event_body_mute_changed(bool muted) {
    JsonPtr object = new_event("mute_changed");
    if (object) {
        add_bool(object.get(), "muted", muted);
        add_timestamp(object.get());
    }
    return to_string(object);
}

std::string event_body_volume_changed(uint32_t volume) {
    JsonPtr object = new_event("volume_changed");
    if (object) {
        add_integer(object.get(), "volume", volume);
        add_timestamp(object.get());
    }
    return to_string(object);
}

std::string event_body_actions_availability_changed(bool next_available) {
    JsonPtr object = new_event("actions_availability_changed");
    if (object) {
        add_bool(object.get(), "next_available", next_available);
        add_timestamp(object.get());
    }
    return to_string(object);
}

std::string event_body_max_quality_changed(const char *max_quality) {
    JsonPtr object = new_event("max_quality_changed");
    if (object) {
        add_string(object.get(), "max_quality", max_quality);
        add_timestamp(object.get());
    }
    return to_string(object);
}

std::string event_body_controls_changed(const char *loop_mode, bool shuffle_enabled) {
    JsonPtr object = new_event("controls_changed");
    if (object) {
        add_string(object.get(), "loop_mode", loop_mode);
        add_bool(object.get(), "shuffle_enabled", shuffle_enabled);
        add_timestamp(object.get());
    }
    return to_string(object);
}

std::string event_body_volume(uint32_t volume, bool is_muted) {
    JsonPtr object = new_event("volume");
    if (object) {
        add_integer(object.get(), "volume", volume);
        add_bool(object.get(), "isMuted", is_muted);
    }
    return to_string(object);
}
