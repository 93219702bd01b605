// The sink's connection to the PipeWire server, made by the loop thread with
// the thread loop's lock held, and its stream and core events. PipeWire runs
// the events on two threads of its own: the process event on its realtime
// data thread, where it touches only the ring buffer, atomics and LoopAsync
// sends (no log, allocation, lock or wait); every other stream and core event
// on the sink's pw_thread_loop thread, which holds the thread loop's lock
// while it dispatches. They reach the loop thread only through the sink's
// LoopAsync handles, whose callbacks (the wake-ups below) run on the loop
// thread.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "app/log.h"
#include "audio/pipewire_sink_internal.h"

namespace pipewire_sink_detail {
namespace {

constexpr const char *stream_name = "Jux-Zorva";
constexpr int64_t out_of_buffers_report_interval_ns = 1'000'000'000;

int64_t monotonic_ns() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
}

// The open stream is gone: the loop thread is told, and a drain waiting for
// it stops waiting. Called with the thread loop's lock held.
void stream_failed(PipeWireSink *sink) {
    if (!sink->connected) return;
    sink->connected = false;
    sink->lost = true;
    loop_async_send(sink->lost_async);
    pw_thread_loop_signal(sink->thread_loop.get(), false);
}

// The stream runs: the session manager has linked it to an output (the
// paused state comes before that, with or without a link). After a
// reconnect the stored volume and mute go to it: it starts at PipeWire's
// defaults, which it reports until then. Lock held.
void stream_runs(PipeWireSink *sink) {
    if (!sink->connected) return;
    sink->negotiated = true;
    sink->quiet_losses = false;
    if (!sink->restore_controls) return;
    sink->restore_controls = false;
    push_controls(sink);
}

void on_state_changed(void *data, pw_stream_state /*old*/, pw_stream_state state, const char *error) noexcept {
    auto *sink = static_cast<PipeWireSink *>(data);
    switch (state) {
        case PW_STREAM_STATE_UNCONNECTED:
            app_log(sink->quiet_losses ? LOG_DEBUG : LOG_WARNING, "PipeWire stream disconnected");
            stream_failed(sink);
            break;
        case PW_STREAM_STATE_CONNECTING:
            app_log(LOG_DEBUG, "PipeWire stream connecting...");
            break;
        case PW_STREAM_STATE_PAUSED:
            app_log(LOG_DEBUG, "PipeWire stream paused (format negotiated, node-id=%u)",
                    pw_stream_get_node_id(sink->stream.get()));
            // Deactivating a stream reports PAUSED too: activating it then
            // would undo the sink's own pause, or start a stream kept by a
            // close.
            if (!sink->paused && !sink->kept) pw_stream_set_active(sink->stream.get(), true);
            break;
        case PW_STREAM_STATE_STREAMING:
            app_log(LOG_INFO, "PipeWire stream streaming (node-id=%u)", pw_stream_get_node_id(sink->stream.get()));
            stream_runs(sink);
            break;
        case PW_STREAM_STATE_ERROR: {
            const int error_number = errno;
            app_log(sink->quiet_losses ? LOG_DEBUG : LOG_ERROR, "PipeWire stream error: %s (errno=%d)",
                    error ? error : "unknown", error_number);
            stream_failed(sink);
            break;
        }
        default:
            break;
    }
}

uint32_t volume_from_pipewire(float value) {
    const float scaled = value * 65535.0f;
    // Negative and NaN give silence; PipeWire allows gains above unity, which
    // the sink's scale cannot carry.
    if (!(scaled > 0.0f)) return 0;
    if (scaled >= static_cast<float>(unity_volume)) return unity_volume;
    return static_cast<uint32_t>(scaled);
}

void on_control_info(void *data, uint32_t id, const pw_stream_control *control) noexcept {
    auto *sink = static_cast<PipeWireSink *>(data);
    if (!control || control->n_values < 1 || !control->values) return;
    // A reconnected stream's defaults, about to be replaced by the stored values.
    if (sink->restore_controls) return;
    if (id == SPA_PROP_volume) {
        const uint32_t volume = volume_from_pipewire(control->values[0]);
        if (sink->volume.exchange(volume) != volume) loop_async_send(sink->volume_async);
    } else if (id == SPA_PROP_mute) {
        const bool muted = control->values[0] > 0.5f;
        if (sink->muted.exchange(muted) != muted) loop_async_send(sink->mute_async);
    }
}

const char *format_name(uint32_t format) {
    switch (format) {
        case SPA_AUDIO_FORMAT_S16_LE:
            return "S16";
        case SPA_AUDIO_FORMAT_S24_32_LE:
            return "S24_32";
        default:
            return "other";
    }
}

void on_param_changed(void * /*data*/, uint32_t id, const spa_pod *param) noexcept {
    if (!param || id != SPA_PARAM_Format) return;
    uint32_t media_type = 0;
    uint32_t media_subtype = 0;
    if (spa_format_parse(param, &media_type, &media_subtype) < 0) return;
    if (media_type == SPA_MEDIA_TYPE_audio && media_subtype == SPA_MEDIA_SUBTYPE_raw) {
        spa_audio_info_raw info{};
        if (spa_format_audio_raw_parse(param, &info) < 0) return;
        app_log(LOG_DEBUG, "PipeWire negotiated format: %s %u Hz %u channels", format_name(info.format), info.rate,
                info.channels);
    } else {
        app_log(LOG_WARNING,
                "PipeWire negotiated non-raw audio format (media=%u, subtype=%u) \u2014 passthrough may be "
                "compromised",
                media_type, media_subtype);
    }
}

// Data thread. Wakes the loop thread to log, at most once a second.
void count_out_of_buffers(PipeWireSink *sink) {
    sink->out_of_buffers.fetch_add(1, std::memory_order_relaxed);
    const int64_t now = monotonic_ns();
    if (now - sink->out_of_buffers_sent_ns < out_of_buffers_report_interval_ns) return;
    sink->out_of_buffers_sent_ns = now;
    loop_async_send(sink->out_of_buffers_async);
}

// The drain is done: every byte written has been handed to PipeWire. With
// the lock held, on the thread loop's thread.
void drain_done(PipeWireSink *sink) {
    app_log(LOG_DEBUG, "PipeWire stream drained");
    sink->drained = true;
    pw_thread_loop_signal(sink->thread_loop.get(), false);
    loop_async_send(sink->drained_async);
}

// Data thread: hands a request to the thread loop's thread. Setting the flag
// and writing the wake-up's eventfd neither blocks nor allocates.
void request(PipeWireSink *sink, std::atomic<bool> &flag) {
    flag.store(true, std::memory_order_release);
    pw_loop_signal_event(pw_thread_loop_get_loop(sink->thread_loop.get()), sink->data_thread_wakeup);
}

// The thread loop's thread, with the lock held: what the data thread asked
// for. A paused sink's stream stops (a resume since the request keeps it
// running).
void on_data_thread_wakeup(void *data, uint64_t /*count*/) noexcept {
    auto *sink = static_cast<PipeWireSink *>(data);
    if (sink->drain_done_requested.exchange(false, std::memory_order_acq_rel)) drain_done(sink);
    if (sink->stop_requested.exchange(false, std::memory_order_acq_rel) && sink->paused && sink->connected)
        pw_stream_set_active(sink->stream.get(), false);
}

// Data thread. Called at the start of the first cycle that finds the ring
// buffer empty: the graph has finished the cycle before it, so the buffer
// that carried the last bytes has been played, and the stream may be paused
// or closed without losing it (ending in the cycle that queued that buffer
// cut off its last period on a busy machine). The drain ends on the thread
// loop's thread, as PipeWire's own drained event does.
void end_drain(PipeWireSink *sink) { request(sink, sink->drain_done_requested); }

// Data thread: the silence due after a change of rate, as much of it as
// fits in `frames`, written at `bytes`. Returns the bytes written.
size_t play_lead_in(PipeWireSink *sink, uint8_t *bytes, uint32_t frames, uint32_t stride) {
    const uint64_t left = sink->lead_in_frames.load(std::memory_order_relaxed);
    if (left == 0) return 0;
    const uint64_t silent = std::min<uint64_t>(left, frames);
    std::memset(bytes, 0, silent * stride);
    sink->lead_in_frames.store(left - silent, std::memory_order_relaxed);
    return static_cast<size_t>(silent * stride);
}

// Data thread, once per graph cycle while the stream runs.
void on_process(void *data) noexcept {
    auto *sink = static_cast<PipeWireSink *>(data);
    const uint32_t stride = sink->stride.load(std::memory_order_acquire);
    if (stride == 0) return;
    pw_stream *stream = sink->stream.get();

    // Everything written has been played: the drain is over.
    if (sink->drain_pending.load(std::memory_order_acquire) && ring_buffer_fill_level(&sink->ring) == 0 &&
        sink->lead_in_frames.load(std::memory_order_relaxed) == 0) {
        sink->drain_pending = false;
        end_drain(sink);
    }
    // A paused sink plays silence and keeps what its ring buffer holds. The
    // stream is stopped from here, a cycle after the last one that carried
    // audio: that audio has been played by then, where stopping it at once
    // could drop it on a busy machine.
    const bool playing = !sink->paused.load(std::memory_order_acquire) || sink->drain_pending.load();
    if (!playing && sink->pause_pending.exchange(false)) request(sink, sink->stop_requested);

    pw_buffer *buffer = pw_stream_dequeue_buffer(stream);
    if (!buffer) {
        count_out_of_buffers(sink);
        return;
    }
    spa_buffer *spa = buffer->buffer;
    if (spa->n_datas < 1 || !spa->datas[0].data) {
        pw_stream_queue_buffer(stream, buffer);
        return;
    }
    spa_data &block = spa->datas[0];
    const uint32_t max_frames = block.maxsize / stride;
    const uint32_t frames = buffer->requested != 0 && buffer->requested < max_frames
                                ? static_cast<uint32_t>(buffer->requested)
                                : max_frames;
    const uint32_t length = frames * stride;

    auto *bytes = static_cast<uint8_t *>(block.data);
    // After a change of rate the track starts behind its lead-in of silence.
    size_t got = playing ? play_lead_in(sink, bytes, frames, stride) : 0;
    if (playing) got += ring_buffer_read(&sink->ring, bytes + got, length - got);
    if (got < length) std::memset(bytes + got, 0, length - got);
    block.chunk->offset = 0;
    block.chunk->size = length;
    block.chunk->stride = static_cast<int32_t>(stride);
    pw_stream_queue_buffer(stream, buffer);
    sink->last_period_frames.store(frames, std::memory_order_relaxed);

    // Two periods of room, or half the ring buffer when a period is larger
    // than a quarter of it (a large quantum at a low rate).
    const size_t room_wanted = std::min(2 * static_cast<size_t>(length), sink->ring.capacity / 2);
    if (playing && ring_buffer_free_space(&sink->ring) >= room_wanted) loop_async_send(sink->need_data_async);
}

void on_drained(void *data) noexcept { drain_done(static_cast<PipeWireSink *>(data)); }

const pw_stream_events stream_events = [] {
    pw_stream_events events{};
    events.version = PW_VERSION_STREAM_EVENTS;
    events.state_changed = on_state_changed;
    events.control_info = on_control_info;
    events.param_changed = on_param_changed;
    events.process = on_process;
    events.drained = on_drained;
    return events;
}();

void on_core_error(void *data, uint32_t id, int /*seq*/, int res, const char *message) noexcept {
    auto *sink = static_cast<PipeWireSink *>(data);
    if (id != PW_ID_CORE || res != -EPIPE) return;
    app_log(LOG_WARNING, "PipeWire server connection lost: %s", message ? message : "unknown");
    sink->core_failed = true;
    // A stream made on the connection just before it failed may never hear
    // of it.
    stream_failed(sink);
}

const pw_core_events core_events = [] {
    pw_core_events events{};
    events.version = PW_VERSION_CORE_EVENTS;
    events.error = on_core_error;
    return events;
}();

PipeWireSink *sink_of(uv_async_t *handle) {
    return static_cast<PipeWireSink *>(uv_handle_get_data(reinterpret_cast<uv_handle_t *>(handle)));
}

void on_drained_async(uv_async_t * /*handle*/) noexcept {}

void on_volume_async(uv_async_t *handle) noexcept {
    PipeWireSink *sink = sink_of(handle);
    if (sink->callbacks.volume_changed) sink->callbacks.volume_changed(sink, sink->volume, sink->callbacks.user);
}

void on_mute_async(uv_async_t *handle) noexcept {
    PipeWireSink *sink = sink_of(handle);
    if (sink->callbacks.mute_changed) sink->callbacks.mute_changed(sink, sink->muted, sink->callbacks.user);
}

void on_need_data_async(uv_async_t *handle) noexcept {
    PipeWireSink *sink = sink_of(handle);
    if (sink->callbacks.need_data) sink->callbacks.need_data(sink, sink->callbacks.user);
}

// A loss that close or a reconnect has already dealt with (or that an
// earlier session left behind) is not reported.
void on_lost_async(uv_async_t *handle) noexcept {
    PipeWireSink *sink = sink_of(handle);
    if (!sink->open || !sink->lost || sink->lost_reported) return;
    sink->lost_reported = true;
    bool quiet = false;
    {
        ThreadLoopLock lock(sink->thread_loop.get());
        quiet = sink->quiet_losses;
    }
    app_log(quiet ? LOG_DEBUG : LOG_WARNING, "PipeWire audio sink lost its stream");
    if (sink->callbacks.stream_lost) sink->callbacks.stream_lost(sink, sink->callbacks.user);
}

void on_out_of_buffers_async(uv_async_t *handle) noexcept { report_out_of_buffers(sink_of(handle)); }

// Data thread, at close: the stream no longer runs the process event, and
// clearing the frame size here orders every ring buffer access it made
// before the loop thread's release of the ring buffer.
int do_let_go_of_ring(spa_loop *, bool, uint32_t, const void *, size_t, void *user) noexcept {
    static_cast<PipeWireSink *>(user)->stride.store(0, std::memory_order_release);
    return 0;
}

// Data thread, at flush: the reader is this thread and the writer waits for
// the invoke, so neither side runs.
int do_reset_ring(spa_loop *, bool, uint32_t, const void *, size_t, void *user) noexcept {
    ring_buffer_reset(&static_cast<PipeWireSink *>(user)->ring);
    return 0;
}

// Data thread, when written audio is withdrawn. The reader is this thread
// and the writer waits for the invoke, so the read position cannot move
// while the unread bytes after the mark are taken back.
struct TakeBack {
    uint64_t mark;
    size_t taken_back;
};
int do_take_back(spa_loop *, bool, uint32_t, const void *data, size_t, void *user) noexcept {
    auto *take_back = *static_cast<TakeBack *const *>(data);
    take_back->taken_back = ring_buffer_truncate(&static_cast<PipeWireSink *>(user)->ring, take_back->mark);
    return 0;
}

int do_nothing(spa_loop *, bool, uint32_t, const void *, size_t, void *) noexcept { return 0; }

// Runs fn on the data thread and waits for it, with the thread loop's lock
// held. In PipeWire before 1.2 a loop's invoke queue takes one writing
// thread at a time and every blocking caller waits on one shared
// acknowledgement: two threads invoking at once can lose a call (its
// caller waits forever) or return each other's acknowledgement (a caller
// goes on before its call ran). The other thread that invokes the data loop
// is the thread loop's, inside PipeWire, while it dispatches with the lock
// held; the data thread runs its own invokes at once, and it never waits
// for the lock, so holding it here cannot stop the call from running.
void run_on_data_thread(PipeWireSink *sink, int (*fn)(spa_loop *, bool, uint32_t, const void *, size_t, void *),
                        const void *data = nullptr, size_t size = 0) {
    ThreadLoopLock lock(sink->thread_loop.get());
    pw_data_loop_invoke(pw_context_get_data_loop(sink->context.get()), fn, 0, data, size, true, sink);
}

}  // namespace

