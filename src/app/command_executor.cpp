// queue_inbound_message runs on the bus clients' threads (cnats' delivery
// thread, the RabbitMQ connection thread) and only copies under the mutex and
// wakes the loop; the rest runs on the loop thread.
#include "app/command_executor.h"

#include <cstring>
#include <new>
#include <utility>

#include "app/guarded.h"
#include "app/log.h"
#include "messaging/command_parser.h"
#include "volume/volume_bridge.h"

namespace {

// One run of the executor takes at most this many messages or this long.
constexpr size_t slice_messages = 256;
constexpr uint64_t slice_ns = 10'000'000;

void log_command_error(ZrvError error) {
    if (error != ZRV_OK) app_log(LOG_ERROR, "Failed to execute NATS command: %s", zrv_error_to_string(error));
}

void toggle_play(ZrvConnect *sdk) {
    ZrvPlaybackState state = 0;
    ZrvError error = zrv_connect_get_playback_state(sdk, &state);
    if (error != ZRV_OK) {
        app_log(LOG_ERROR, "Failed to get playback state: %s", zrv_error_to_string(error));
        return;
    }
    switch (state) {
        case ZRV_PLAYBACK_STATE_STOPPED:
            app_log(LOG_INFO, "NATS command: PLAY (currently stopped \u2192 starting)");
            log_command_error(zrv_connect_start_playback(sdk));
            break;
        case ZRV_PLAYBACK_STATE_PAUSED:
            app_log(LOG_INFO, "NATS command: PLAY (currently paused \u2192 resuming)");
            log_command_error(zrv_connect_resume_playback(sdk));
            break;
        case ZRV_PLAYBACK_STATE_PLAYING:
        case ZRV_PLAYBACK_STATE_BUFFERING:
            app_log(LOG_INFO, "NATS command: PLAY (currently %s \u2192 pausing)", zrv_playback_state_to_string(state));
            log_command_error(zrv_connect_pause_playback(sdk));
            break;
        default:
            break;
    }
}

// The commands that are one SDK call, with the line logged before it.
struct PlainCommand {
    RemoteCommandKind kind;
    const char *log_line;
    ZrvError (*operation)(ZrvConnect *sdk);
};
constexpr PlainCommand plain_commands[] = {
    {REMOTE_COMMAND_PAUSE, "NATS command: PAUSE", zrv_connect_pause_playback},
    {REMOTE_COMMAND_STOP, "NATS command: STOP", zrv_connect_stop_playback},
    {REMOTE_COMMAND_NEXT, "NATS command: NEXT", zrv_connect_next_track},
    {REMOTE_COMMAND_PREVIOUS, "NATS command: PREVIOUS", zrv_connect_previous_track},
};

void execute(ZrvConnect *sdk, const RemoteCommand &command) {
    for (const PlainCommand &plain : plain_commands) {
        if (plain.kind != command.kind) continue;
        app_log(LOG_INFO, "%s", plain.log_line);
        log_command_error(plain.operation(sdk));
        return;
    }
    switch (command.kind) {
        case REMOTE_COMMAND_NONE:
            app_log(LOG_WARNING, "Unknown NATS command");
            break;
        case REMOTE_COMMAND_PLAY:
            toggle_play(sdk);
            break;
        case REMOTE_COMMAND_SEEK:
            app_log(LOG_INFO, "NATS command: SEEK to %llu ms", static_cast<unsigned long long>(command.position_ms));
            log_command_error(zrv_connect_seek_time(sdk, command.position_ms));
            break;
        case REMOTE_COMMAND_DISCONNECT: {
            app_log(LOG_INFO, "NATS command: DISCONNECT");
            ZrvError error = zrv_connect_deactivate_and_disconnect_renderer(sdk);
            log_command_error(error);
            if (error == ZRV_OK) app_log(LOG_INFO, "Zorva client disconnected and audio interface freed");
            break;
        }
        default:
            break;
    }
}

void execute_message(InboundCommands *commands, const std::string &message) {
    if (commands->volume_bridge) {
        bool handled = false;
        if (volume_bridge_handle_message(commands->volume_bridge, message.data(), message.size(), &handled) && handled)
            return;
    }
    RemoteCommand command{};
    if (nats_parse_command(message.data(), message.size(), &command)) execute(commands->sdk, command);
}

// Takes the whole queue, in place of the messages executed before; false
// when it is empty. The emptied vector goes back with its room for the next
// messages.
bool take_queue(InboundCommands *commands) {
    commands->taken.clear();
    commands->next_taken = 0;
    size_t dropped = 0;
    {
        std::lock_guard lock(commands->mutex);
        commands->taken.swap(commands->pending);
        dropped = std::exchange(commands->dropped, 0);
    }
    if (dropped > 0) app_log(LOG_INFO, "%zu inbound messages were dropped while the pending queue was full", dropped);
    return !commands->taken.empty();
}

// Copies the message into the queue and wakes the loop, or drops it.
void queue_message(InboundCommands *commands, const char *data, size_t length) {
    if (length > inbound_message_max_bytes) {
        app_log(LOG_WARNING, "Inbound message of %zu bytes dropped: larger than %zu bytes", length,
                inbound_message_max_bytes);
        return;
    }
    std::string copy;
    try {
        copy.assign(data, strnlen(data, length));
    } catch (const std::bad_alloc &) {
        app_log(LOG_ERROR, "Failed to allocate memory for inbound NATS message");
        return;
    }
    bool accepted = false, first_refusal = false;
    size_t queued = 0, held_bytes = 0;
    {
        std::lock_guard lock(commands->mutex);
        // The bounds count what the loop took and has not executed yet too.
        if (commands->held_messages >= pending_messages_max || commands->held_bytes + copy.size() > held_bytes_max) {
            // Only the first refusal of a burst is logged; the loop reports
            // how many there were when it takes the queue.
            first_refusal = commands->dropped++ == 0;
            queued = commands->held_messages;
            held_bytes = commands->held_bytes;
        } else {
            try {
                commands->pending.push_back(std::move(copy));
            } catch (const std::bad_alloc &) {
                app_log(LOG_ERROR, "Failed to grow pending message queue");
                return;
            }
            ++commands->held_messages;
            commands->held_bytes += commands->pending.back().size();
            accepted = true;
        }
    }
    if (accepted) {
        loop_async_send(commands->async);
    } else if (first_refusal) {
        app_log(LOG_WARNING, "Pending message queue is full (%zu messages, %zu bytes held): dropping inbound messages",
                queued, held_bytes);
    }
}

}  // namespace

