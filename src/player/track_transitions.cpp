// Loop thread only: the end of a track. When the current stream's data is
// complete, two one-shot timers follow the audio still buffered in the sink:
// the nearly-finished one hands the sink over to the next stream of the same
// format (gapless), the finished one tells the SDK the track is over and
// moves on to the next track, reopening the sink for a new format.
#include <algorithm>

#include "app/guarded.h"
#include "app/log.h"
#include "player/player_internal.h"

namespace {

constexpr uint64_t hand_over_lead_ms = 500;

Player *player_of(void *user) { return static_cast<Player *>(user); }

Player *player_of_timer(uv_timer_t *handle) {
    return static_cast<Player *>(uv_handle_get_data(reinterpret_cast<uv_handle_t *>(handle)));
}

void on_finished_timer(uv_timer_t *handle);

void start_finished_timer(Player *player) {
    uint64_t delay_ms = player_buffered_ms(player);
    app_log(LOG_DEBUG, "Scheduling playback finished timer for: %lums", delay_ms);
    loop_timer_start(player->finished_timer, guarded_callback<on_finished_timer>, delay_ms, 0);
}

void on_nearly_finished_timer(uv_timer_t *handle) {
    Player *player = player_of_timer(handle);
    app_log(LOG_INFO, "Playback is nearly finished");
    player_hand_over_check(player);
}

// Only a playback that is playing or paused into an open sink has a track
// end to follow. After a stop or a playback error the stream stays current
// until the SDK disposes of it, and a seek in progress arms the timers again
// at its own end of data.
bool follows_a_track(const Player *player) {
    return (player->state == PLAYER_STATE_PLAYING || player->state == PLAYER_STATE_PAUSED) &&
           pipewire_sink_is_open(player->sink);
}

bool timers_idle(const Player *player) {
    return !loop_timer_is_active(player->nearly_finished_timer) &&
           !loop_timer_is_paused(player->nearly_finished_timer) && !loop_timer_is_active(player->finished_timer) &&
           !loop_timer_is_paused(player->finished_timer);
}

// The current stream's data is complete: both timers follow the audio still
// buffered for it.
void arm_end_of_track(Player *player) {
    if (!follows_a_track(player)) return;
    uint64_t nearly_ms = std::max(player_buffered_ms(player), hand_over_lead_ms) - hand_over_lead_ms;
    app_log(LOG_DEBUG, "Scheduling playback nearly finished timer: %lums", nearly_ms);
    loop_timer_start(player->nearly_finished_timer, guarded_callback<on_nearly_finished_timer>, nearly_ms, 0);
    start_finished_timer(player);
    // The buffered audio does not play while the sink reconnects either.
    if (player->state == PLAYER_STATE_PAUSED || player->reconnecting) {
        loop_timer_pause(player->nearly_finished_timer);
        loop_timer_pause(player->finished_timer);
    }
}

// The SDK moves on to the new format's track: drain what the old one left,
// reopen the sink for the new format and let the next stream flow.
void change_format(Player *player, AudioStream *next) {
    pipewire_sink_drain(player->sink);
    pipewire_sink_close(player->sink);
    // A stream lost before the close (the drain then ends early) is a
    // playback error like any other loss; the close must not hide it.
    if (pipewire_sink_stream_lost(player->sink)) {
        app_log(LOG_ERROR, "Unable to change the audio format: the PipeWire audio sink lost its stream");
        player_playback_error(player);
        return;
    }
    AudioFormat format = audio_stream_format(next);
    if (!pipewire_sink_open(player->sink, format)) {
        player_playback_error(player);
        return;
    }
    player->flowing_stream = next;
    stream_manager_resume_delivery(next);
    player_sdk_ok(zrv_connect_notify_playback_initiated(player->sdk, format),
                  "Failed to notify Zorva Connect of initiating playback (not gapless): %s");
}

void on_finished_timer(uv_timer_t *handle) {
    Player *player = player_of_timer(handle);
    app_log(LOG_INFO, "Playback has finished");
    // The SDK may dispose of streams from inside any call it is given, so
    // what is needed of the two streams afterwards is taken now, and the next
    // stream is looked up again by its id after each call.
    AudioStream *current = stream_manager_current(player->streams);
    AudioStream *next = stream_manager_next(player->streams);
    const uint64_t next_id = next ? audio_stream_id(next) : 0;
    const bool same_format =
        current && next && audio_format_equal(audio_stream_format(current), audio_stream_format(next));
    if (!player_sdk_ok(zrv_connect_notify_playback_finished(player->sdk, next == nullptr),
                       "Failed to notify Zorva Connect of playback finishing: %s"))
        return;
    // A stop or a playback error from inside the notification has already
    // reset everything.
    if (!pipewire_sink_is_open(player->sink)) return;

    // A next stream withdrawn inside the notification leaves nothing to play.
    next = next ? stream_manager_find(player->streams, next_id) : nullptr;
    if (!next) {
        app_log(LOG_INFO, "Nothing else to play, stopping playback");
        pipewire_sink_drain(player->sink);
        player_reset_playback(player);
        return;
    }
    if (!same_format) {
        change_format(player, next);
        return;
    }
    // Without a hand-over (the next stream came too late for the
    // nearly-finished moment) the next stream starts flowing now.
    const AudioFormat format = audio_stream_format(next);
    if (player->flowing_stream != next) {
        if (player->flowing_stream) stream_manager_stop_delivery(player->flowing_stream);
        player->flowing_stream = next;
        stream_manager_resume_delivery(next);
    }
    if (!player_sdk_ok(zrv_connect_notify_playback_initiated(player->sdk, format),
                       "Failed to notify Zorva Connect of initiating playback (gapless): %s"))
        return;
    // All of a short next track may have arrived during the hand-over, while
    // it was not yet current, so its own end-of-data report armed nothing.
    // (A disposal inside the notifications may have armed it already.)
    next = stream_manager_find(player->streams, next_id);
    if (next && audio_stream_state(next) == STREAM_STATE_FINISHED && !loop_timer_is_active(player->finished_timer))
        start_finished_timer(player);
}

}  // namespace

