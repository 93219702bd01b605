// app_wire runs on the main thread before the loop runs, the shutdown
// callback on the loop thread. on_sigint runs in signal context, on whichever
// thread the kernel picks, so it does nothing but wake the loop.
#include "app/app.h"

#include <sched.h>
#include <signal.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "app/config.h"
#include "app/device_info.h"
#include "app/log.h"
#include "app/service_notifier.h"
#include "config_server/config_server.h"
#include "discovery/mdns_advertiser.h"
#include "messaging/event_publisher.h"
#include "messaging/messaging_connection.h"
#include "player/player.h"
#include "player/stream_manager.h"
#include "volume/volume_bridge.h"

namespace {

// The handle SIGINT wakes, or null once shutdown has begun. The handler
// counts itself in sigint_handlers_running around its use of the pointer, so
// the shutdown callback can wait for it before closing the handle.
std::atomic<LoopAsync *> sigint_target{nullptr};
std::atomic<int> sigint_handlers_running{0};
static_assert(std::atomic<LoopAsync *>::is_always_lock_free && std::atomic<int>::is_always_lock_free,
              "the SIGINT handler may only use lock-free atomics");

void on_sigint(int /*signal*/) noexcept {
    int saved_errno = errno;
    sigint_handlers_running.fetch_add(1);
    // uv_async_send is async-signal-safe; logging is not, so the line is
    // written by the shutdown callback on the loop thread.
    if (LoopAsync *async = sigint_target.load()) loop_async_send(async);
    sigint_handlers_running.fetch_sub(1);
    errno = saved_errno;
}

void on_shutdown(uv_async_t *handle) noexcept {
    auto *state = static_cast<AppState *>(uv_handle_get_data(reinterpret_cast<uv_handle_t *>(handle)));
    app_log(LOG_DEBUG, "Ctrl+C detected, quitting main loop");
    // A later SIGINT finds no handle. One that already holds the pointer runs
    // on another thread and is a few instructions from done: wait for it.
    sigint_target.store(nullptr);
    while (sigint_handlers_running.load() != 0) sched_yield();
    service_notifier_stopping_free(state->service_notifier);
    state->service_notifier = nullptr;

    zrv_connect_free(state->sdk);
    state->sdk = nullptr;

    loop_async_close(state->shutdown_async);
    state->shutdown_async = nullptr;
    // The bus threads may still wake this handle until the connection is
    // freed below; its memory goes only in the close callback, after that.
    inbound_commands_close_async(&state->commands);

    mdns_advertiser_free(state->advertiser);
    state->advertiser = nullptr;
    config_server_free(state->config_server);
    state->config_server = nullptr;
    player_free(state->player);
    state->player = nullptr;
    device_info_free(state->device_info);
    state->device_info = nullptr;
    event_publisher_free(state->publisher);
    state->publisher = nullptr;
    messaging_connection_free(state->messaging);
    state->messaging = nullptr;
    volume_bridge_free(state->volume_bridge);
    state->volume_bridge = nullptr;
    inbound_commands_drop_pending(&state->commands);

    uv_stop(state->loop);
}

MessagingConnectionConfig messaging_config(const MessagingConfig &m, InboundCommands *commands) {
    MessagingConnectionConfig config{};
    config.backend = m.backend;
    if (m.backend == MESSAGING_BACKEND_NATS) {
        config.publish_key = m.nats_publish_subject.c_str();
        config.url = m.nats_url.c_str();
        config.subscribe_subject = m.nats_subscribe_subject.c_str();
        config.publish_subject = m.nats_publish_subject.c_str();
        config.secondary_subscribe_subject = m.nats_secondary_subscribe.c_str();
        config.tertiary_subscribe_subject = m.nats_tertiary_subscribe.c_str();
        config.nats_username = m.nats_username.c_str();
        config.nats_password = m.nats_password.c_str();
        config.token = m.nats_token.c_str();
        config.tls = m.nats_tls;
    } else {
        config.host = m.rabbitmq_host.c_str();
        config.port = m.rabbitmq_port;
        config.username = m.rabbitmq_username.c_str();
        config.password = m.rabbitmq_password.c_str();
        config.exchange = m.rabbitmq_exchange.c_str();
        config.exchange_type = m.rabbitmq_exchange_type.c_str();
        config.binding_key = m.rabbitmq_binding_key.c_str();
        config.secondary_binding_key = m.rabbitmq_secondary_binding_key.c_str();
        config.tertiary_binding_key = m.rabbitmq_tertiary_binding_key.c_str();
        config.publish_key = m.rabbitmq_routing_key.c_str();
    }
    config.message_callback = queue_inbound_message;
    config.message_user_data = commands;
    return config;
}

void wire_messaging(AppState *state, const AppConfig &config) {
    const MessagingConfig &m = config.messaging;
    if (!m.enabled) return;
    if (m.backend == MESSAGING_BACKEND_NATS)
        app_log(LOG_DEBUG, "Initializing NATS (url: %s)", m.nats_url.c_str());
    else
        app_log(LOG_DEBUG, "Initializing RabbitMQ (host: %s:%u, exchange: %s)", m.rabbitmq_host.c_str(),
                static_cast<unsigned>(m.rabbitmq_port), m.rabbitmq_exchange.c_str());
    MessagingConnectionConfig connection_config = messaging_config(m, &state->commands);
    MessagingConnection *connection = messaging_connection_new(&connection_config);
    if (!connection) {
        app_log(LOG_ERROR, "Failed to initialize messaging connection");
        return;
    }
    EventPublisher *publisher = event_publisher_new(connection, connection_config.publish_key);
    if (!publisher) {
        app_log(LOG_ERROR, "Failed to initialize messaging publisher");
        messaging_connection_free(connection);
        return;
    }
    app_log(LOG_INFO, "Messaging initialized successfully");
    stream_manager_set_publisher(player_streams(state->player), publisher);
    player_set_publisher(state->player, publisher);
    device_info_set_publisher(state->device_info, publisher);
    state->messaging = connection;
    state->publisher = publisher;
}

void wire_volume_bridge(AppState *state, const AppConfig &config) {
    if (!config.external_volume) return;
    VolumeBridge *bridge = volume_bridge_new(state->sdk, state->messaging, config.volume_rest_url.c_str(),
                                             config.volume_routing_key.c_str());
    if (!bridge) {
        app_log(LOG_ERROR, "Failed to initialize external volume control bridge");
        return;
    }
    player_set_volume_hooks(state->player, forward_volume_to_bridge, forward_mute_to_bridge, bridge);
    if (!volume_bridge_sync_from_rest(bridge))
        app_log(LOG_WARNING, "Initial external volume REST sync failed; continuing with runtime updates");
    state->volume_bridge = bridge;
}

}  // namespace