void open_wakeups(PipeWireSink *sink, uv_loop_t *loop) {
    sink->drained_async = loop_async_new(loop, on_drained_async, sink);
    sink->volume_async = loop_async_new(loop, on_volume_async, sink);
    sink->mute_async = loop_async_new(loop, on_mute_async, sink);
    sink->need_data_async = loop_async_new(loop, on_need_data_async, sink);
    sink->lost_async = loop_async_new(loop, on_lost_async, sink);
    sink->out_of_buffers_async = loop_async_new(loop, on_out_of_buffers_async, sink);
}

void close_wakeups(PipeWireSink *sink) {
    loop_async_close(sink->drained_async);
    loop_async_close(sink->volume_async);
    loop_async_close(sink->mute_async);
    loop_async_close(sink->need_data_async);
    loop_async_close(sink->lost_async);
    loop_async_close(sink->out_of_buffers_async);
}

void drop_connection(PipeWireSink *sink) {
    sink->stream.reset();
    sink->core.reset();
    sink->core_failed = false;
}

void push_controls(PipeWireSink *sink) {
    float volume = static_cast<float>(sink->volume / 65535.0);
    float mute = sink->muted ? 1.0f : 0.0f;
    pw_stream_set_control(sink->stream.get(), SPA_PROP_volume, 1, &volume, SPA_PROP_mute, 1, &mute, 0);
}

