// The stand-in Zorva Connect SDK instance: configuration, session and the
// service side of playback. Loop thread only: every operation is called on the
// loop the instance was created on, and every delegate call is made from that
// loop's timer callbacks (or, for audio data, from inside
// zrv_connect_resume_audio_delivery, which the daemon allows).
#include <uv.h>

#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <utility>

#include "standin_internal.h"
#include "zorva_standin.h"

namespace {

using standin::ArgText;
using standin::log;
using standin::record_call;

constexpr const char *kSdkVersion = "1.0.0-standin";
constexpr const char *kServiceType = "_zorva-connect._tcp";

// A libuv timer owned by the instance; the memory goes in the close callback.
struct TimerDeleter {
    void operator()(uv_timer_t *timer) const noexcept {
        uv_close(reinterpret_cast<uv_handle_t *>(timer),
                 [](uv_handle_t *handle) noexcept { delete reinterpret_cast<uv_timer_t *>(handle); });
    }
};
using TimerPtr = std::unique_ptr<uv_timer_t, TimerDeleter>;

TimerPtr make_timer(uv_loop_t *loop, void *data) {
    auto *timer = new uv_timer_t;
    uv_timer_init(loop, timer);
    timer->data = data;
    return TimerPtr(timer);
}

}  // namespace

struct ZrvConnect {
    uv_loop_t *loop = nullptr;

    // Copies of the configuration record's strings and its delegate tables.
    std::string device_name, manufacturer, model, serial_number, unique_device_id, app_id, app_secret;
    int32_t device_type = 0;
    uint32_t max_audio_quality = 0;
    uint32_t capabilities = 0;
    AdvertisingDelegate advertising{};
    ConfigServerDelegate config_server{};
    AudioDelegate audio{};
    PlaybackDelegate playback{};
    DeviceDelegate device{};

    std::string device_uuid;
    std::string session_id;  // empty: no session
    std::string api_endpoint, zconnect_endpoint;
    bool connected = false;
    bool renderer_active = false;
    bool advertising_on = false;
    bool config_server_on = false;
    uint32_t volume = 0;
    bool muted = false;

    // Work for the loop: delegate calls are never made from inside an
    // operation the daemon called, only from these tasks.
    TimerPtr task_timer;
    std::deque<std::function<void()>> tasks;

    void post(std::function<void()> task);
    void run_tasks();
    void start_advertising();
    void stop_advertising();
    void start_config_server();
    void stop_config_server();
    void set_renderer_active(bool active);
};

void ZrvConnect::post(std::function<void()> task) {
    tasks.push_back(std::move(task));
    if (!uv_is_active(reinterpret_cast<uv_handle_t *>(task_timer.get())))
        uv_timer_start(
            task_timer.get(), [](uv_timer_t *timer) noexcept { static_cast<ZrvConnect *>(timer->data)->run_tasks(); },
            0, 0);
}

void ZrvConnect::run_tasks() {
    // Tasks posted while these run wait for the next loop iteration, so a
    // sequence of steps reaches the renderer spread over iterations, as it
    // would from a real service.
    std::deque<std::function<void()>> batch;
    batch.swap(tasks);
    for (auto &task : batch) task();
}

void ZrvConnect::start_advertising() {
    if (advertising_on) return;
    advertising_on = true;
    log(ZRV_LOG_INFO, standin::kLogComponent, "Advertising '%s' as %s", device_name.c_str(), kServiceType);
    if (advertising.start_advertising)
        advertising.start_advertising(this, device_name.c_str(), kServiceType, advertising.user);
}

void ZrvConnect::stop_advertising() {
    if (!advertising_on) return;
    advertising_on = false;
    log(ZRV_LOG_INFO, standin::kLogComponent, "Stopping advertising");
    if (advertising.stop_advertising) advertising.stop_advertising(this, advertising.user);
}

void ZrvConnect::start_config_server() {
    if (config_server_on) return;
    config_server_on = true;
    log(ZRV_LOG_INFO, standin::kLogComponent, "Starting the local configuration server");
    if (config_server.start) config_server.start(this, config_server.user);
}

void ZrvConnect::stop_config_server() {
    if (!config_server_on) return;
    config_server_on = false;
    log(ZRV_LOG_INFO, standin::kLogComponent, "Stopping the local configuration server");
    if (config_server.stop) config_server.stop(this, config_server.user);
}

void ZrvConnect::set_renderer_active(bool active) {
    if (renderer_active == active) return;
    renderer_active = active;
    log(ZRV_LOG_INFO, standin::kLogComponent, "Renderer %s", active ? "activated" : "deactivated");
    if (device.renderer_active_changed) device.renderer_active_changed(this, active, device.user);
}

