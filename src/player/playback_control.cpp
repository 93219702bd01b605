// Loop thread only: the Player as the SDK's renderer (the PlaybackDelegate),
// the sink's callbacks and the data path from a stream into the sink.
#include <string>

#include "app/guarded.h"
#include "app/log.h"
#include "messaging/event_publisher.h"
#include "player/player_internal.h"

namespace {

// How long a lost PipeWire stream is given to come back (a restarted
// server, a device plugged in again) before playback ends in an error, and
// how often the sink tries to reconnect meanwhile.
constexpr uint64_t reconnect_window_ms = 5000;
constexpr uint64_t reconnect_interval_ms = 100;

Player *player_of(void *user) { return static_cast<Player *>(user); }

const char *true_false(bool value) { return value ? "true" : "false"; }

void publish_body(Player *player, const std::string &body) {
    if (!player->publisher || body.empty()) return;
    event_publisher_publish_raw(player->publisher, body.c_str(), nullptr);
}

bool notify(Player *player, ZrvError (*operation)(ZrvConnect *), const char *failure_text) {
    return player_sdk_ok(operation(player->sdk), failure_text);
}

uint64_t frames_to_ms(uint64_t frames, uint32_t sample_rate) { return sample_rate ? frames * 1000 / sample_rate : 0; }

// The result of a step on the sink; a failed one takes the playback error
// path (the sink has logged why).
bool sink_step_ok(Player *player, bool succeeded) {
    if (!succeeded) player_playback_error(player);
    return succeeded;
}

void on_initiate(ZrvConnect *, uint32_t initial_state, void *user) {
    Player *player = player_of(user);
    app_log(LOG_INFO, "Initiating playback, initial state: %s", zrv_playback_state_to_string(initial_state));

    AudioStream *stream = stream_manager_current(player->streams);
    if (!stream) {
        app_log(LOG_ERROR, "Unable to initiate playback: no audio stream has been announced");
        player_playback_error(player);
        return;
    }
    // A new initiate replaces whatever was playing; the sink refuses a
    // second open, so the old playback is torn down first.
    if (pipewire_sink_is_open(player->sink)) player_reset_playback(player);

    AudioFormat format = audio_stream_format(stream);
    if (!sink_step_ok(player, pipewire_sink_open(player->sink, format))) return;
    player->flowing_stream = stream;

    if (initial_state == ZRV_PLAYBACK_STATE_PLAYING) {
        // The sink's pause flag outlives a close; without this resume a
        // playback started after an earlier pause would take no data.
        if (!sink_step_ok(player, pipewire_sink_resume(player->sink))) return;
        player->state = PLAYER_STATE_PLAYING;
        stream_manager_resume_delivery(stream);
    } else if (initial_state == ZRV_PLAYBACK_STATE_PAUSED) {
        if (!sink_step_ok(player, pipewire_sink_pause(player->sink))) return;
        player->state = PLAYER_STATE_PAUSED;
    }

    if (!player_sdk_ok(zrv_connect_notify_playback_initiated(player->sdk, format),
                       "Failed to notify Zorva Connect of initiating playback: %s"))
        player_playback_error(player);
}

void on_pause(ZrvConnect *, void *user) {
    Player *player = player_of(user);
    app_log(LOG_INFO, "Pausing playback");
    if (!sink_step_ok(player, pipewire_sink_pause(player->sink))) return;
    if (player->flowing_stream) stream_manager_stop_delivery(player->flowing_stream);
    loop_timer_pause(player->nearly_finished_timer);
    loop_timer_pause(player->finished_timer);
    player->state = PLAYER_STATE_PAUSED;
    notify(player, zrv_connect_notify_playback_paused, "Failed to notify Zorva Connect of playback pausing: %s");
}

void on_resume(ZrvConnect *, void *user) {
    Player *player = player_of(user);
    app_log(LOG_INFO, "Resuming playback");
    if (!sink_step_ok(player, pipewire_sink_resume(player->sink))) return;
    // PLAYING before the SDK can push data from inside the resume call.
    player->state = PLAYER_STATE_PLAYING;
    if (player->flowing_stream) stream_manager_resume_delivery(player->flowing_stream);
    // Without a stream nothing plays: the timers wait for the reconnect.
    if (!player->reconnecting) {
        loop_timer_resume(player->nearly_finished_timer);
        loop_timer_resume(player->finished_timer);
    }
    notify(player, zrv_connect_notify_playback_resumed, "Failed to notify Zorva Connect of playback resuming: %s");
}

void on_stop(ZrvConnect *, void *user) {
    Player *player = player_of(user);
    app_log(LOG_INFO, "Stopping playback");
    player_reset_playback(player);
    notify(player, zrv_connect_notify_playback_stopped, "Failed to notify Zorva Connect of playback stopping: %s");
}

void on_seek_started(ZrvConnect *, void *user) {
    Player *player = player_of(user);
    app_log(LOG_INFO, "Seek is in progress");
    // A seek that starts while another is still in progress replaces its
    // target, not where playback was: the state to return to and the
    // position to report stay those the first seek found.
    const bool seeking = player->state == PLAYER_STATE_SEEKING_PLAYING || player->state == PLAYER_STATE_SEEKING_PAUSED;
    if (!seeking) player->seek_position_ms = player_position_ms(player);
    pipewire_sink_flush(player->sink);
    AudioStream *current = stream_manager_current(player->streams);
    if (player->flowing_stream != current) {
        if (player->flowing_stream) stream_manager_stop_delivery(player->flowing_stream);
        player->flowing_stream = current;
    }
    player->hand_over_marked = false;
    loop_timer_stop(player->nearly_finished_timer);
    loop_timer_stop(player->finished_timer);
    if (!seeking)
        player->state =
            player->state == PLAYER_STATE_PLAYING ? PLAYER_STATE_SEEKING_PLAYING : PLAYER_STATE_SEEKING_PAUSED;
}

uint64_t on_get_position(ZrvConnect *, void *user) {
    Player *player = player_of(user);
    if (!pipewire_sink_is_open(player->sink)) {
        app_log(LOG_DEBUG, "Audio sink is not open, returning playback position 0");
        return 0;
    }
    if (player->state == PLAYER_STATE_SEEKING_PLAYING || player->state == PLAYER_STATE_SEEKING_PAUSED)
        return player->seek_position_ms;
    return player_position_ms(player);
}

// A volume or mute change from the SDK: to the external controller's hook in
// external volume mode; otherwise to the sink, and published.
template <typename Value>
void apply_sdk_change(Player *player, Value value, void (*hook)(Value, void *),
                      void (*set_on_sink)(PipeWireSink *, Value), std::string (*event_body)(Value)) {
    if (player->external_volume) {
        if (hook) hook(value, player->hook_data);
        return;
    }
    set_on_sink(player->sink, value);
    if (player->publisher) publish_body(player, event_body(value));
}

void on_volume_changed(ZrvConnect *, uint32_t volume, void *user) {
    Player *player = player_of(user);
    app_log(LOG_INFO, "Playback volume changed: %u", volume);
    apply_sdk_change(player, volume, player->volume_hook, pipewire_sink_set_volume, event_body_volume_changed);
}

void on_mute_changed(ZrvConnect *, bool muted, void *user) {
    Player *player = player_of(user);
    app_log(LOG_INFO, "Playback mute state changed: %u", muted ? 1u : 0u);
    apply_sdk_change(player, muted, player->mute_hook, pipewire_sink_set_mute, event_body_mute_changed);
}

void on_playback_state_changed(ZrvConnect *, uint32_t state, void *user) {
    Player *player = player_of(user);
    const char *text = zrv_playback_state_to_string(state);
    app_log(LOG_INFO, "Playback state changed: %s", text);
    if (player->publisher) event_publisher_playback_state(player->publisher, text);
}

void on_max_quality_changed(ZrvConnect *, uint32_t quality, void *user) {
    Player *player = player_of(user);
    const char *text = zrv_audio_quality_to_string(quality);
    app_log(LOG_INFO, "Maximum audio quality has changed: %s", text);
    if (player->publisher) publish_body(player, event_body_max_quality_changed(text));
}

void on_controls_changed(ZrvConnect *, uint32_t loop_mode, bool shuffle, void *user) {
    Player *player = player_of(user);
    const char *text = zrv_loop_mode_to_string(loop_mode);
    app_log(LOG_INFO, "Playback controls changed, loop mode: %s, shuffle mode: %s", text,
            shuffle ? "enabled" : "disabled");
    if (player->publisher) publish_body(player, event_body_controls_changed(text, shuffle));
}

void on_actions_availability_changed(ZrvConnect *, bool next_available, void *user) {
    Player *player = player_of(user);
    app_log(LOG_INFO, "Playback actions availability changed, next: %s",
            next_available ? "available" : "not available");
    if (player->publisher) publish_body(player, event_body_actions_availability_changed(next_available));
}

void on_sink_need_data(PipeWireSink *, void *user) {
    Player *player = player_of(user);
    if (player->flowing_stream) stream_manager_resume_delivery(player->flowing_stream);
}

void on_sink_volume_changed(PipeWireSink *, uint32_t volume, void *user) {
    Player *player = player_of(user);
    app_log(LOG_TRACE, "Volume changed: %u", volume);
    if (player->external_volume) return;
    ZrvError error = zrv_connect_set_volume(player->sdk, volume);
    if (error != ZRV_OK)
        app_log(LOG_ERROR, "Failed to set Zorva Connect's volume to %u: %s", volume, zrv_error_to_string(error));
}

void on_sink_mute_changed(PipeWireSink *, bool muted, void *user) {
    Player *player = player_of(user);
    app_log(LOG_TRACE, "Mute state changed: %s", true_false(muted));
    if (player->external_volume) return;
    ZrvError error = zrv_connect_set_mute_state(player->sdk, muted);
    if (error != ZRV_OK)
        app_log(LOG_ERROR, "Failed to set Zorva Connect's mute state to %s: %s", true_false(muted),
                zrv_error_to_string(error));
}

uint64_t ms_since(uint64_t since_ns) { return (uv_hrtime() - since_ns) / 1'000'000; }

// Every reconnect_interval_ms while the sink has no stream: a new stream
// that runs ends the wait; a lost one is tried again; after the window the
// playback error path ends playback.
void on_reconnect_timer(uv_timer_t *handle) {
    Player *player = static_cast<Player *>(uv_handle_get_data(reinterpret_cast<uv_handle_t *>(handle)));
    PipeWireSink *sink = player->sink;
    if (pipewire_sink_stream_ready(sink)) {
        player_stop_reconnecting(player);
        // Whatever the listener did meanwhile decides whether the buffered
        // audio plays now.
        if (player->state == PLAYER_STATE_PLAYING) {
            loop_timer_resume(player->nearly_finished_timer);
            loop_timer_resume(player->finished_timer);
        }
        app_log(LOG_INFO,
                "Playback resumed on a new PipeWire stream after %lu ms, at %lu ms; audio lost: at most %lu ms "
                "(what PipeWire held)",
                ms_since(player->stream_lost_ns), player->stream_lost_position_ms, 2 * pipewire_sink_period_ms(sink));
        if (player->state == PLAYER_STATE_PLAYING && player->flowing_stream)
            stream_manager_resume_delivery(player->flowing_stream);
        return;
    }
    if (ms_since(player->stream_lost_ns) >= reconnect_window_ms) {
        app_log(LOG_ERROR, "No PipeWire stream for %lu ms, ending playback", reconnect_window_ms);
        player_playback_error(player);
        return;
    }
    pipewire_sink_reconnect(sink);
}

// The sink lost its PipeWire stream (the server restarted or failed it, or
// the pinned device went away). The ring buffer still holds the audio not
// yet played, so everything stays as it is while the sink reconnects; only
// what PipeWire held is gone. A loss of a stream made by a reconnect
// changes nothing: the reconnecting goes on.
void on_sink_stream_lost(PipeWireSink *sink, void *user) {
    Player *player = player_of(user);
    if (player->reconnecting || !pipewire_sink_is_open(sink)) return;
    player->reconnecting = true;
    player->stream_lost_ns = uv_hrtime();
    player->stream_lost_position_ms = player_position_ms(player);
    app_log(LOG_WARNING, "Lost the PipeWire stream at %lu ms of playback; reconnecting for up to %lu ms",
            player->stream_lost_position_ms, reconnect_window_ms);
    loop_timer_pause(player->nearly_finished_timer);
    loop_timer_pause(player->finished_timer);
    pipewire_sink_reconnect(sink);
    loop_timer_start(player->reconnect_timer, guarded_callback<on_reconnect_timer>, reconnect_interval_ms,
                     reconnect_interval_ms);
}

}  // namespace