void disconnect_stream(PipeWireSink *sink) {
    if (sink->lost || sink->quiet_losses) sink->core_failed = true;
    sink->connected = false;
    sink->quiet_losses = false;
    sink->kept = false;
    // A reconnect that found no server leaves no stream.
    if (sink->stream) pw_stream_disconnect(sink->stream.get());
}

pw_stream *stream_on_live_connection(PipeWireSink *sink, bool quiet) {
    if (sink->core_failed) drop_connection(sink);
    if (!sink->core) {
        sink->core.reset(pw_context_connect(sink->context.get(), nullptr, 0));
        if (!sink->core) {
            app_log(quiet ? LOG_DEBUG : LOG_ERROR, "Failed to connect PipeWire stream: %s", std::strerror(errno));
            return nullptr;
        }
        pw_core_add_listener(sink->core.get(), &sink->core_listener, &core_events, sink);
    }
    if (!sink->stream) {
        pw_properties *props =
            pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Playback", PW_KEY_MEDIA_ROLE, "Music",
                              PW_KEY_NODE_NAME, stream_name, PW_KEY_NODE_DESCRIPTION, "Jux Zorva Connect", nullptr);
        // A stream pinned to a device must not move to another one when that
        // device goes away: the session manager ends the stream instead,
        // which the sink reports as a loss.
        if (!sink->target.empty()) pw_properties_set(props, PW_KEY_NODE_DONT_RECONNECT, "true");
        sink->stream.reset(pw_stream_new(sink->core.get(), stream_name, props));
        if (!sink->stream) {
            app_log(LOG_ERROR, "Failed to create PipeWire stream");
            return nullptr;
        }
        pw_stream_add_listener(sink->stream.get(), &sink->stream_listener, &stream_events, sink);
    }
    return sink->stream.get();
}