void player_hand_over_check(Player *player) {
    AudioStream *current = stream_manager_current(player->streams);
    AudioStream *next = stream_manager_next(player->streams);
    if (!current || !next || !audio_format_equal(audio_stream_format(current), audio_stream_format(next))) return;
    switch (player->state) {
        case PLAYER_STATE_PLAYING:
            if (loop_timer_is_active(player->nearly_finished_timer) || !loop_timer_is_active(player->finished_timer))
                return;
            break;
        case PLAYER_STATE_PAUSED:
            if (loop_timer_is_paused(player->nearly_finished_timer) || !loop_timer_is_paused(player->finished_timer))
                return;
            break;
        default:
            return;
    }
    app_log(LOG_DEBUG, "Starting audio data flow from the next audio source to allow for gapless track transition");
    player->flowing_stream = next;
    player->hand_over_mark = pipewire_sink_write_mark(player->sink);
    player->hand_over_marked = true;
    stream_manager_resume_delivery(next);
}

void player_on_new_stream(StreamManager *manager, AudioStream *stream, void *user) {
    Player *player = player_of(user);
    StreamHooks hooks{player, player_on_data, player_on_state_changed, player_on_seeked, player_on_disposed};
    audio_stream_install_hooks(stream, &hooks);
    stream_manager_stop_delivery(stream);
    // The current stream starts flowing when playback is initiated. A next
    // stream announced after the nearly-finished moment starts at once.
    if (stream_manager_is_current(manager, stream) || !stream_manager_is_next(manager, stream)) return;
    player_hand_over_check(player);
}

void player_on_state_changed(AudioStream *stream, StreamState new_state, StreamState, void *user) {
    Player *player = player_of(user);
    if (!stream_manager_is_current(player->streams, stream) || new_state != STREAM_STATE_FINISHED) return;
    arm_end_of_track(player);
}

void player_on_disposed(AudioStream *stream, void *user) {
    Player *player = player_of(user);
    const bool current = stream_manager_is_current(player->streams, stream);
    // The old track is over: the stream handed over to becomes current, and
    // its audio stays.
    if (current) player->hand_over_marked = false;
    if (stream != player->flowing_stream) return;
    if (current) {
        // A disposed flowing stream that is still current leaves nothing
        // flowing; the next one flows once playback is initiated for it.
        player->flowing_stream = nullptr;
        return;
    }
    // The next stream was withdrawn after the hand-over: what it wrote must
    // not be heard. The current track plays out, and the hand-over goes to
    // whatever stream is next once the marks have moved on.
    if (player->hand_over_marked && pipewire_sink_is_open(player->sink)) {
        const size_t taken_back = pipewire_sink_take_back(player->sink, player->hand_over_mark);
        app_log(LOG_DEBUG, "[Stream %lu]: Took %zu bytes of the withdrawn audio stream back out of the sink",
                audio_stream_id(stream), taken_back);
    }
    player->hand_over_marked = false;
    player->flowing_stream = stream_manager_current(player->streams);
}

void player_on_roles_changed(StreamManager *manager, void *user) {
    Player *player = player_of(user);
    AudioStream *current = stream_manager_current(manager);
    // A current stream whose data is still arriving is followed from its own
    // end-of-data report.
    if (!current || audio_stream_state(current) != STREAM_STATE_FINISHED) return;
    if (timers_idle(player)) {
        // Its end of data came while it was still next (after the previous
        // track's finished moment), which armed nothing.
        arm_end_of_track(player);
        return;
    }
    // The timers already follow it: a stream that has just become next is
    // past the nearly-finished moment, and starts at once, as one announced
    // then would.
    player_hand_over_check(player);
}
