// The PipeWireSink record and what its façade (pipewire_sink.cpp) and its
// connection and stream events (pipewire_sink_events.cpp) share. The record
// is owned and used by the loop thread; what the PipeWire threads touch is
// atomic or guarded by the thread loop's lock, as marked.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "audio/pipewire_sink.h"
#include "audio/ring_buffer.h"
#include "player/loop_handles.h"

// The SPA helpers are C inline functions that trip our C++ warnings.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#pragma GCC diagnostic ignored "-Wcast-qual"
#pragma GCC diagnostic ignored "-Wshadow"
#include <pipewire/pipewire.h>
#include <pipewire/version.h>
#include <spa/param/audio/format-utils.h>
#include <spa/param/format-utils.h>
#include <spa/param/props.h>
#include <spa/pod/builder.h>
#pragma GCC diagnostic pop

namespace pipewire_sink_detail {

constexpr uint32_t unity_volume = 65535;
// The largest frame: SPA_AUDIO_MAX_CHANNELS samples of 4 bytes.
constexpr size_t max_stride = SPA_AUDIO_MAX_CHANNELS * 4;

struct ThreadLoopDestroy {
    void operator()(pw_thread_loop *loop) const noexcept { pw_thread_loop_destroy(loop); }
};
struct ContextDestroy {
    void operator()(pw_context *context) const noexcept { pw_context_destroy(context); }
};
struct CoreDisconnect {
    void operator()(pw_core *core) const noexcept { pw_core_disconnect(core); }
};
struct StreamDestroy {
    void operator()(pw_stream *stream) const noexcept { pw_stream_destroy(stream); }
};

// Holds the thread loop's lock for a scope.
class ThreadLoopLock {
  public:
    explicit ThreadLoopLock(pw_thread_loop *loop) noexcept : loop_(loop) { pw_thread_loop_lock(loop_); }
    ~ThreadLoopLock() { pw_thread_loop_unlock(loop_); }
    ThreadLoopLock(const ThreadLoopLock &) = delete;
    ThreadLoopLock &operator=(const ThreadLoopLock &) = delete;

  private:
    pw_thread_loop *loop_;
};

}  // namespace pipewire_sink_detail

// The sink. Owned and used by the loop thread; what the PipeWire threads
// touch is atomic or guarded by the thread loop's lock, as marked.
struct PipeWireSink {
    uv_loop_t *loop = nullptr;

    // Made at creation and kept for the sink's whole life, like the thread
    // loop's thread. The core connection and its stream are made at the
    // first open and kept across close and open; they are made again only
    // after the server closed the connection. Declared so that they go in
    // teardown order: stream, core, context, thread loop. Used under the
    // thread loop's lock.
    std::unique_ptr<pw_thread_loop, pipewire_sink_detail::ThreadLoopDestroy> thread_loop;
    std::unique_ptr<pw_context, pipewire_sink_detail::ContextDestroy> context;
    std::unique_ptr<pw_core, pipewire_sink_detail::CoreDisconnect> core;
    std::unique_ptr<pw_stream, pipewire_sink_detail::StreamDestroy> stream;
    spa_hook core_listener{};
    spa_hook stream_listener{};
    // Guarded by the thread loop's lock.
    bool core_failed = false;  // the server closed the connection
    bool connected = false;    // from a successful open until close or the stream's loss
    bool drained = false;
    // The stream has run (been linked to an output) since the last connect.
    bool negotiated = false;
    // Set by a reconnect: the new stream starts at PipeWire's defaults, so
    // the stored volume and mute go to it once it has its format, and what
    // it reports before that is not news.
    bool restore_controls = false;
    // Set by a reconnect until its stream runs: the losses of streams that
    // never got that far (no server, or the pinned device
    // still away) are logged at DEBUG, as the first loss was logged already.
    bool quiet_losses = false;
    // When the last reconnect connected its stream (loop thread only).
    std::chrono::steady_clock::time_point reconnected_at{};
    // Set by a close that kept its running stream, stopped and still linked,
    // until the next open starts it again or the release timer (loop
    // thread) disconnects it.
    bool kept = false;
    LoopTimer *release_timer = nullptr;