void player_stop_reconnecting(Player *player) {
    loop_timer_stop(player->reconnect_timer);
    player->reconnecting = false;
}

void player_reset_playback(Player *player) {
    player_stop_reconnecting(player);
    if (player->flowing_stream) {
        stream_manager_stop_delivery(player->flowing_stream);
        player->flowing_stream = nullptr;
    }
    player->hand_over_marked = false;
    loop_timer_stop(player->nearly_finished_timer);
    loop_timer_stop(player->finished_timer);
    pipewire_sink_close(player->sink);
    player->state = PLAYER_STATE_STOPPED;
}

void player_playback_error(Player *player) {
    player_reset_playback(player);
    notify(player, zrv_connect_notify_playback_error, "Failed to notify Zorva Connect of playback error: %s");
}

uint64_t player_buffered_ms(Player *player) {
    AudioStream *current = stream_manager_current(player->streams);
    // Asking a closed sink would log an error; closed means nothing buffered.
    if (!current || !pipewire_sink_is_open(player->sink)) return 0;
    bool ok = false;
    uint64_t frames = pipewire_sink_buffered_frames(player->sink, &ok);
    if (!ok) return 0;
    return frames_to_ms(frames, audio_stream_format(current).sample_rate);
}

uint64_t player_position_ms(Player *player) {
    AudioStream *current = stream_manager_current(player->streams);
    if (!current) {
        app_log(LOG_DEBUG, "No active source, returning playback position 0");
        return 0;
    }
    // The current stream's format also when the next stream is already
    // flowing: the buffer then holds the start of the next track too.
    uint32_t frame_size = audio_stream_frame_size(current);
    uint64_t frames = frame_size ? audio_stream_position_bytes(current) / frame_size : 0;
    uint64_t played_ms = frames_to_ms(frames, audio_stream_format(current).sample_rate);
    uint64_t buffered_ms = player_buffered_ms(player);
    return played_ms > buffered_ms ? played_ms - buffered_ms : 0;
}

