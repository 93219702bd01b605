// app_wire runs on the main thread before the loop runs, the shutdown
// callback on the loop thread. on_sigint (SIGINT and SIGTERM) runs in signal context, on whichever
// thread the kernel picks, so it does nothing but wake the loop.
#include "app/app.h"

#include <sched.h>
#include <signal.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "app/config.h"
#include "app/guarded.h"
#include "app/log.h"
#include "player/stream_manager.h"

namespace {

// The handle SIGINT wakes, or null once shutdown has begun. The handler
// counts itself in sigint_handlers_running around its use of the pointer, so
// the shutdown callback can wait for it before closing the handle.
std::atomic<LoopAsync *> sigint_target{nullptr};
std::atomic<int> sigint_handlers_running{0};
static_assert(std::atomic<LoopAsync *>::is_always_lock_free && std::atomic<int>::is_always_lock_free,
              "the SIGINT handler may only use lock-free atomics");

// The signal that asked for the shutdown first, for its log line.
std::atomic<int> stop_signal{0};

// SIGINT and SIGTERM: the same shutdown.
void on_sigint(int number) noexcept {
    int saved_errno = errno;
    sigint_handlers_running.fetch_add(1);
    int none = 0;
    stop_signal.compare_exchange_strong(none, number);
    // uv_async_send is async-signal-safe; logging is not, so the line is
    // written by the shutdown callback on the loop thread.
    if (LoopAsync *async = sigint_target.load()) loop_async_send(async);
    sigint_handlers_running.fetch_sub(1);
    errno = saved_errno;
}

// Frees what the state holds, in teardown order; see AppState.
void release(AppState &state) {
    // A later SIGINT finds no handle. One that already holds the pointer runs
    // on another thread and is a few instructions from done: wait for it.
    LoopAsync *shutdown_async = state.shutdown_async.get();
    if (shutdown_async && sigint_target.compare_exchange_strong(shutdown_async, nullptr)) {
        while (sigint_handlers_running.load() != 0) sched_yield();
    }

    status_reporter_stop(state.status_reporter.get());
    state.service_notifier.reset();
    state.sdk.reset();
    state.status_reporter.reset();
    state.commands.sdk = nullptr;
    state.shutdown_async.reset();
    // The bus threads may still wake this handle until the connection is
    // freed below; its memory goes only in the close callback, after that.
    inbound_commands_close_async(&state.commands);

    state.advertiser.reset();
    state.config_server.reset();
    state.player.reset();
    state.device_info.reset();
    state.publisher.reset();
    state.messaging.reset();
    state.commands.volume_bridge = nullptr;
    state.volume_bridge.reset();
    inbound_commands_drop_pending(&state.commands);
}

void on_shutdown(uv_async_t *handle) noexcept {
    auto *state = static_cast<AppState *>(uv_handle_get_data(reinterpret_cast<uv_handle_t *>(handle)));
    if (stop_signal.load() == SIGTERM)
        app_log(LOG_DEBUG, "SIGTERM received, quitting main loop");
    else
        app_log(LOG_DEBUG, "Ctrl+C detected, quitting main loop");
    // What a failure leaves behind is freed with the state, once main ends.
    guarded("shutdown", [&] { release(*state); });
    uv_stop(state->loop);
}

// Wiring cannot go on: frees what it has built, then says why, so that the
// reason is the last line of a failed start. Always false.
bool give_up(AppState *state, const std::string &reason) {
    release(*state);
    app_log(LOG_ERROR, "%s", reason.c_str());
    return false;
}

void wire_messaging(AppState *state, const AppConfig &config) {
    const MessagingConfig &m = config.messaging;
    if (!m.enabled) return;
    const bool nats = m.backend == MESSAGING_BACKEND_NATS;
    if (nats)
        app_log(LOG_DEBUG, "Initializing NATS (url: %s)", m.nats.url.c_str());
    else
        app_log(LOG_DEBUG, "Initializing RabbitMQ (host: %s:%u, exchange: %s)", m.rabbitmq.host.c_str(),
                static_cast<unsigned>(m.rabbitmq.port), m.rabbitmq.exchange.c_str());
    const MessagingConnectionConfig connection_config{.backend = m.backend,
                                                      .rabbitmq = m.rabbitmq,
                                                      .nats = m.nats,
                                                      .limits = {.max_message_bytes = inbound_message_max_bytes,
                                                                 .max_pending_messages = pending_messages_max,
                                                                 .max_pending_bytes = held_bytes_max},
                                                      .message_callback = queue_inbound_message,
                                                      .message_user_data = &state->commands};
    Owned<MessagingConnection, messaging_connection_free> connection(messaging_connection_new(&connection_config));
    if (!connection) {
        app_log(LOG_ERROR, "Failed to initialize messaging connection");
        return;
    }
    const std::string &publish_key = nats ? m.nats.publish_subject : m.rabbitmq.routing_key;
    Owned<EventPublisher, event_publisher_free> publisher(event_publisher_new(connection.get(), publish_key.c_str()));
    if (!publisher) {
        app_log(LOG_ERROR, "Failed to initialize messaging publisher");
        return;
    }
    app_log(LOG_INFO, "Messaging initialized successfully");
    stream_manager_set_publisher(player_streams(state->player.get()), publisher.get());
    player_set_publisher(state->player.get(), publisher.get());
    device_info_set_publisher(state->device_info.get(), publisher.get());
    state->messaging = std::move(connection);
    state->publisher = std::move(publisher);
}

void wire_volume_bridge(AppState *state, const AppConfig &config) {
    if (!config.external_volume) return;
    state->volume_bridge.reset(volume_bridge_new(state->sdk.get(), state->messaging.get(),
                                                 config.volume_rest_url.c_str(), config.volume_routing_key.c_str()));
    VolumeBridge *bridge = state->volume_bridge.get();
    if (!bridge) {
        app_log(LOG_ERROR, "Failed to initialize external volume control bridge");
        return;
    }
    player_set_volume_hooks(state->player.get(), forward_volume_to_bridge, forward_mute_to_bridge, bridge);
    if (!volume_bridge_sync_from_rest(bridge))
        app_log(LOG_WARNING, "Initial external volume REST sync failed; continuing with runtime updates");
}

}  // namespace

