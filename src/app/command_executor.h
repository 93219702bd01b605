// The hand-over of inbound bus messages to the loop thread and their
// execution there: volume messages go to the VolumeBridge, everything else
// through the command parser to the SDK. queue_inbound_message runs on the
// bus clients' threads; everything else on the loop thread.
#pragma once

#include <uv.h>

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "player/loop_handles.h"
#include "zorva_connect.h"

struct MessagingConnection;
struct VolumeBridge;

// Bounds on what the bus can make the daemon hold: a message over the size,
// and every message that finds the queue holding the most messages or the
// most text (queued or still being executed), is dropped on arrival.
inline constexpr size_t inbound_message_max_bytes = 64 * 1024;
inline constexpr size_t pending_messages_max = 10000;
inline constexpr size_t held_bytes_max = 16 * 1024 * 1024;

struct InboundCommands {
    ZrvConnect *sdk = nullptr;
    VolumeBridge *volume_bridge = nullptr;  // or none
    LoopAsync *async = nullptr;             // its callback is execute_pending_commands
    bool closed = false;                    // the async handle has been closed
    std::mutex mutex;
    std::vector<std::string> pending;  // guarded by mutex, in arrival order
    size_t held_messages = 0;          // guarded by mutex: messages queued or taken and not executed yet
    size_t held_bytes = 0;             // guarded by mutex: text queued or being executed
    size_t dropped = 0;                // guarded by mutex: refused since the loop last took the queue
    // Loop thread only: the messages taken from the queue, executed up to
    // next_taken.
    std::vector<std::string> taken;
    size_t next_taken = 0;
};

// Creates the command async handle on the loop (user pointer: commands).
bool inbound_commands_init(InboundCommands *commands, uv_loop_t *loop);
// Closes the async handle, so no run follows. Its memory is released in the
// close callback, so bus threads may still wake it until then.
void inbound_commands_close_async(InboundCommands *commands);
// Drops whatever is still queued or not executed yet; once no bus thread is
// left.
void inbound_commands_drop_pending(InboundCommands *commands);

// The MessageCallback of the bus connection; user_data is the InboundCommands.
// Copies the message (up to a zero byte), queues it and wakes the loop; drops
// it with a WARNING when it or the queue is over its bound.
void queue_inbound_message(MessagingConnection *connection, const char *data, size_t length, void *user_data) noexcept;
// The command async handle's callback: runs the queued messages in order, a
// slice at a time. With messages left when a slice is over, it wakes itself
// again, so the loop serves its other work (an HTTP request, the sink's
// notifications) between slices even while a flood is executed.
void execute_pending_commands(uv_async_t *handle) noexcept;

// The Player's volume hooks in external volume mode; hook_data is the bridge.
void forward_volume_to_bridge(uint32_t volume, void *hook_data) noexcept;
void forward_mute_to_bridge(bool muted, void *hook_data) noexcept;
