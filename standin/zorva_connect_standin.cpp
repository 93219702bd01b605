// The stand-in's C ABI: the exported zrv_connect_* operations of
// zorva_connect.h. Each records its call, answers an injected error, refuses a
// call off the instance's loop thread and stops every exception at the
// boundary; the work is done by the playback service (standin_service.cpp).
// Loop thread only, like the closed SDK: an operation on an instance is called
// on the loop the instance was created on.
#include <uv.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <utility>

#include "standin_internal.h"
#include "standin_service.h"

namespace {

using standin::ArgText;
using standin::guarded;
using standin::kLogComponent;
using standin::log;
using standin::record_call;
using standin::StandinStream;

ZrvError validate_config(const uv_loop_s *loop, const ZrvConnectConfig *config) {
    if (!loop || !config) return ZRV_ERROR_INVALID_ARGUMENT;
    if (config->version != ZRV_CONNECT_CONFIG_VERSION) {
        log(ZRV_LOG_ERROR, kLogComponent, "Unsupported configuration version %u", config->version);
        return ZRV_ERROR_INVALID_ARGUMENT;
    }
    const std::pair<const char *, const char *> required[] = {{"device_name", config->device_name},
                                                              {"manufacturer", config->manufacturer},
                                                              {"model", config->model},
                                                              {"serial_number", config->serial_number},
                                                              {"unique_device_id", config->unique_device_id},
                                                              {"app_id", config->app_id},
                                                              {"app_secret", config->app_secret}};
    for (const auto &[name, value] : required) {
        if (!value) {
            log(ZRV_LOG_ERROR, kLogComponent, "Configuration value %s is missing", name);
            return ZRV_ERROR_INVALID_ARGUMENT;
        }
    }
    if (config->max_audio_quality > ZRV_AUDIO_QUALITY_HIRES3) {
        log(ZRV_LOG_ERROR, kLogComponent, "Unknown maximum audio quality %u", config->max_audio_quality);
        return ZRV_ERROR_INVALID_ARGUMENT;
    }
    return ZRV_OK;
}

// The common entry of every operation: records the call and gives the
// injected error, if any. An operation on an instance from another thread than
// the one that created it (the loop thread) is refused: the SDK is not
// thread-safe, and such a call is a fault of the caller.
ZrvError enter(const char *operation, const ArgText &args, const ZrvConnect *sdk) {
    if (ZrvError injected = record_call(operation, args.text())) return injected;
    if (sdk && sdk->thread != std::this_thread::get_id()) {
        log(ZRV_LOG_ERROR, kLogComponent, "%s called off the loop thread; refused", operation);
        return ZRV_ERROR_INVALID_STATE;
    }
    return ZRV_OK;
}

// An operation on an instance: entered with the text of `args` (the values
// after the handle), refused for a null instance, then `body` answers.
template <class Body, class... Args>
ZrvError instance_operation(const char *operation, ZrvConnect *sdk, Body &&body, const Args &...args) noexcept {
    return guarded([&]() -> ZrvError {
        ArgText text;
        (text.add(args), ...);
        if (ZrvError refused = enter(operation, text, sdk)) return refused;
        if (!sdk) return ZRV_ERROR_INVALID_ARGUMENT;
        return body();
    });
}

// One of the renderer's notifications: they need a session and a playback.
template <class Body, class... Args>
ZrvError notification(const char *operation, ZrvConnect *sdk, Body &&body, const Args &...args) noexcept {
    return instance_operation(
        operation, sdk,
        [&]() -> ZrvError {
            if (!sdk->connected) return ZRV_ERROR_NOT_CONNECTED;
            if (sdk->streams.empty()) return ZRV_ERROR_NO_PLAYBACK;
            return body();
        },
        args...);
}

// The renderer reports its volume or mute state: the value is stored (a
// valid one), with or without a session, and never echoed back.
template <class Value>
ZrvError store_renderer_report(const char *operation, ZrvConnect *sdk, Value ZrvConnect::*field, Value value,
                               bool valid) noexcept {
    return instance_operation(
        operation, sdk,
        [&]() -> ZrvError {
            if (!valid) return ZRV_ERROR_INVALID_ARGUMENT;
            sdk->*field = value;
            return ZRV_OK;
        },
        value);
}

// The playback ends on the renderer's side (a stop the service did not ask
// for, or an error): every stream goes and the service reports STOPPED.
void end_playback(ZrvConnect *sdk) {
    sdk->awaiting_initiated = false;
    sdk->dispose_all();
    sdk->report_state();
}

ZrvConnect *create_instance(uv_loop_s *loop, const ZrvConnectConfig *config, ZrvError *out_error) {
    ArgText args;
    if (config)
        args.add(config->version)
            .add(config->device_name)
            .add(config->device_type)
            .add(config->manufacturer)
            .add(config->model)
            .add(config->serial_number)
            .add(config->unique_device_id)
            .add(config->app_id)
            .add(config->app_secret)
            .add(config->max_audio_quality)
            .add(config->capabilities);
    else
        args.add(static_cast<const char *>(nullptr));
    ZrvError error = enter("zrv_connect_create", args, nullptr);
    if (error == ZRV_OK) error = validate_config(loop, config);
    if (out_error) *out_error = error;
    if (error != ZRV_OK) return nullptr;

    auto sdk = std::make_unique<ZrvConnect>();
    sdk->loop = loop;
    sdk->device_name = config->device_name;
    sdk->manufacturer = config->manufacturer;
    sdk->model = config->model;
    sdk->serial_number = config->serial_number;
    sdk->unique_device_id = config->unique_device_id;
    sdk->app_id = config->app_id;
    sdk->app_secret = config->app_secret;
    sdk->device_type = config->device_type;
    sdk->max_audio_quality = config->max_audio_quality;
    sdk->capabilities = config->capabilities;
    sdk->advertising = config->advertising;
    sdk->config_server = config->config_server;
    sdk->audio = config->audio;
    sdk->playback = config->playback;
    sdk->device = config->device;
    sdk->device_uuid = standin::device_uuid_for(sdk->unique_device_id);
    sdk->task_timer = standin::make_timer(loop, sdk.get());
    sdk->push_timer = standin::make_timer(loop, sdk.get());

    log(ZRV_LOG_INFO, kLogComponent, "Zorva Connect %s starting for '%s' (%s, %s %s), device %s", standin::kSdkVersion,
        sdk->device_name.c_str(), zrv_device_type_to_string(sdk->device_type), sdk->manufacturer.c_str(),
        sdk->model.c_str(), sdk->device_uuid.c_str());
    log(ZRV_LOG_DEBUG, standin::kHttpComponent, "HTTP client ready (stand-in: no network traffic)");
    log(ZRV_LOG_DEBUG, kLogComponent, "Maximum audio quality %s, gapless %s",
        zrv_audio_quality_to_string(sdk->max_audio_quality),
        (sdk->capabilities & ZRV_CAPABILITY_GAPLESS) ? "yes" : "no");

    // The daemon hands the handle to its advertiser and configuration server
    // only after create returns, so both are started from the loop.
    ZrvConnect *raw = sdk.get();
    raw->post([raw] {
        raw->start_advertising();
        raw->start_config_server();
    });
    // A daemon run as its own process can be given a session without going
    // through its configuration server.
    if (const char *endpoint = std::getenv("ZRV_STANDIN_CONNECT"); endpoint && *endpoint) {
        raw->post([raw, zconnect = std::string(endpoint)] {
            if (standin::join_session(raw, "standin-session", "standin:api", zconnect.c_str(), true) != ZRV_OK)
                log(ZRV_LOG_ERROR, kLogComponent, "ZRV_STANDIN_CONNECT: no session joined");
        });
    }
    return sdk.release();
}

}  // namespace