namespace {

ZrvError validate_config(const uv_loop_s *loop, const ZrvConnectConfig *config) {
    if (!loop || !config) return ZRV_ERROR_INVALID_ARGUMENT;
    if (config->version != ZRV_CONNECT_CONFIG_VERSION) {
        log(ZRV_LOG_ERROR, standin::kLogComponent, "Unsupported configuration version %u", config->version);
        return ZRV_ERROR_INVALID_ARGUMENT;
    }
    const std::pair<const char *, const char *> required[] = {
        {"device_name", config->device_name},     {"manufacturer", config->manufacturer},
        {"model", config->model},                 {"serial_number", config->serial_number},
        {"unique_device_id", config->unique_device_id}, {"app_id", config->app_id},
        {"app_secret", config->app_secret}};
    for (const auto &[name, value] : required) {
        if (!value) {
            log(ZRV_LOG_ERROR, standin::kLogComponent, "Configuration value %s is missing", name);
            return ZRV_ERROR_INVALID_ARGUMENT;
        }
    }
    if (config->max_audio_quality > ZRV_AUDIO_QUALITY_HIRES3) {
        log(ZRV_LOG_ERROR, standin::kLogComponent, "Unknown maximum audio quality %u", config->max_audio_quality);
        return ZRV_ERROR_INVALID_ARGUMENT;
    }
    return ZRV_OK;
}

// The common entry of every operation on an instance: records the call and
// gives the injected error, if any.
ZrvError enter(const char *operation, const ArgText &args) { return record_call(operation, args.text()); }

}  // namespace

extern "C" {

ZRV_EXPORT ZrvConnect *zrv_connect_create(struct uv_loop_s *loop, const ZrvConnectConfig *config,
                                          ZrvError *out_error) {
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
    ZrvError error = enter(__func__, args);
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
    sdk->task_timer = make_timer(loop, sdk.get());

    log(ZRV_LOG_INFO, standin::kLogComponent, "Zorva Connect %s starting for '%s' (%s, %s %s), device %s",
        kSdkVersion, sdk->device_name.c_str(), zrv_device_type_to_string(sdk->device_type),
        sdk->manufacturer.c_str(), sdk->model.c_str(), sdk->device_uuid.c_str());
    log(ZRV_LOG_DEBUG, standin::kHttpComponent, "HTTP client ready (stand-in: no network traffic)");
    log(ZRV_LOG_DEBUG, standin::kLogComponent, "Maximum audio quality %s, gapless %s",
        zrv_audio_quality_to_string(sdk->max_audio_quality),
        (sdk->capabilities & ZRV_CAPABILITY_GAPLESS) ? "yes" : "no");

    // The daemon hands the handle to its advertiser and configuration server
    // only after create returns, so both are started from the loop.
    ZrvConnect *raw = sdk.get();
    raw->post([raw] {
        raw->start_advertising();
        raw->start_config_server();
    });
    return sdk.release();
}

ZRV_EXPORT void zrv_connect_free(ZrvConnect *sdk) {
    record_call(__func__, "");
    if (!sdk) return;
    sdk->stop_advertising();
    sdk->stop_config_server();
    log(ZRV_LOG_INFO, standin::kLogComponent, "Zorva Connect stopped");
    delete sdk;
}

ZRV_EXPORT const char *zrv_connect_get_sdk_version(void) {
    record_call(__func__, "");
    return kSdkVersion;
}

ZRV_EXPORT ZrvError zrv_connect_get_device_uuid(ZrvConnect *sdk, const char **out_uuid) {
    if (ZrvError injected = enter(__func__, ArgText())) return injected;
    if (!sdk || !out_uuid) return ZRV_ERROR_INVALID_ARGUMENT;
    *out_uuid = sdk->device_uuid.c_str();
    return ZRV_OK;
}

ZRV_EXPORT ZrvError zrv_connect_get_session_id(ZrvConnect *sdk, const char **out_session_id) {
    if (ZrvError injected = enter(__func__, ArgText())) return injected;
    if (!sdk || !out_session_id) return ZRV_ERROR_INVALID_ARGUMENT;
    *out_session_id = sdk->session_id.c_str();
    return ZRV_OK;
}

ZRV_EXPORT ZrvError zrv_connect_connect(ZrvConnect *sdk, const char *session_id, const SessionToken *api_token,
                                        const SessionToken *zconnect_token, bool become_active) {
    if (ZrvError injected =
            enter(__func__, ArgText().add(session_id).add(api_token).add(zconnect_token).add(become_active)))
        return injected;
    if (!sdk || !session_id || !*session_id || !api_token || !zconnect_token || !api_token->endpoint ||
        !api_token->token || !zconnect_token->endpoint || !zconnect_token->token)
        return ZRV_ERROR_INVALID_ARGUMENT;
    sdk->session_id = session_id;
    sdk->api_endpoint = api_token->endpoint;
    sdk->zconnect_endpoint = zconnect_token->endpoint;
    sdk->connected = true;
    log(ZRV_LOG_INFO, standin::kLogComponent, "Joined session %s", session_id);
    if (become_active) sdk->post([sdk] { sdk->set_renderer_active(true); });
    return ZRV_OK;
}

ZRV_EXPORT ZrvError zrv_connect_deactivate_and_disconnect_renderer(ZrvConnect *sdk) {
    if (ZrvError injected = enter(__func__, ArgText())) return injected;
    if (!sdk) return ZRV_ERROR_INVALID_ARGUMENT;
    if (!sdk->connected) return ZRV_ERROR_NOT_CONNECTED;
    sdk->post([sdk] {
        sdk->set_renderer_active(false);
        sdk->connected = false;
        sdk->session_id.clear();
        log(ZRV_LOG_INFO, standin::kLogComponent, "Left the session");
    });
    return ZRV_OK;
}

ZRV_EXPORT ZrvError zrv_connect_get_playback_state(ZrvConnect *sdk, ZrvPlaybackState *out_state) {
    if (ZrvError injected = enter(__func__, ArgText())) return injected;
    if (!sdk || !out_state) return ZRV_ERROR_INVALID_ARGUMENT;
    if (!sdk->connected) return ZRV_ERROR_NOT_CONNECTED;
    *out_state = ZRV_PLAYBACK_STATE_STOPPED;
    return ZRV_OK;
}

ZRV_EXPORT ZrvError zrv_connect_set_volume(ZrvConnect *sdk, uint32_t volume) {
    if (ZrvError injected = enter(__func__, ArgText().add(volume))) return injected;
    if (!sdk || volume > 65535) return ZRV_ERROR_INVALID_ARGUMENT;
    sdk->volume = volume;
    return ZRV_OK;
}

ZRV_EXPORT ZrvError zrv_connect_set_mute_state(ZrvConnect *sdk, bool muted) {
    if (ZrvError injected = enter(__func__, ArgText().add(muted))) return injected;
    if (!sdk) return ZRV_ERROR_INVALID_ARGUMENT;
    sdk->muted = muted;
    return ZRV_OK;
}

}  // extern "C"