size_t player_on_data(AudioStream *, const void *data, size_t size, void *user) {
    Player *player = player_of(user);
    bool ok = false;
    size_t taken = pipewire_sink_write(player->sink, data, size, &ok);
    if (!ok) {
        player_playback_error(player);
        return 0;
    }
    return taken;
}

void player_on_seeked(AudioStream *, void *user) {
    Player *player = player_of(user);
    app_log(LOG_DEBUG, "Seek has been completed");
    player->seek_position_ms = 0;
    // Only a seek in progress ends here. A pause or resume that came between
    // the seek start and this report has already set the state to return
    // to, and a report without a seek start changes nothing.
    if (player->state == PLAYER_STATE_SEEKING_PLAYING)
        player->state = PLAYER_STATE_PLAYING;
    else if (player->state == PLAYER_STATE_SEEKING_PAUSED)
        player->state = PLAYER_STATE_PAUSED;
}

SinkCallbacks player_sink_callbacks(Player *player) {
    return SinkCallbacks{player, guarded_callback<on_sink_need_data>, guarded_callback<on_sink_volume_changed>,
                         guarded_callback<on_sink_mute_changed>, guarded_callback<on_sink_stream_lost>};
}

PlaybackDelegate player_playback_delegate(Player *player) {
    return PlaybackDelegate{player,
                            guarded_callback<on_initiate>,
                            guarded_callback<on_pause>,
                            guarded_callback<on_resume>,
                            guarded_callback<on_stop>,
                            guarded_callback<on_seek_started>,
                            guarded_callback<on_get_position>,
                            guarded_callback<on_volume_changed>,
                            guarded_callback<on_mute_changed>,
                            guarded_callback<on_playback_state_changed>,
                            guarded_callback<on_max_quality_changed>,
                            guarded_callback<on_controls_changed>,
                            guarded_callback<on_actions_availability_changed>};
}