void report_out_of_buffers(PipeWireSink *sink) {
    const uint32_t count = sink->out_of_buffers.exchange(0);
    if (count > 0) app_log(LOG_WARNING, "PipeWire: out of buffers (%u times)", count);
}

bool add_data_thread_wakeup(PipeWireSink *sink) {
    sink->data_thread_wakeup =
        pw_loop_add_event(pw_thread_loop_get_loop(sink->thread_loop.get()), on_data_thread_wakeup, sink);
    return sink->data_thread_wakeup != nullptr;
}

void remove_data_thread_wakeup(PipeWireSink *sink) {
    if (!sink->data_thread_wakeup) return;
    pw_loop_destroy_source(pw_thread_loop_get_loop(sink->thread_loop.get()), sink->data_thread_wakeup);
    sink->data_thread_wakeup = nullptr;
}

void let_go_of_ring_on_data_thread(PipeWireSink *sink) { run_on_data_thread(sink, do_let_go_of_ring); }

size_t take_back_on_data_thread(PipeWireSink *sink, uint64_t mark) {
    TakeBack take_back{mark, 0};
    TakeBack *pointer = &take_back;
    run_on_data_thread(sink, do_take_back, &pointer, sizeof pointer);
    return take_back.taken_back;
}

void reset_ring_on_data_thread(PipeWireSink *sink) { run_on_data_thread(sink, do_reset_ring); }

void wait_for_data_thread(PipeWireSink *sink) { run_on_data_thread(sink, do_nothing); }

}  // namespace pipewire_sink_detail
