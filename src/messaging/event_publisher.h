// EventPublisher: builds the daemon's JSON events and publishes them through
// the MessagingConnection. Loop thread only.
#pragma once

#include <cstdint>
#include <string>

struct MessagingConnection;
struct EventPublisher;

// The fixed subject of the track events and the connection event.
inline constexpr const char *outgoing_events_subject = "zorva.outgoing.events";

EventPublisher *event_publisher_new(MessagingConnection *connection, const char *routing_key);
void event_publisher_free(EventPublisher *publisher);

// Each returns true when the connection accepted the message.
bool event_publisher_track_started(EventPublisher *publisher, uint64_t stream_id, const char *title, const char *artist,
                                   const char *album, uint64_t duration_ms);
bool event_publisher_track_metadata(EventPublisher *publisher, uint64_t stream_id, const char *title,
                                    const char *artist, const char *album, uint64_t duration_ms,
                                    const char *album_art_url, uint64_t bitrate, const char *genre, const char *source,
                                    bool lossless, uint32_t sample_rate, uint32_t bit_depth);
bool event_publisher_track_finished(EventPublisher *publisher, uint64_t stream_id);
bool event_publisher_seek(EventPublisher *publisher, uint64_t stream_id, uint64_t position_ms);
bool event_publisher_playback_state(EventPublisher *publisher, const char *state);
// Sends a body serialised by the caller; a null subject means the routing key.
bool event_publisher_publish_raw(EventPublisher *publisher, const char *body, const char *subject);

// Bodies of the events that their raising modules send themselves (through
// event_publisher_publish_raw, or messaging_connection_publish for "volume"):
// compact JSON, keys in their fixed order, "timestamp" read from the clock
// where the event has one. An empty string when the body cannot be built.
std::string event_body_zorva_connection(bool connected);
std::string event_body_mute_changed(bool muted);
std::string event_body_volume_changed(uint32_t volume);
std::string event_body_actions_availability_changed(bool next_available);
std::string event_body_max_quality_changed(const char *max_quality);
std::string event_body_controls_changed(const char *loop_mode, bool shuffle_enabled);
std::string event_body_volume(uint32_t volume, bool is_muted);