bool app_wire(AppState *state, uv_loop_t *loop, const AppConfig &config, const std::string &unique_device_id) {
    state->loop = loop;
    DeviceInfo *device =
        device_info_new(config.device_name.c_str(), config.device_type, config.manufacturer.c_str(),
                        config.model.c_str(), config.serial_number.c_str(), config.app_id.c_str(),
                        config.app_secret.c_str());
    Player *player = player_new(loop, config.output_device.c_str(), config.volume_device.c_str(),
                                config.volume_element.c_str());
    player_set_external_volume(player, config.external_volume);
    ConfigServer *config_server = config_server_new(loop, config.port, device, player);
    MdnsAdvertiser *advertiser = mdns_advertiser_new(loop, device, config_server);

    uint32_t quality = config.quality_follows_output ? player_max_audio_quality(player) : config.max_audio_quality;
    app_log(LOG_DEBUG, "    Maximum supported audio quality: %s", zrv_audio_quality_to_string(quality));

    // The SDK may keep the pointer rather than a copy: the record lives for
    // the whole run.
    static const LogDelegate log_delegate{nullptr, sdk_log_sink};
    zrv_connect_set_log_delegate(&log_delegate);

    ZrvConnectConfig sdk_config{};
    sdk_config.version = ZRV_CONNECT_CONFIG_VERSION;
    sdk_config.device_name = config.device_name.c_str();
    sdk_config.device_type = config.device_type;
    sdk_config.manufacturer = config.manufacturer.c_str();
    sdk_config.model = config.model.c_str();
    sdk_config.serial_number = config.serial_number.c_str();
    sdk_config.unique_device_id = unique_device_id.c_str();
    sdk_config.app_id = config.app_id.c_str();
    sdk_config.app_secret = config.app_secret.c_str();
    sdk_config.max_audio_quality = quality;
    sdk_config.capabilities = ZRV_CAPABILITY_GAPLESS;
    sdk_config.advertising = mdns_advertiser_delegate(advertiser);
    sdk_config.config_server = config_server_delegate(config_server);
    sdk_config.audio = player_audio_delegate(player);
    sdk_config.playback = player_playback_delegate(player);
    sdk_config.device = device_info_delegate(device);
    ZrvError error = ZRV_OK;
    ZrvConnect *sdk = zrv_connect_create(loop, &sdk_config, &error);
    if (error != ZRV_OK || !sdk) {
        // The components are left to the process exit, which follows at once.
        app_log(LOG_ERROR, "Unable to create Zorva Connect: %s",
                zrv_error_to_string(error != ZRV_OK ? error : ZRV_ERROR_INTERNAL));
        return false;
    }
    mdns_advertiser_set_sdk(advertiser, sdk);
    config_server_set_sdk(config_server, sdk);
    player_set_sdk(player, sdk);
    app_log(LOG_DEBUG, "Zorva Connect has been initialized");

    state->sdk = sdk;
    state->advertiser = advertiser;
    state->config_server = config_server;
    state->player = player;
    state->device_info = device;
    state->commands.sdk = sdk;
    // The command handle exists before the bus connection, whose threads may
    // deliver a message as soon as it is subscribed.
    state->shutdown_async = loop_async_new(loop, on_shutdown, state);
    if (!state->shutdown_async || !inbound_commands_init(&state->commands, loop)) {
        app_log(LOG_ERROR, "Unable to create the loop's async handles");
        return false;
    }
    wire_messaging(state, config);
    wire_volume_bridge(state, config);
    // Queued messages are executed only once the loop runs, so none misses
    // the bridge.
    state->commands.volume_bridge = state->volume_bridge;
    sigint_target.store(state->shutdown_async);

    struct sigaction action {};
    action.sa_handler = on_sigint;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    if (sigaction(SIGINT, &action, nullptr) != 0) {
        app_log(LOG_ERROR, "Unable to install the SIGINT handler: %s", std::strerror(errno));
        sigint_target.store(nullptr);
        return false;
    }
    state->service_notifier = service_notifier_new(loop);
    if (!state->service_notifier) {
        app_log(LOG_ERROR, "Unable to create the service manager notifier");
        return false;
    }
    return true;
}
