// The test control's scripting of one instance (zorva_standin.h): the queue,
// pacing, the service's own actions and changes, and its status. Loop thread
// only, like the SDK's operations; nothing here is recorded as a daemon call,
// and the renderer sees the effects from the loop, never inside the call.
#include "standin_internal.h"
#include "standin_service.h"
#include "zorva_standin.h"

namespace {

using standin::guarded;

// Runs `body` on a non-null instance; no exception leaves the C ABI.
template <class Body>
ZrvError with_instance(ZrvConnect *sdk, Body &&body) noexcept {
    return guarded([&]() -> ZrvError { return sdk ? body() : ZRV_ERROR_INVALID_ARGUMENT; });
}

}  // namespace

extern "C" {

ZRV_EXPORT ZrvError zrv_standin_set_queue(ZrvConnect *sdk, const ZrvStandinTrack *tracks, size_t count) {
    return with_instance(sdk, [&]() -> ZrvError {
        if ((count > 0 && !tracks) || count > standin::kMaxQueue) return ZRV_ERROR_INVALID_ARGUMENT;
        if (sdk->playing() || !sdk->streams.empty()) return ZRV_ERROR_INVALID_STATE;
        for (size_t i = 0; i < count; ++i)
            if (!standin::valid_track(tracks[i])) return ZRV_ERROR_INVALID_ARGUMENT;
        sdk->queue.assign(tracks, tracks + count);
        sdk->track_index = 0;
        return ZRV_OK;
    });
}

ZRV_EXPORT ZrvError zrv_standin_set_pacing(ZrvConnect *sdk, uint32_t chunk_ms, uint32_t lead_ms,
                                           uint32_t announce_ahead_ms) {
    return with_instance(sdk, [&]() -> ZrvError {
        if (chunk_ms == 0 || chunk_ms > 1000) return ZRV_ERROR_INVALID_ARGUMENT;
        sdk->chunk_ms = chunk_ms;
        sdk->lead_ms = lead_ms;
        sdk->announce_ahead_ms = announce_ahead_ms;
        if (standin::timer_active(sdk->push_timer)) uv_timer_set_repeat(sdk->push_timer.get(), chunk_ms);
        return ZRV_OK;
    });
}

ZRV_EXPORT ZrvError zrv_standin_set_lookahead(ZrvConnect *sdk, uint32_t streams) {
    return with_instance(sdk, [&]() -> ZrvError {
        if (streams < 2 || streams > standin::kMaxLookahead) return ZRV_ERROR_INVALID_ARGUMENT;
        sdk->lookahead = streams;
        return ZRV_OK;
    });
}

ZRV_EXPORT ZrvError zrv_standin_set_reentrant_disposal(ZrvConnect *sdk, bool on) {
    return with_instance(sdk, [&]() -> ZrvError {
        sdk->reentrant_disposal = on;
        return ZRV_OK;
    });
}

ZRV_EXPORT ZrvError zrv_standin_play(ZrvConnect *sdk, size_t track_index, uint64_t start_ms, bool paused) {
    return with_instance(sdk, [&] { return standin::service_play(sdk, track_index, start_ms, paused); });
}
ZRV_EXPORT ZrvError zrv_standin_withdraw_next(ZrvConnect *sdk) {
    return with_instance(sdk, [&] { return standin::service_withdraw_next(sdk); });
}
ZRV_EXPORT ZrvError zrv_standin_pause(ZrvConnect *sdk) {
    return with_instance(sdk, [&] { return standin::service_pause(sdk); });
}
ZRV_EXPORT ZrvError zrv_standin_resume(ZrvConnect *sdk) {
    return with_instance(sdk, [&] { return standin::service_resume(sdk); });
}
ZRV_EXPORT ZrvError zrv_standin_stop(ZrvConnect *sdk) {
    return with_instance(sdk, [&] { return standin::service_stop(sdk); });
}
ZRV_EXPORT ZrvError zrv_standin_seek(ZrvConnect *sdk, uint64_t position_ms) {
    return with_instance(sdk, [&] { return standin::service_seek(sdk, position_ms); });
}
ZRV_EXPORT ZrvError zrv_standin_next(ZrvConnect *sdk) {
    return with_instance(sdk, [&] { return standin::service_next(sdk); });
}
ZRV_EXPORT ZrvError zrv_standin_previous(ZrvConnect *sdk) {
    return with_instance(sdk, [&] { return standin::service_previous(sdk); });
}

ZRV_EXPORT ZrvError zrv_standin_set_service_volume(ZrvConnect *sdk, uint32_t volume) {
    return with_instance(sdk, [&]() -> ZrvError {
        if (volume > standin::kMaxVolume) return ZRV_ERROR_INVALID_ARGUMENT;
        return sdk->post_to_renderer([sdk, volume] {
            if (sdk->playback.volume_changed) sdk->playback.volume_changed(sdk, volume, sdk->playback.user);
        });
    });
}

ZRV_EXPORT ZrvError zrv_standin_set_service_mute(ZrvConnect *sdk, bool muted) {
    return with_instance(sdk, [&] {
        return sdk->post_to_renderer([sdk, muted] {
            if (sdk->playback.mute_changed) sdk->playback.mute_changed(sdk, muted, sdk->playback.user);
        });
    });
}

ZRV_EXPORT ZrvError zrv_standin_set_max_quality(ZrvConnect *sdk, uint32_t quality) {
    return with_instance(sdk, [&]() -> ZrvError {
        if (quality > ZRV_AUDIO_QUALITY_HIRES3) return ZRV_ERROR_INVALID_ARGUMENT;
        return sdk->post_to_renderer([sdk, quality] {
            if (sdk->playback.max_quality_changed) sdk->playback.max_quality_changed(sdk, quality, sdk->playback.user);
        });
    });
}

ZRV_EXPORT ZrvError zrv_standin_set_controls(ZrvConnect *sdk, uint32_t loop_mode, bool shuffle) {
    return with_instance(sdk, [&]() -> ZrvError {
        if (loop_mode > ZRV_LOOP_MODE_QUEUE) return ZRV_ERROR_INVALID_ARGUMENT;
        return sdk->post_to_renderer([sdk, loop_mode, shuffle] {
            if (sdk->playback.controls_changed)
                sdk->playback.controls_changed(sdk, loop_mode, shuffle, sdk->playback.user);
        });
    });
}

ZRV_EXPORT ZrvError zrv_standin_set_next_available(ZrvConnect *sdk, bool next_available) {
    return with_instance(sdk, [&] {
        return sdk->post_to_renderer([sdk, next_available] {
            sdk->reported_next_available = next_available;
            if (sdk->playback.actions_availability_changed)
                sdk->playback.actions_availability_changed(sdk, next_available, sdk->playback.user);
        });
    });
}

ZRV_EXPORT ZrvError zrv_standin_set_advertising(ZrvConnect *sdk, bool on) {
    return with_instance(sdk, [&]() -> ZrvError {
        sdk->post([sdk, on] { on ? sdk->start_advertising() : sdk->stop_advertising(); });
        return ZRV_OK;
    });
}

ZRV_EXPORT ZrvError zrv_standin_set_config_server(ZrvConnect *sdk, bool on) {
    return with_instance(sdk, [&]() -> ZrvError {
        sdk->post([sdk, on] { on ? sdk->start_config_server() : sdk->stop_config_server(); });
        return ZRV_OK;
    });
}

ZRV_EXPORT ZrvError zrv_standin_get_status(ZrvConnect *sdk, ZrvStandinStatus *out) {
    return with_instance(sdk, [&]() -> ZrvError {
        if (!out) return ZRV_ERROR_INVALID_ARGUMENT;
        *out = ZrvStandinStatus{};
        out->connected = sdk->connected;
        out->renderer_active = sdk->renderer_active;
        out->advertising = sdk->advertising_on;
        out->config_server_running = sdk->config_server_on;
        out->state = sdk->state;
        out->volume = sdk->volume;
        out->muted = sdk->muted;
        out->queue_length = sdk->queue.size();
        out->track_index = sdk->track_index;
        out->current_stream = sdk->current() ? sdk->current()->id : 0;
        out->next_stream = sdk->next() ? sdk->next()->id : 0;
        out->streams_announced = sdk->streams_announced;
        out->streams_disposed = sdk->streams_disposed;
        out->bytes_taken = sdk->bytes_taken;
        return ZRV_OK;
    });
}

}  // extern "C"
