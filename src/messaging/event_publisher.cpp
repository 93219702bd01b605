// The daemon's outbound JSON events. Loop thread only: the publisher holds no
// lock, and the connection's publish is safe against its backend's threads.
#include "messaging/event_publisher.h"

#include <cinttypes>
#include <cstdio>
#include <ctime>
#include <initializer_list>
#include <new>

#include "app/log.h"
#include "messaging/jansson_ptr.h"
#include "messaging/messaging_connection.h"

struct EventPublisher {
    MessagingConnection *connection;
    std::string routing_key;
};

namespace {

// One key of an event with its value. A value jansson refused (an absent
// string, text that is not UTF-8) is null and leaves its key out.
struct Member {
    const char *key;
    json_t *value;
};

Member string_member(const char *key, const char *text) { return {key, json_string(text)}; }
Member integer_member(const char *key, uint64_t value) { return {key, json_integer(static_cast<json_int_t>(value))}; }
Member bool_member(const char *key, bool value) { return {key, json_boolean(value)}; }
Member timestamp() { return {"timestamp", json_integer(static_cast<json_int_t>(std::time(nullptr)))}; }

// The object {"event_type": event_type, members...}, keys in that order, or
// null when jansson cannot make it. It takes the members' values over either
// way.
JanssonPtr new_event(const char *event_type, std::initializer_list<Member> members) {
    JanssonPtr object(json_object());
    if (object) json_object_set_new(object.get(), "event_type", json_string(event_type));
    for (const Member &member : members) {
        if (object) {
            json_object_set_new(object.get(), member.key, member.value);
        } else {
            json_decref(member.value);
        }
    }
    return object;
}

// Serialises compactly, keys in the order they were added.
JanssonText serialize(const json_t *object) { return JanssonText(json_dumps(object, JSON_COMPACT)); }

// The body of an event its raising module sends itself; empty when it
// cannot be built.
std::string event_body(const char *event_type, std::initializer_list<Member> members) {
    JanssonPtr object = new_event(event_type, members);
    if (!object) return {};
    JanssonText text = serialize(object.get());
    if (!text) return {};
    try {
        return std::string(text.get());
    } catch (const std::bad_alloc &) {
        return {};
    }
}

// A typed event, or null after logging that it could not be made.
JanssonPtr new_typed_event(const char *event_type, std::initializer_list<Member> members) {
    JanssonPtr object = new_event(event_type, members);
    if (!object) app_log(LOG_ERROR, "Failed to create JSON object");
    return object;
}

// The common tail of the typed events: serialise, publish, and tell whether
// the connection took it.
bool send(EventPublisher *publisher, JanssonPtr object, const char *subject) {
    if (!object) return false;
    JanssonText text = serialize(object.get());
    object.reset();
    if (!text) {
        app_log(LOG_ERROR, "Failed to serialize JSON");
        return false;
    }
    return messaging_connection_publish(publisher->connection, subject, text.get());
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
    JanssonPtr object =
        new_typed_event("track_started", {integer_member("stream_id", stream_id), string_member("title", title),
                                          string_member("artist", artist), string_member("album", album),
                                          integer_member("duration_ms", duration_ms), timestamp()});
    if (!send(publisher, std::move(object), outgoing_events_subject)) return false;
    app_log(LOG_DEBUG, "Published track_started event (stream: %" PRIu64 ")", stream_id);
    return true;
}

bool event_publisher_track_metadata(EventPublisher *publisher, uint64_t stream_id, const char *title,
                                    const char *artist, const char *album, uint64_t duration_ms,
                                    const char *album_art_url, uint64_t bitrate, const char *genre, const char *source,
                                    bool lossless, uint32_t sample_rate, uint32_t bit_depth) {
    if (!publisher) return false;
    char id_text[32];
    std::snprintf(id_text, sizeof id_text, "%" PRIu64, stream_id);
    JanssonPtr object = new_typed_event(
        "track_metadata",
        {string_member("stream_id", id_text), string_member("title", title), string_member("artist", artist),
         string_member("album", album), integer_member("duration", duration_ms),
         string_member("albumArt", album_art_url), integer_member("bitrate", bitrate), string_member("genre", genre),
         string_member("source", source), bool_member("lossless", lossless), integer_member("sampleRate", sample_rate),
         integer_member("bitDepth", bit_depth)});
    if (!object) return false;
    app_log(LOG_INFO, "Publishing track update: id='%s', title='%s', artist='%s', album='%s'", id_text,
            title ? title : "", artist ? artist : "", album ? album : "");
    if (!send(publisher, std::move(object), outgoing_events_subject)) return false;
    app_log(LOG_DEBUG, "Published track_metadata event (stream: %" PRIu64 ")", stream_id);
    return true;
}

bool event_publisher_track_finished(EventPublisher *publisher, uint64_t stream_id) {
    if (!publisher) return false;
    JanssonPtr object = new_typed_event("track_finished", {integer_member("stream_id", stream_id), timestamp()});
    if (!send(publisher, std::move(object), outgoing_events_subject)) return false;
    app_log(LOG_DEBUG, "Published track_finished event (stream: %" PRIu64 ")", stream_id);
    return true;
}

bool event_publisher_seek(EventPublisher *publisher, uint64_t stream_id, uint64_t position_ms) {
    if (!publisher) return false;
    JanssonPtr object = new_typed_event(
        "seek", {integer_member("stream_id", stream_id), integer_member("position_ms", position_ms), timestamp()});
    if (!send(publisher, std::move(object), publisher->routing_key.c_str())) return false;
    app_log(LOG_DEBUG, "Published seek event (stream: %" PRIu64 ", position: %" PRIu64 "ms)", stream_id, position_ms);
    return true;
}

bool event_publisher_playback_state(EventPublisher *publisher, const char *state) {
    if (!publisher) return false;
    JanssonPtr object = new_typed_event("playback_state_changed", {string_member("state", state), timestamp()});
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
    return event_body("zorva_connection", {bool_member("connected", connected)});
}

std::string event_body_mute_changed(bool muted) {
    return event_body("mute_changed", {bool_member("muted", muted), timestamp()});
}

std::string event_body_volume_changed(uint32_t volume) {
    return event_body("volume_changed", {integer_member("volume", volume), timestamp()});
}

std::string event_body_actions_availability_changed(bool next_available) {
    return event_body("actions_availability_changed", {bool_member("next_available", next_available), timestamp()});
}

std::string event_body_max_quality_changed(const char *max_quality) {
    return event_body("max_quality_changed", {string_member("max_quality", max_quality), timestamp()});
}

std::string event_body_controls_changed(const char *loop_mode, bool shuffle_enabled) {
    return event_body("controls_changed", {string_member("loop_mode", loop_mode),
                                           bool_member("shuffle_enabled", shuffle_enabled), timestamp()});
}

std::string event_body_volume(uint32_t volume, bool is_muted) {
    return event_body("volume", {integer_member("volume", volume), bool_member("isMuted", is_muted)});
}
