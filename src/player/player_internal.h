// The Player's record and the steps shared by its playback control and its
// track transitions. Loop thread only; no locks.
#pragma once

#include <cstdint>

#include "audio/pipewire_sink.h"
#include "player/loop_handles.h"
#include "player/player.h"
#include "player/stream_manager.h"
#include "zorva_connect.h"

struct Player {
    PlayerState state = PLAYER_STATE_STOPPED;
    ZrvConnect *sdk = nullptr;
    EventPublisher *publisher = nullptr;
    StreamManager *streams = nullptr;
    PipeWireSink *sink = nullptr;
    // The stream whose data feeds the sink: one of the manager's streams, or
    // none. After a gapless hand-over it is the next stream while the
    // current one still plays out of the ring buffer.
    AudioStream *flowing_stream = nullptr;
    // Set by a gapless hand-over: the sink's write mark where the next
    // stream's data begins. Should the SDK withdraw that stream before it
    // becomes current, what it wrote after the mark is taken back.
    bool hand_over_marked = false;
    uint64_t hand_over_mark = 0;
    LoopTimer *nearly_finished_timer = nullptr;
    LoopTimer *finished_timer = nullptr;
    // While the sink has lost its PipeWire stream (the server restarted or
    // the pinned device went away): everything else stays as it was, the
    // end-of-track timers are held, and this timer has the sink reconnect
    // until a stream runs again or the time allowed runs out.
    LoopTimer *reconnect_timer = nullptr;
    bool reconnecting = false;
    uint64_t stream_lost_ns = 0;  // uv_hrtime at the loss
    uint64_t stream_lost_position_ms = 0;
    // The position reported while a seek is in progress.
    uint64_t seek_position_ms = 0;
    bool external_volume = false;
    PlayerVolumeHook volume_hook = nullptr;
    PlayerMuteHook mute_hook = nullptr;
    void *hook_data = nullptr;
};

// True for ZRV_OK; otherwise logs failure_text at ERROR with the error's
// text in its one %s, and returns false.
bool player_sdk_ok(ZrvError error, const char *failure_text);

// Playback control.
void player_reset_playback(Player *player);
// Reset, then tell the SDK about the error.
void player_playback_error(Player *player);
// Ends the reconnecting after a lost stream, if any, without touching the
// end-of-track timers.
void player_stop_reconnecting(Player *player);
// Played minus buffered milliseconds of the current stream.
uint64_t player_position_ms(Player *player);
// Milliseconds of audio in the sink's ring buffer at the current stream's
// rate; 0 without a current stream or with the sink closed.
uint64_t player_buffered_ms(Player *player);
// The stream hooks (player_on_*) run inside the SDK's audio delegate
// callbacks, whose guards stop what they throw.
size_t player_on_data(AudioStream *stream, const void *data, size_t size, void *user);
void player_on_seeked(AudioStream *stream, void *user);
SinkCallbacks player_sink_callbacks(Player *player);

// Track transitions.
void player_on_new_stream(StreamManager *manager, AudioStream *stream, void *user);
void player_on_state_changed(AudioStream *stream, StreamState new_state, StreamState old_state, void *user);
void player_on_disposed(AudioStream *stream, void *user);
void player_on_roles_changed(StreamManager *manager, void *user);
void player_hand_over_check(Player *player);