// Operations that need a playback, which the core instance never has.
namespace {

ZrvError needs_playback(const char *operation, const ArgText &args, ZrvConnect *sdk) {
    if (ZrvError injected = enter(operation, args)) return injected;
    if (!sdk) return ZRV_ERROR_INVALID_ARGUMENT;
    if (!sdk->connected) return ZRV_ERROR_NOT_CONNECTED;
    return ZRV_ERROR_NO_PLAYBACK;
}

}  // namespace

extern "C" {

ZRV_EXPORT ZrvError zrv_connect_start_playback(ZrvConnect *sdk) { return needs_playback(__func__, {}, sdk); }
ZRV_EXPORT ZrvError zrv_connect_pause_playback(ZrvConnect *sdk) { return needs_playback(__func__, {}, sdk); }
ZRV_EXPORT ZrvError zrv_connect_resume_playback(ZrvConnect *sdk) { return needs_playback(__func__, {}, sdk); }
ZRV_EXPORT ZrvError zrv_connect_stop_playback(ZrvConnect *sdk) { return needs_playback(__func__, {}, sdk); }
ZRV_EXPORT ZrvError zrv_connect_next_track(ZrvConnect *sdk) { return needs_playback(__func__, {}, sdk); }
ZRV_EXPORT ZrvError zrv_connect_previous_track(ZrvConnect *sdk) { return needs_playback(__func__, {}, sdk); }
ZRV_EXPORT ZrvError zrv_connect_seek_time(ZrvConnect *sdk, uint64_t position_ms) {
    return needs_playback(__func__, ArgText().add(position_ms), sdk);
}
ZRV_EXPORT ZrvError zrv_connect_notify_playback_initiated(ZrvConnect *sdk, AudioFormat format) {
    return needs_playback(__func__, ArgText().add(format), sdk);
}
ZRV_EXPORT ZrvError zrv_connect_notify_playback_paused(ZrvConnect *sdk) { return needs_playback(__func__, {}, sdk); }
ZRV_EXPORT ZrvError zrv_connect_notify_playback_resumed(ZrvConnect *sdk) {
    return needs_playback(__func__, {}, sdk);
}
ZRV_EXPORT ZrvError zrv_connect_notify_playback_stopped(ZrvConnect *sdk) {
    return needs_playback(__func__, {}, sdk);
}
ZRV_EXPORT ZrvError zrv_connect_notify_playback_error(ZrvConnect *sdk) { return needs_playback(__func__, {}, sdk); }
ZRV_EXPORT ZrvError zrv_connect_notify_playback_finished(ZrvConnect *sdk, bool nothing_queued) {
    return needs_playback(__func__, ArgText().add(nothing_queued), sdk);
}
ZRV_EXPORT ZrvError zrv_connect_resume_audio_delivery(ZrvConnect *sdk, uint64_t stream_id) {
    if (ZrvError injected = enter(__func__, ArgText().add(stream_id))) return injected;
    if (!sdk) return ZRV_ERROR_INVALID_ARGUMENT;
    return ZRV_ERROR_UNKNOWN_STREAM;
}

}  // extern "C"