extern "C" {

ZRV_EXPORT ZrvConnect *zrv_connect_create(struct uv_loop_s *loop, const ZrvConnectConfig *config, ZrvError *out_error) {
    try {
        return create_instance(loop, config, out_error);
    } catch (...) {
        if (out_error) *out_error = ZRV_ERROR_OUT_OF_MEMORY;
        return nullptr;
    }
}

ZRV_EXPORT void zrv_connect_free(ZrvConnect *sdk) {
    try {
        record_call("zrv_connect_free", "");
    } catch (...) {
        // Freeing goes on without a record entry.
    }
    if (!sdk) return;
    if (sdk->thread != std::this_thread::get_id())
        log(ZRV_LOG_ERROR, kLogComponent, "zrv_connect_free called off the loop thread");
    sdk->stop_advertising();
    sdk->stop_config_server();
    log(ZRV_LOG_INFO, kLogComponent, "Zorva Connect stopped");
    delete sdk;
}

ZRV_EXPORT const char *zrv_connect_get_sdk_version(void) {
    try {
        record_call("zrv_connect_get_sdk_version", "");
    } catch (...) {
        // The version is answered without a record entry.
    }
    return standin::kSdkVersion;
}

ZRV_EXPORT ZrvError zrv_connect_get_device_uuid(ZrvConnect *sdk, const char **out_uuid) {
    return instance_operation("zrv_connect_get_device_uuid", sdk, [&]() -> ZrvError {
        if (!out_uuid) return ZRV_ERROR_INVALID_ARGUMENT;
        *out_uuid = sdk->device_uuid.c_str();
        return ZRV_OK;
    });
}

ZRV_EXPORT ZrvError zrv_connect_get_session_id(ZrvConnect *sdk, const char **out_session_id) {
    return instance_operation("zrv_connect_get_session_id", sdk, [&]() -> ZrvError {
        if (!out_session_id) return ZRV_ERROR_INVALID_ARGUMENT;
        *out_session_id = sdk->session_id.c_str();
        return ZRV_OK;
    });
}

ZRV_EXPORT ZrvError zrv_connect_connect(ZrvConnect *sdk, const char *session_id, const SessionToken *api_token,
                                        const SessionToken *zconnect_token, bool become_active) {
    return instance_operation(
        "zrv_connect_connect", sdk,
        [&]() -> ZrvError {
            if (!session_id || !*session_id || !api_token || !zconnect_token || !api_token->endpoint ||
                !api_token->token || !zconnect_token->endpoint || !zconnect_token->token)
                return ZRV_ERROR_INVALID_ARGUMENT;
            return standin::join_session(sdk, session_id, api_token->endpoint, zconnect_token->endpoint, become_active);
        },
        session_id, api_token, zconnect_token, become_active);
}

ZRV_EXPORT ZrvError zrv_connect_deactivate_and_disconnect_renderer(ZrvConnect *sdk) {
    return instance_operation("zrv_connect_deactivate_and_disconnect_renderer", sdk, [&]() -> ZrvError {
        if (!sdk->connected) return ZRV_ERROR_NOT_CONNECTED;
        sdk->state = ZRV_PLAYBACK_STATE_STOPPED;
        sdk->post([sdk] {
            sdk->stop_and_dispose();
            sdk->set_renderer_active(false);
            // The session ends last, so the renderer's stop notification above
            // still finds it.
            sdk->connected = false;
            sdk->session_id.clear();
            log(ZRV_LOG_INFO, kLogComponent, "Left the session");
        });
        return ZRV_OK;
    });
}

ZRV_EXPORT ZrvError zrv_connect_get_playback_state(ZrvConnect *sdk, ZrvPlaybackState *out_state) {
    return instance_operation("zrv_connect_get_playback_state", sdk, [&]() -> ZrvError {
        if (!out_state) return ZRV_ERROR_INVALID_ARGUMENT;
        if (!sdk->connected) return ZRV_ERROR_NOT_CONNECTED;
        *out_state = sdk->state;
        return ZRV_OK;
    });
}

ZRV_EXPORT ZrvError zrv_connect_start_playback(ZrvConnect *sdk) {
    return instance_operation("zrv_connect_start_playback", sdk, [&]() -> ZrvError {
        if (!sdk->connected) return ZRV_ERROR_NOT_CONNECTED;
        if (sdk->state == ZRV_PLAYBACK_STATE_PAUSED) return standin::service_resume(sdk);
        if (sdk->playing()) return ZRV_OK;
        return standin::service_play(sdk, sdk->track_index < sdk->queue.size() ? sdk->track_index : 0, 0, false);
    });
}

ZRV_EXPORT ZrvError zrv_connect_pause_playback(ZrvConnect *sdk) {
    return instance_operation("zrv_connect_pause_playback", sdk,
                              [&]() -> ZrvError { return standin::service_pause(sdk); });
}

ZRV_EXPORT ZrvError zrv_connect_resume_playback(ZrvConnect *sdk) {
    return instance_operation("zrv_connect_resume_playback", sdk,
                              [&]() -> ZrvError { return standin::service_resume(sdk); });
}

ZRV_EXPORT ZrvError zrv_connect_stop_playback(ZrvConnect *sdk) {
    return instance_operation("zrv_connect_stop_playback", sdk,
                              [&]() -> ZrvError { return standin::service_stop(sdk); });
}

ZRV_EXPORT ZrvError zrv_connect_next_track(ZrvConnect *sdk) {
    return instance_operation("zrv_connect_next_track", sdk, [&]() -> ZrvError { return standin::service_next(sdk); });
}

ZRV_EXPORT ZrvError zrv_connect_previous_track(ZrvConnect *sdk) {
    return instance_operation("zrv_connect_previous_track", sdk,
                              [&]() -> ZrvError { return standin::service_previous(sdk); });
}

ZRV_EXPORT ZrvError zrv_connect_seek_time(ZrvConnect *sdk, uint64_t position_ms) {
    return instance_operation(
        "zrv_connect_seek_time", sdk, [&]() -> ZrvError { return standin::service_seek(sdk, position_ms); },
        position_ms);
}

ZRV_EXPORT ZrvError zrv_connect_set_volume(ZrvConnect *sdk, uint32_t volume) {
    return store_renderer_report("zrv_connect_set_volume", sdk, &ZrvConnect::volume, volume,
                                 volume <= standin::kMaxVolume);
}

ZRV_EXPORT ZrvError zrv_connect_set_mute_state(ZrvConnect *sdk, bool muted) {
    return store_renderer_report("zrv_connect_set_mute_state", sdk, &ZrvConnect::muted, muted, true);
}

ZRV_EXPORT ZrvError zrv_connect_notify_playback_initiated(ZrvConnect *sdk, AudioFormat format) {
    return notification(
        "zrv_connect_notify_playback_initiated", sdk,
        [&]() -> ZrvError {
            if (format.sample_rate == 0 || format.channels == 0 ||
                zrv_audio_sample_format_size(format.sample_format) == 0)
                return ZRV_ERROR_INVALID_ARGUMENT;
            StandinStream *expected = sdk->awaiting_initiated && sdk->next() ? sdk->next() : sdk->current();
            const AudioFormat wanted = standin::format_of(expected->track);
            if (wanted.sample_rate != format.sample_rate || wanted.channels != format.channels ||
                wanted.sample_format != format.sample_format)
                log(ZRV_LOG_WARNING, kLogComponent,
                    "Renderer reports playback of %u Hz/%u ch/format %u, but stream %llu is %u Hz/%u ch/format %u",
                    format.sample_rate, format.channels, format.sample_format,
                    static_cast<unsigned long long>(expected->id), wanted.sample_rate, wanted.channels,
                    wanted.sample_format);
            if (sdk->awaiting_initiated && sdk->next()) {
                // The renderer has moved on to the next track: the old stream goes.
                sdk->awaiting_initiated = false;
                const uint64_t old_id = sdk->current()->id;
                sdk->post([sdk, old_id] {
                    sdk->dispose(old_id);
                    sdk->report_next_available();
                    // The new current track may already be close enough to its
                    // end for the one after it to be announced.
                    sdk->ensure_pushing();
                });
            }
            if (sdk->state == ZRV_PLAYBACK_STATE_BUFFERING) sdk->follow_renderer(ZRV_PLAYBACK_STATE_PLAYING);
            return ZRV_OK;
        },
        format);
}

ZRV_EXPORT ZrvError zrv_connect_notify_playback_paused(ZrvConnect *sdk) {
    return notification("zrv_connect_notify_playback_paused", sdk, [&]() -> ZrvError {
        if (sdk->state == ZRV_PLAYBACK_STATE_PLAYING || sdk->state == ZRV_PLAYBACK_STATE_BUFFERING)
            sdk->follow_renderer(ZRV_PLAYBACK_STATE_PAUSED);
        return ZRV_OK;
    });
}

ZRV_EXPORT ZrvError zrv_connect_notify_playback_resumed(ZrvConnect *sdk) {
    return notification("zrv_connect_notify_playback_resumed", sdk, [&]() -> ZrvError {
        if (sdk->state == ZRV_PLAYBACK_STATE_PAUSED) sdk->follow_renderer(ZRV_PLAYBACK_STATE_PLAYING);
        return ZRV_OK;
    });
}

ZRV_EXPORT ZrvError zrv_connect_notify_playback_stopped(ZrvConnect *sdk) {
    return notification("zrv_connect_notify_playback_stopped", sdk, [&]() -> ZrvError {
        // A stop the service did not ask for ends its playback too.
        if (sdk->playing()) {
            sdk->state = ZRV_PLAYBACK_STATE_STOPPED;
            sdk->post([sdk] { end_playback(sdk); });
        }
        return ZRV_OK;
    });
}

ZRV_EXPORT ZrvError zrv_connect_notify_playback_error(ZrvConnect *sdk) {
    return notification("zrv_connect_notify_playback_error", sdk, [&]() -> ZrvError {
        log(ZRV_LOG_WARNING, kLogComponent, "Renderer reports a playback error; playback ends");
        sdk->state = ZRV_PLAYBACK_STATE_STOPPED;
        sdk->post([sdk] {
            if (!sdk->playing()) end_playback(sdk);
        });
        return ZRV_OK;
    });
}

ZRV_EXPORT ZrvError zrv_connect_notify_playback_finished(ZrvConnect *sdk, bool nothing_queued) {
    return notification(
        "zrv_connect_notify_playback_finished", sdk,
        [&]() -> ZrvError {
            if (!nothing_queued && sdk->next()) {
                if (!sdk->reentrant_disposal) {
                    sdk->awaiting_initiated = true;
                    return ZRV_OK;
                }
                // The finished stream goes at once; the next one is current
                // before the renderer reports it initiated.
                sdk->dispose(sdk->current()->id);
                sdk->post([sdk] {
                    sdk->report_next_available();
                    sdk->ensure_pushing();
                });
                return ZRV_OK;
            }
            // The end of the queue: the renderer has stopped by itself.
            log(ZRV_LOG_INFO, kLogComponent, "End of the queue");
            sdk->state = ZRV_PLAYBACK_STATE_STOPPED;
            auto end_of_queue = [sdk] {
                sdk->awaiting_initiated = false;
                sdk->dispose_all();
                sdk->track_index = 0;
            };
            if (sdk->reentrant_disposal) end_of_queue();
            sdk->post([sdk, end_of_queue] {
                if (sdk->playing()) return;
                end_of_queue();
                sdk->report_state();
            });
            return ZRV_OK;
        },
        nothing_queued);
}

ZRV_EXPORT ZrvError zrv_connect_resume_audio_delivery(ZrvConnect *sdk, uint64_t stream_id) {
    return instance_operation(
        "zrv_connect_resume_audio_delivery", sdk,
        [&]() -> ZrvError {
            StandinStream *stream = sdk->find_stream(stream_id);
            if (!stream) return ZRV_ERROR_UNKNOWN_STREAM;
            stream->blocked = false;
            ++stream->resumes;
            // Data may flow from inside this call; the end-of-data report and
            // any other callback wait for the push timer.
            sdk->deliver(*stream);
            sdk->ensure_pushing();
            return ZRV_OK;
        },
        stream_id);
}

}  // extern "C"
