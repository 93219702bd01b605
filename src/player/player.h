// Player: the playback engine, the SDK's renderer (its audio and playback
// delegates), with its StreamManager, PipeWireSink and two end-of-track
// timers. Loop thread only; no locks.
#pragma once

#include <uv.h>

#include <cstdint>

#include "zorva_connect.h"

struct Player;
struct StreamManager;
struct PipeWireSink;
struct EventPublisher;

using PlayerState = uint32_t;
enum : PlayerState {
    PLAYER_STATE_STOPPED = 0,
    PLAYER_STATE_PLAYING = 1,
    PLAYER_STATE_SEEKING_PLAYING = 2,
    PLAYER_STATE_PAUSED = 3,
    PLAYER_STATE_SEEKING_PAUSED = 4,
};

using PlayerVolumeHook = void (*)(uint32_t volume, void *hook_data);
using PlayerMuteHook = void (*)(bool muted, void *hook_data);

Player *player_new(uv_loop_t *loop, const char *output_device, const char *volume_device, const char *volume_element);
void player_free(Player *player);
void player_set_sdk(Player *player, ZrvConnect *sdk);
void player_set_publisher(Player *player, EventPublisher *publisher);
void player_set_external_volume(Player *player, bool external_volume);
// Milliseconds of silence played at the new rate before a track whose sample
// rate differs from the one played before it (0, the default: none).
void player_set_rate_change_silence(Player *player, uint32_t silence_ms);
void player_set_volume_hooks(Player *player, PlayerVolumeHook volume_hook, PlayerMuteHook mute_hook, void *hook_data);
StreamManager *player_streams(Player *player);
// The Player's audio output, owned by the Player: whether it is open, what
// it holds, its volume and mute.
PipeWireSink *player_sink(Player *player);
// Where playback control and the track transitions have left the Player.
PlayerState player_state(const Player *player);
uint32_t player_max_audio_quality(const Player *player);
AudioDelegate player_audio_delegate(Player *player);
PlaybackDelegate player_playback_delegate(Player *player);