    RingBuffer ring;
    uint32_t sample_rate = 0;
    uint32_t channels = 0;
    uint32_t sample_format = 0;
    uint8_t bytes_per_sample = 0;
    bool open = false;
    // The frame size while the stream may run the process event: stored
    // (release) once the ring buffer is set up and cleared on the data
    // thread at close, so the process event, which loads it first
    // (acquire), sees a ready ring buffer or does nothing.
    std::atomic<uint32_t> stride{0};
    // Written on the loop thread, read by the PipeWire threads.
    std::atomic<bool> paused{false};
    // Set by pause: the process event stops the stream in the next cycle.
    std::atomic<bool> pause_pending{false};
    // Set by drain: the process event ends the drain in the first cycle
    // that finds the ring buffer empty.
    std::atomic<bool> drain_pending{false};
    // Set when the open stream failed or was disconnected by the server;
    // cleared by the next open.
    std::atomic<bool> lost{false};
    bool lost_reported = false;  // loop thread only
    // What the data thread asks of the thread loop's thread: set there, then
    // the wake-up below is signalled; taken on the thread loop's thread.
    // The data thread never queues calls on the thread loop (PipeWire
    // 0.3.x's invoke queue takes one writing thread only).
    std::atomic<bool> drain_done_requested{false};
    std::atomic<bool> stop_requested{false};
    spa_source *data_thread_wakeup = nullptr;
    // The silence to play at a change of rate, and the rate of the last
    // successful open; loop thread only.
    uint32_t rate_change_silence_ms = 0;
    uint32_t played_rate = 0;
    // Frames of that silence still to play before the ring buffer's data:
    // set at open before the stream runs, then counted down on the data
    // thread only.
    std::atomic<uint64_t> lead_in_frames{0};
    // Cycles without a buffer to fill, counted on the data thread and
    // logged from the loop thread at most once a second.
    std::atomic<uint32_t> out_of_buffers{0};
    // Frames in the buffer last handed to PipeWire; written by the data thread.
    std::atomic<uint32_t> last_period_frames{0};
    int64_t out_of_buffers_sent_ns = 0;  // data thread only

    LoopAsync *drained_async = nullptr;
    LoopAsync *volume_async = nullptr;
    LoopAsync *mute_async = nullptr;
    LoopAsync *need_data_async = nullptr;
    LoopAsync *lost_async = nullptr;
    LoopAsync *out_of_buffers_async = nullptr;
    std::atomic<uint32_t> volume{pipewire_sink_detail::unity_volume};
    std::atomic<bool> muted{false};
    uint32_t max_audio_quality = ZRV_AUDIO_QUALITY_HIRES3;
    SinkCallbacks callbacks{};

    // The PipeWire node named by the configured output device; empty for
    // PipeWire's default.
    std::string target;
    // The start of a frame whose rest the writer has not handed over yet;
    // loop thread only.
    std::array<uint8_t, pipewire_sink_detail::max_stride> partial_frame{};
    size_t partial_size = 0;
};

namespace pipewire_sink_detail {

// Creates and closes the LoopAsync handles through which the PipeWire
// threads wake the loop thread. Loop thread.
void open_wakeups(PipeWireSink *sink, uv_loop_t *loop);
void close_wakeups(PipeWireSink *sink);

// The stream on a live connection, connecting (again) when there is none or
// the server closed it, so a server that started or restarted since the
// last open is found. Logs why when there is none, at ERROR or, for a
// reconnect that will be tried again, at DEBUG. Lock held.
pw_stream *stream_on_live_connection(PipeWireSink *sink, bool quiet = false);
// Drops the stream and the connection it lives on. Lock held.
void drop_connection(PipeWireSink *sink);
// Gives the stream the stored volume and mute. Lock held.
void push_controls(PipeWireSink *sink);
// Takes the stream out of the graph (a kept one too). After a loss, or a
// reconnect whose stream never ran, the connection is not trusted: the next
// open starts from a new one, and so tells at once when no server answers.
// Lock held.
void disconnect_stream(PipeWireSink *sink);

// Logs the cycles without a buffer counted since the last report. Loop thread.
void report_out_of_buffers(PipeWireSink *sink);

// Adds and removes the event source through which the data thread wakes the
// thread loop's thread. Before the thread loop runs and after it stopped.
bool add_data_thread_wakeup(PipeWireSink *sink);
void remove_data_thread_wakeup(PipeWireSink *sink);

// Work done on the data thread while the loop thread waits for it: at close,
// letting go of the ring buffer; at flush, emptying it; at pause, nothing;
// when written audio is withdrawn, taking back what was written after a
// mark and not read yet (the bytes taken back). Each holds the thread loop's
// lock while it waits, so that only one thread at a time queues calls on
// the data loop: PipeWire's own calls come from the thread loop's thread,
// which holds that lock while it dispatches.
void let_go_of_ring_on_data_thread(PipeWireSink *sink);
void reset_ring_on_data_thread(PipeWireSink *sink);
size_t take_back_on_data_thread(PipeWireSink *sink, uint64_t mark);
// Returns once a graph cycle the data thread may be running is over.
void wait_for_data_thread(PipeWireSink *sink);

}  // namespace pipewire_sink_detail
