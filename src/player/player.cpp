// Loop thread only: creation, wiring and release of the Player.
#include "player/player.h"

#include "app/log.h"
#include "player/player_internal.h"

bool player_sdk_ok(ZrvError error, const char *failure_text) {
    if (error == ZRV_OK) return true;
    app_log(LOG_ERROR, failure_text, zrv_error_to_string(error));
    return false;
}

Player *player_new(uv_loop_t *loop, const char *output_device, const char *, const char *) {
    auto *player = new Player{};
    player->streams = stream_manager_new(player, player_on_new_stream);
    stream_manager_set_roles_hook(player->streams, player_on_roles_changed);
    // The sink decides what to make of the configured output device.
    player->sink = pipewire_sink_new(loop, output_device);
    player->flowing_stream = nullptr;
    player->nearly_finished_timer = loop_timer_new(loop, player);
    player->finished_timer = loop_timer_new(loop, player);
    player->reconnect_timer = loop_timer_new(loop, player);
    SinkCallbacks callbacks = player_sink_callbacks(player);
    pipewire_sink_set_callbacks(player->sink, &callbacks);
    return player;
}

void player_free(Player *player) {
    if (!player) return;
    // The loop releases the timers' memory in their close callbacks.
    loop_timer_close(player->nearly_finished_timer);
    loop_timer_close(player->finished_timer);
    loop_timer_close(player->reconnect_timer);
    stream_manager_free(player->streams);
    pipewire_sink_free(player->sink);
    delete player;
}

void player_set_sdk(Player *player, ZrvConnect *sdk) {
    player->sdk = sdk;
    stream_manager_set_sdk(player->streams, sdk);
    if (player->external_volume) return;
    zrv_connect_set_volume(sdk, pipewire_sink_get_volume(player->sink));
    zrv_connect_set_mute_state(sdk, pipewire_sink_get_mute(player->sink));
}

void player_set_publisher(Player *player, EventPublisher *publisher) {
    player->publisher = publisher;
    stream_manager_set_publisher(player->streams, publisher);
}

void player_set_external_volume(Player *player, bool external_volume) { player->external_volume = external_volume; }

void player_set_rate_change_silence(Player *player, uint32_t silence_ms) {
    pipewire_sink_set_rate_change_silence(player->sink, silence_ms);
}

void player_set_volume_hooks(Player *player, PlayerVolumeHook volume_hook, PlayerMuteHook mute_hook, void *hook_data) {
    player->volume_hook = volume_hook;
    player->mute_hook = mute_hook;
    player->hook_data = hook_data;
}

StreamManager *player_streams(Player *player) { return player->streams; }

PipeWireSink *player_sink(Player *player) { return player->sink; }

PlayerState player_state(const Player *player) { return player->state; }

uint32_t player_max_audio_quality(const Player *player) { return pipewire_sink_max_audio_quality(player->sink); }

AudioDelegate player_audio_delegate(Player *player) { return stream_manager_audio_delegate(player->streams); }