bool inbound_commands_init(InboundCommands *commands, uv_loop_t *loop) {
    commands->async = loop_async_new(loop, execute_pending_commands, commands);
    return commands->async != nullptr;
}

void inbound_commands_close_async(InboundCommands *commands) {
    if (commands->closed) return;
    commands->closed = true;
    loop_async_close(commands->async);
}

void inbound_commands_drop_pending(InboundCommands *commands) {
    std::lock_guard lock(commands->mutex);
    commands->pending.clear();
    commands->pending.shrink_to_fit();
    commands->held_messages = 0;
    commands->held_bytes = 0;
    commands->dropped = 0;
    commands->taken.clear();
    commands->taken.shrink_to_fit();
    commands->next_taken = 0;
}

void queue_inbound_message(MessagingConnection * /*connection*/, const char *data, size_t length,
                           void *user_data) noexcept {
    auto *commands = static_cast<InboundCommands *>(user_data);
    if (commands && data) guarded("an inbound message", [&] { queue_message(commands, data, length); });
}

void execute_pending_commands(uv_async_t *handle) noexcept {
    auto *commands = static_cast<InboundCommands *>(uv_handle_get_data(reinterpret_cast<uv_handle_t *>(handle)));
    const uint64_t started = uv_hrtime();
    for (size_t done = 0; done < slice_messages; ++done) {
        // Nothing left and nothing queued: the next message wakes the loop.
        if (commands->next_taken == commands->taken.size() && !take_queue(commands)) return;
        std::string &message = commands->taken[commands->next_taken++];
        // A message whose execution fails in an unexpected way is dropped
        // like one that cannot be parsed; the rest still run.
        guarded("an inbound command", [&] { execute_message(commands, message); });
        // Each message's memory goes as soon as it has been executed, and
        // with it its share of the bound.
        const size_t size = message.size();
        std::string().swap(message);
        {
            std::lock_guard lock(commands->mutex);
            --commands->held_messages;
            commands->held_bytes -= size;
        }
        if (uv_hrtime() - started >= slice_ns) break;
    }
    // The slice is over: the rest follows in the next loop iteration, after
    // whatever else is due. A wake-up the bus threads sent meanwhile may have
    // been taken by this run, so the run wakes itself.
    loop_async_send(commands->async);
}

void forward_volume_to_bridge(uint32_t volume, void *hook_data) noexcept {
    auto *bridge = static_cast<VolumeBridge *>(hook_data);
    if (bridge) guarded("a volume change", [&] { volume_bridge_on_volume_changed(bridge, volume); });
}

void forward_mute_to_bridge(bool muted, void *hook_data) noexcept {
    auto *bridge = static_cast<VolumeBridge *>(hook_data);
    if (bridge) guarded("a mute change", [&] { volume_bridge_on_mute_changed(bridge, muted); });
}