AppState::~AppState() { release(*this); }

bool app_wire(AppState *state, uv_loop_t *loop, const AppConfig &config, const std::string &unique_device_id) {
    state->loop = loop;
    state->device_info.reset(device_info_new(
        config.device_name.c_str(), config.device_type, config.manufacturer.c_str(), config.model.c_str(),
        config.serial_number.c_str(), config.app_id.c_str(), config.app_secret.c_str()));
    DeviceInfo *device = state->device_info.get();
    if (!device) return give_up(state, "Unable to create the device information");
    state->player.reset(
        player_new(loop, config.output_device.c_str(), config.volume_device.c_str(), config.volume_element.c_str()));
    Player *player = state->player.get();
    if (!player) return give_up(state, "Unable to create the player");
    player_set_external_volume(player, config.external_volume);
    player_set_rate_change_silence(player, config.rate_change_silence_ms);
    state->config_server.reset(config_server_new(loop, config.port, device, player));
    ConfigServer *config_server = state->config_server.get();
    if (!config_server) return give_up(state, "Unable to create the local configuration server");
    state->advertiser.reset(mdns_advertiser_new(loop, device, config_server));
    MdnsAdvertiser *advertiser = state->advertiser.get();
    if (!advertiser) return give_up(state, "Unable to create the mDNS advertiser");

    state->status_reporter.reset(status_reporter_new(loop, device_info_delegate(device)));
    if (!state->status_reporter) return give_up(state, "Unable to create the service status reporter");

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
    sdk_config.device = status_reporter_device_delegate(state->status_reporter.get());
    ZrvError error = ZRV_OK;
    state->sdk.reset(zrv_connect_create(loop, &sdk_config, &error));
    ZrvConnect *sdk = state->sdk.get();
    if (error != ZRV_OK || !sdk) {
        return give_up(state, std::string("Unable to create Zorva Connect: ") +
                                  zrv_error_to_string(error != ZRV_OK ? error : ZRV_ERROR_INTERNAL));
    }
    mdns_advertiser_set_sdk(advertiser, sdk);
    config_server_set_sdk(config_server, sdk);
    player_set_sdk(player, sdk);
    app_log(LOG_DEBUG, "Zorva Connect has been initialized");

    state->commands.sdk = sdk;
    // The command handle exists before the bus connection, whose threads may
    // deliver a message as soon as it is subscribed.
    state->shutdown_async.reset(loop_async_new(loop, on_shutdown, state));
    if (!state->shutdown_async || !inbound_commands_init(&state->commands, loop))
        return give_up(state, "Unable to create the loop's async handles");
    wire_messaging(state, config);
    wire_volume_bridge(state, config);
    // Queued messages are executed only once the loop runs, so none misses
    // the bridge.
    state->commands.volume_bridge = state->volume_bridge.get();
    sigint_target.store(state->shutdown_async.get());

    struct sigaction action {};
    action.sa_handler = on_sigint;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    // SIGTERM is what kill, container runtimes and most supervisors send.
    for (int number : {SIGINT, SIGTERM}) {
        if (sigaction(number, &action, nullptr) != 0)
            return give_up(state, std::string("Unable to install the ") + (number == SIGINT ? "SIGINT" : "SIGTERM") +
                                      " handler: " + std::strerror(errno));
    }
    state->service_notifier.reset(service_notifier_new(loop));
    if (!state->service_notifier) return give_up(state, "Unable to create the service manager notifier");
    status_reporter_start(state->status_reporter.get(), state->service_notifier.get(), sdk, player,
                          state->messaging.get(), config_server);
    return true;
}
