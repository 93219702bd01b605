// The façade runs on the loop thread. PipeWire runs the stream on two threads
// of its own: the process event on its realtime data thread, where it touches
// only the ring buffer, atomics and LoopAsync sends (no log, allocation, lock
// or wait); every other stream and core event on the sink's pw_thread_loop
// thread, which holds the thread loop's lock while it dispatches. PipeWire
// objects are not thread-safe, so the loop thread takes that lock around
// every call into them. The PipeWire threads reach the loop thread only
// through the sink's LoopAsync handles.
#include "audio/pipewire_sink.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>

#include "app/log.h"
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

namespace {

constexpr const char *stream_name = "Jux-Zorva";
constexpr uint32_t unity_volume = 65535;
constexpr int64_t drain_timeout_ms = 5000;
constexpr uint64_t ring_buffer_ms = 500;
constexpr int64_t out_of_buffers_report_interval_ns = 1'000'000'000;
// The largest frame: SPA_AUDIO_MAX_CHANNELS samples of 4 bytes.
constexpr size_t max_stride = SPA_AUDIO_MAX_CHANNELS * 4;

// The stream is connected with AUTOCONNECT | MAP_BUFFERS | RT_PROCESS | ASYNC
// (0x415). RT_PROCESS has the process event run on the data thread in the
// graph cycle that takes its buffer; run on a normal thread it came a cycle
// ahead and, whenever that thread was late, not at all (audio lost under
// load). PipeWire 0.3.65 (Debian 12) has no PW_STREAM_FLAG_ASYNC (its flags
// end at TRIGGER, 1 << 9), so below the version check the raw bit 1 << 10
// stands in; those servers accept it. Headers that know the flag supply it
// themselves, and the static_assert keeps the value the same either way.
#if PW_CHECK_VERSION(1, 0, 0)
constexpr uint32_t stream_flag_async = PW_STREAM_FLAG_ASYNC;
#else
constexpr uint32_t stream_flag_async = 1u << 10;
#endif
constexpr uint32_t stream_connect_flags =
    PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS | PW_STREAM_FLAG_RT_PROCESS | stream_flag_async;
static_assert(stream_connect_flags == 0x415);

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

int64_t monotonic_ns() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
}

}  // namespace

// Owned and used by the loop thread; what the PipeWire threads touch is
// atomic or guarded by the thread loop's lock, as marked.
struct PipeWireSink {
    uv_loop_t *loop = nullptr;

    // Made at creation and kept for the sink's whole life, like the thread
    // loop's thread. The core connection and its stream are made at the
    // first open and kept across close and open; they are made again only
    // after the server closed the connection. Declared so that they go in
    // teardown order: stream, core, context, thread loop. Used under the
    // thread loop's lock.
    std::unique_ptr<pw_thread_loop, ThreadLoopDestroy> thread_loop;
    std::unique_ptr<pw_context, ContextDestroy> context;
    std::unique_ptr<pw_core, CoreDisconnect> core;
    std::unique_ptr<pw_stream, StreamDestroy> stream;
    spa_hook core_listener{};
    spa_hook stream_listener{};
    // Guarded by the thread loop's lock.
    bool core_failed = false;  // the server closed the connection
    bool connected = false;    // from a successful open until close or the stream's loss
    bool drained = false;

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
    // Set by drain: the process event ends the drain in the cycle that
    // empties the ring buffer.
    std::atomic<bool> drain_pending{false};
    // Set when the open stream failed or was disconnected by the server.
    std::atomic<bool> lost{false};
    // Cycles without a buffer to fill, counted on the data thread and
    // logged from the loop thread at most once a second.
    std::atomic<uint32_t> out_of_buffers{0};
    int64_t out_of_buffers_sent_ns = 0;  // data thread only

    LoopAsync *drained_async = nullptr;
    LoopAsync *volume_async = nullptr;
    LoopAsync *mute_async = nullptr;
    LoopAsync *need_data_async = nullptr;
    LoopAsync *lost_async = nullptr;
    LoopAsync *out_of_buffers_async = nullptr;
    std::atomic<uint32_t> volume{unity_volume};
    std::atomic<bool> muted{false};
    uint32_t max_audio_quality = ZRV_AUDIO_QUALITY_HIRES3;
    SinkCallbacks callbacks{};

    // The PipeWire node named by the configured output device; empty for
    // PipeWire's default.
    std::string target;
    // The start of a frame whose rest the writer has not handed over yet;
    // loop thread only.
    std::array<uint8_t, max_stride> partial_frame{};
    size_t partial_size = 0;
};

namespace {

// The open stream is gone: the loop thread is told, and a drain waiting for
// it stops waiting. Called with the thread loop's lock held.
void stream_failed(PipeWireSink *sink) {
    if (!sink->connected) return;
    sink->connected = false;
    sink->lost = true;
    loop_async_send(sink->lost_async);
    pw_thread_loop_signal(sink->thread_loop.get(), false);
}

void on_state_changed(void *data, pw_stream_state /*old*/, pw_stream_state state, const char *error) noexcept {
    auto *sink = static_cast<PipeWireSink *>(data);
    switch (state) {
        case PW_STREAM_STATE_UNCONNECTED:
            app_log(LOG_WARNING, "PipeWire stream disconnected");
            stream_failed(sink);
            break;
        case PW_STREAM_STATE_CONNECTING:
            app_log(LOG_DEBUG, "PipeWire stream connecting...");
            break;
        case PW_STREAM_STATE_PAUSED:
            app_log(LOG_DEBUG, "PipeWire stream paused (format negotiated, node-id=%u)",
                    pw_stream_get_node_id(sink->stream.get()));
            // Deactivating a stream reports PAUSED too: activating it then
            // would undo the sink's own pause.
            if (!sink->paused) pw_stream_set_active(sink->stream.get(), true);
            break;
        case PW_STREAM_STATE_STREAMING:
            app_log(LOG_INFO, "PipeWire stream streaming (node-id=%u)", pw_stream_get_node_id(sink->stream.get()));
            break;
        case PW_STREAM_STATE_ERROR: {
            const int error_number = errno;
            app_log(LOG_ERROR, "PipeWire stream error: %s (errno=%d)", error ? error : "unknown", error_number);
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

int do_drain_done(spa_loop *, bool, uint32_t, const void *, size_t, void *user) noexcept {
    drain_done(static_cast<PipeWireSink *>(user));
    return 0;
}

// Data thread. The buffer this cycle queued is taken by the graph in this
// same cycle (the process event runs on demand, nothing is queued ahead), and
// the stream cannot be disconnected before the cycle is over, so the drain
// ends here: waiting for PipeWire's own drained event would add a quantum
// of silence to every format change. The invoke only queues the call for
// the thread loop's thread, as PipeWire's own drained event does.
void end_drain(PipeWireSink *sink) {
    pw_loop_invoke(pw_thread_loop_get_loop(sink->thread_loop.get()), do_drain_done, 0, nullptr, 0, false, sink);
}

// Data thread, once per graph cycle while the stream runs.
void on_process(void *data) noexcept {
    auto *sink = static_cast<PipeWireSink *>(data);
    const uint32_t stride = sink->stride.load(std::memory_order_acquire);
    if (stride == 0) return;
    pw_stream *stream = sink->stream.get();

    // A drain that finds the ring buffer empty is over at once.
    if (sink->drain_pending.load(std::memory_order_acquire) && ring_buffer_fill_level(&sink->ring) == 0) {
        sink->drain_pending = false;
        end_drain(sink);
    }

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
    const size_t got = ring_buffer_read(&sink->ring, bytes, length);
    if (got < length) std::memset(bytes + got, 0, length - got);
    block.chunk->offset = 0;
    block.chunk->size = length;
    block.chunk->stride = static_cast<int32_t>(stride);
    pw_stream_queue_buffer(stream, buffer);

    // This cycle emptied the ring buffer.
    if (got < length && sink->drain_pending.exchange(false)) end_drain(sink);

    // Two periods of room, or half the ring buffer when a period is larger
    // than a quarter of it (a large quantum at a low rate).
    const size_t room_wanted = std::min(2 * static_cast<size_t>(length), sink->ring.capacity / 2);
    if (ring_buffer_free_space(&sink->ring) >= room_wanted) loop_async_send(sink->need_data_async);
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

// A loss that close has already dealt with (or that an earlier session
// left behind) is not reported.
void on_lost_async(uv_async_t *handle) noexcept {
    PipeWireSink *sink = sink_of(handle);
    if (!sink->open || !sink->lost.exchange(false)) return;
    app_log(LOG_ERROR, "PipeWire audio sink lost its stream, nothing can play until it is opened again");
    if (sink->callbacks.stream_lost) sink->callbacks.stream_lost(sink, sink->callbacks.user);
}

void report_out_of_buffers(PipeWireSink *sink) {
    const uint32_t count = sink->out_of_buffers.exchange(0);
    if (count > 0) app_log(LOG_WARNING, "PipeWire: out of buffers (%u times)", count);
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

// Runs fn on the data thread and waits for it.
void run_on_data_thread(PipeWireSink *sink, int (*fn)(spa_loop *, bool, uint32_t, const void *, size_t, void *)) {
    pw_data_loop_invoke(pw_context_get_data_loop(sink->context.get()), fn, 0, nullptr, 0, true, sink);
}

bool map_sample_format(uint32_t sample_format, spa_audio_format *spa_format, uint8_t *bytes_per_sample) {
    switch (sample_format) {
        case ZRV_SAMPLE_FORMAT_S16:
            *spa_format = SPA_AUDIO_FORMAT_S16_LE;
            *bytes_per_sample = 2;
            return true;
        case ZRV_SAMPLE_FORMAT_S24_32:
            *spa_format = SPA_AUDIO_FORMAT_S24_32_LE;
            *bytes_per_sample = 4;
            return true;
        default:
            return false;
    }
}

// "default" and ALSA's "plug:default" leave the choice to the session
// manager; any other name is taken as the name of a PipeWire node.
std::string target_of(const char *output_device) {
    if (!output_device) return {};
    const std::string name = output_device;
    if (name.empty() || name == "default" || name == "plug:default") return {};
    return name;
}

// Drops the stream and the connection it lives on. Lock held.
void drop_connection(PipeWireSink *sink) {
    sink->stream.reset();
    sink->core.reset();
    sink->core_failed = false;
}

// The stream on a live connection, connecting (again) when there is none or
// the server closed it, so a server that started or restarted since the
// last open is found. Logs why when there is none. Lock held.
pw_stream *stream_on_live_connection(PipeWireSink *sink) {
    if (sink->core_failed) drop_connection(sink);
    if (!sink->core) {
        sink->core.reset(pw_context_connect(sink->context.get(), nullptr, 0));
        if (!sink->core) {
            app_log(LOG_ERROR, "Failed to connect PipeWire stream: %s", std::strerror(errno));
            return nullptr;
        }
        pw_core_add_listener(sink->core.get(), &sink->core_listener, &core_events, sink);
    }
    if (!sink->stream) {
        pw_properties *props =
            pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Playback", PW_KEY_MEDIA_ROLE,
                              "Music", PW_KEY_NODE_NAME, stream_name, PW_KEY_NODE_DESCRIPTION, "Jux Zorva Connect", nullptr);
        sink->stream.reset(pw_stream_new(sink->core.get(), stream_name, props));
        if (!sink->stream) {
            app_log(LOG_ERROR, "Failed to create PipeWire stream");
            return nullptr;
        }
        pw_stream_add_listener(sink->stream.get(), &sink->stream_listener, &stream_events, sink);
    }
    return sink->stream.get();
}

size_t capacity_for(uint32_t sample_rate, uint32_t channels, uint8_t bytes_per_sample) {
    const uint64_t stride = uint64_t{bytes_per_sample} * channels;
    const uint64_t bytes = stride * sample_rate * ring_buffer_ms / 1000;
    // Whole frames only, so that no read or write can split a frame.
    return static_cast<size_t>(stride ? bytes / stride * stride : 0);
}

}  // namespace

PipeWireSink *pipewire_sink_new(uv_loop_t *loop, const char *output_device) {
    auto *sink = new PipeWireSink;
    sink->loop = loop;
    sink->target = target_of(output_device);
    sink->drained_async = loop_async_new(loop, on_drained_async, sink);
    sink->volume_async = loop_async_new(loop, on_volume_async, sink);
    sink->mute_async = loop_async_new(loop, on_mute_async, sink);
    sink->need_data_async = loop_async_new(loop, on_need_data_async, sink);
    sink->lost_async = loop_async_new(loop, on_lost_async, sink);
    sink->out_of_buffers_async = loop_async_new(loop, on_out_of_buffers_async, sink);

    pw_init(nullptr, nullptr);
    sink->thread_loop.reset(pw_thread_loop_new("zrv-pipewire", nullptr));
    // client-rt.conf loads PipeWire's realtime module, which gives the data
    // thread its realtime priority.
    if (sink->thread_loop)
        sink->context.reset(pw_context_new(pw_thread_loop_get_loop(sink->thread_loop.get()),
                                           pw_properties_new(PW_KEY_CONFIG_NAME, "client-rt.conf", nullptr), 0));
    if (!sink->context || pw_thread_loop_start(sink->thread_loop.get()) < 0) {
        app_log(LOG_ERROR, "Failed to create PipeWire main loop");
        sink->context.reset();
        sink->thread_loop.reset();
    }
    return sink;
}

void pipewire_sink_free(PipeWireSink *sink) {
    if (!sink) return;
    pipewire_sink_close(sink);
    // With the thread stopped nothing else uses the PipeWire objects; they
    // go in their declared order, before the handles their events use.
    if (sink->thread_loop) pw_thread_loop_stop(sink->thread_loop.get());
    sink->stream.reset();
    sink->core.reset();
    sink->context.reset();
    sink->thread_loop.reset();
    pw_deinit();
    loop_async_close(sink->drained_async);
    loop_async_close(sink->volume_async);
    loop_async_close(sink->mute_async);
    loop_async_close(sink->need_data_async);
    loop_async_close(sink->lost_async);
    loop_async_close(sink->out_of_buffers_async);
    delete sink;
}

void pipewire_sink_set_callbacks(PipeWireSink *sink, const SinkCallbacks *callbacks) {
    sink->callbacks = callbacks ? *callbacks : SinkCallbacks{};
}

uint32_t pipewire_sink_max_audio_quality(const PipeWireSink *sink) { return sink->max_audio_quality; }

bool pipewire_sink_open(PipeWireSink *sink, AudioFormat format) {
    if (sink->open) {
        app_log(LOG_ERROR, "Unable to open PipeWire audio sink: sink is already open");
        return false;
    }
    sink->sample_rate = format.sample_rate;
    sink->channels = format.channels;
    sink->sample_format = format.sample_format;

    spa_audio_format spa_format = SPA_AUDIO_FORMAT_UNKNOWN;
    uint8_t bytes_per_sample = 0;
    if (!map_sample_format(format.sample_format, &spa_format, &bytes_per_sample)) {
        app_log(LOG_ERROR, "Unsupported audio sample format: %d", static_cast<int>(format.sample_format));
        return false;
    }
    sink->bytes_per_sample = bytes_per_sample;
    // The format offer carries one position per channel from a fixed array of
    // SPA_AUDIO_MAX_CHANNELS; more channels cannot be described (and would
    // overflow the ring size and the frame size).
    if (sink->channels > SPA_AUDIO_MAX_CHANNELS) {
        app_log(LOG_ERROR, "Failed to build SPA audio format params");
        return false;
    }

    const size_t capacity = capacity_for(sink->sample_rate, sink->channels, bytes_per_sample);
    if (!ring_buffer_init(&sink->ring, capacity)) {
        app_log(LOG_ERROR, "Failed to initialize ring buffer (capacity=%zu)", capacity);
        return false;
    }
    sink->partial_size = 0;

    uint8_t pod_buffer[1024];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(pod_buffer, sizeof pod_buffer);
    spa_audio_info_raw info{};
    info.format = spa_format;
    info.rate = sink->sample_rate;
    info.channels = sink->channels;
    const spa_pod *params[1] = {spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &info)};
    if (!params[0]) {
        app_log(LOG_ERROR, "Failed to build SPA audio format params");
        ring_buffer_release(&sink->ring);
        return false;
    }

    if (!sink->context) {
        app_log(LOG_ERROR, "Failed to connect PipeWire stream: %s", std::strerror(ENODEV));
        ring_buffer_release(&sink->ring);
        return false;
    }

    int result = 0;
    {
        ThreadLoopLock lock(sink->thread_loop.get());
        pw_stream *stream = stream_on_live_connection(sink);
        if (!stream) {
            ring_buffer_release(&sink->ring);
            return false;
        }
        // Asking for the track's own rate lets the graph switch to it, so the
        // audio is not resampled wherever the server allows that rate.
        const std::string node_rate = "1/" + std::to_string(sink->sample_rate);
        spa_dict_item items[2];
        uint32_t n_items = 0;
        if (sink->sample_rate != 0) items[n_items++] = SPA_DICT_ITEM_INIT(PW_KEY_NODE_RATE, node_rate.c_str());
        if (!sink->target.empty()) items[n_items++] = SPA_DICT_ITEM_INIT(PW_KEY_TARGET_OBJECT, sink->target.c_str());
        const spa_dict dict = SPA_DICT_INIT(items, n_items);
        pw_stream_update_properties(stream, &dict);

        sink->stride.store(sink->channels * bytes_per_sample, std::memory_order_release);
        sink->lost = false;
        sink->connected = true;
        result = pw_stream_connect(stream, PW_DIRECTION_OUTPUT, PW_ID_ANY,
                                   static_cast<pw_stream_flags>(stream_connect_flags), params, 1);
        if (result < 0) {
            sink->connected = false;
            // The next open starts again from a new connection.
            drop_connection(sink);
        }
    }
    if (result < 0) {
        app_log(LOG_ERROR, "Failed to connect PipeWire stream: %s", std::strerror(-result));
        sink->stride.store(0, std::memory_order_release);
        ring_buffer_release(&sink->ring);
        return false;
    }

    sink->open = true;
    app_log(LOG_INFO, "PipeWire audio sink opened: %u Hz, %u ch, %u bits, ring buffer %zu bytes", sink->sample_rate,
            sink->channels, static_cast<unsigned>(sink->bytes_per_sample) * 8, capacity);
    return true;
}

bool pipewire_sink_is_open(const PipeWireSink *sink) { return sink->open; }

void pipewire_sink_close(PipeWireSink *sink) {
    if (!sink->open) return;
    {
        // The stream stays, on its connection, for the next open; a
        // connection the server closed is replaced then.
        ThreadLoopLock lock(sink->thread_loop.get());
        sink->connected = false;
        pw_stream_set_active(sink->stream.get(), false);
        pw_stream_disconnect(sink->stream.get());
    }
    run_on_data_thread(sink, do_let_go_of_ring);
    // Pairs with the data thread's store: its ring buffer reads happened
    // before the release below.
    (void)sink->stride.load(std::memory_order_acquire);
    report_out_of_buffers(sink);
    sink->drain_pending = false;
    sink->lost = false;
    sink->partial_size = 0;
    ring_buffer_release(&sink->ring);
    sink->open = false;
}

size_t pipewire_sink_write(PipeWireSink *sink, const void *data, size_t length, bool *ok) {
    *ok = false;
    if (!sink->open) {
        app_log(LOG_ERROR, "Unable to write to PipeWire audio sink: device is not open");
        return 0;
    }
    *ok = true;
    if (sink->paused || length == 0) return 0;
    const size_t stride = size_t{sink->channels} * sink->bytes_per_sample;
    if (stride == 0) return 0;
    const auto *bytes = static_cast<const uint8_t *>(data);
    size_t taken = 0;

    // A frame the last write left unfinished goes in first, once whole.
    if (sink->partial_size > 0) {
        if (ring_buffer_free_space(&sink->ring) < stride) return 0;
        taken = std::min(stride - sink->partial_size, length);
        std::memcpy(sink->partial_frame.data() + sink->partial_size, bytes, taken);
        sink->partial_size += taken;
        if (sink->partial_size < stride) return taken;
        ring_buffer_write(&sink->ring, sink->partial_frame.data(), stride);
        sink->partial_size = 0;
    }

    // Only this thread adds to the ring buffer, so the free space can only
    // grow before the write: it stores exactly these whole frames.
    const size_t whole = std::min(length - taken, ring_buffer_free_space(&sink->ring)) / stride * stride;
    taken += ring_buffer_write(&sink->ring, bytes + taken, whole);

    // Everything before it fitted: the start of a frame at the end is kept
    // until the rest comes, as callers may split their data anywhere.
    const size_t rest = length - taken;
    if (rest > 0 && rest < stride) {
        std::memcpy(sink->partial_frame.data(), bytes + taken, rest);
        sink->partial_size = rest;
        taken = length;
    }
    return taken;
}

uint64_t pipewire_sink_buffered_frames(PipeWireSink *sink, bool *ok) {
    *ok = false;
    if (!sink->open) {
        app_log(LOG_ERROR, "Unable to get buffered frame count: device is not open");
        return 0;
    }
    *ok = true;
    const uint64_t stride = uint64_t{sink->channels} * sink->bytes_per_sample;
    return stride ? ring_buffer_fill_level(&sink->ring) / stride : 0;
}

bool pipewire_sink_pause(PipeWireSink *sink) {
    if (!sink->open) {
        app_log(LOG_ERROR, "Unable to pause PipeWire audio sink: device is not open");
        return false;
    }
    sink->paused = true;
    ThreadLoopLock lock(sink->thread_loop.get());
    pw_stream_set_active(sink->stream.get(), false);
    return true;
}

bool pipewire_sink_resume(PipeWireSink *sink) {
    if (!sink->open) {
        app_log(LOG_ERROR, "Unable to resume PipeWire audio sink: device is not open");
        return false;
    }
    sink->paused = false;
    ThreadLoopLock lock(sink->thread_loop.get());
    pw_stream_set_active(sink->stream.get(), true);
    return true;
}

bool pipewire_sink_flush(PipeWireSink *sink) {
    if (!sink->open) {
        app_log(LOG_ERROR, "Unable to flush PipeWire audio sink: device is not open");
        return false;
    }
    sink->drain_pending = false;
    sink->partial_size = 0;
    run_on_data_thread(sink, do_reset_ring);
    ThreadLoopLock lock(sink->thread_loop.get());
    pw_stream_flush(sink->stream.get(), false);
    return true;
}

bool pipewire_sink_drain(PipeWireSink *sink) {
    if (!sink->open) {
        app_log(LOG_ERROR, "Unable to drain PipeWire audio sink: device is not open");
        return false;
    }
    pw_thread_loop *thread_loop = sink->thread_loop.get();
    pw_stream *stream = sink->stream.get();
    bool timed_out = false;
    {
        ThreadLoopLock lock(thread_loop);
        sink->drained = false;
        sink->drain_pending = true;
        // A paused stream runs no cycles and would never drain: it plays
        // out what it holds and is paused again below, rather than block the
        // loop for the whole time-out and lose that audio at the next close.
        const bool paused = sink->paused;
        if (paused) pw_stream_set_active(stream, true);

        timespec deadline{};
        pw_thread_loop_get_time(thread_loop, &deadline, drain_timeout_ms * SPA_NSEC_PER_MSEC);
        // A lost stream will not drain: that ends the wait too.
        while (!sink->drained && sink->connected) {
            if (pw_thread_loop_timed_wait_full(thread_loop, &deadline) == -ETIMEDOUT) {
                timed_out = !sink->drained && sink->connected;
                break;
            }
        }
        sink->drain_pending = false;
        if (paused) pw_stream_set_active(stream, false);
    }
    if (timed_out) app_log(LOG_WARNING, "PipeWire audio sink drain timed out after %d ms", 5000);
    return true;
}

void pipewire_sink_set_volume(PipeWireSink *sink, uint32_t volume) {
    sink->volume = volume;
    if (!sink->open) return;
    float value = static_cast<float>(volume / 65535.0);
    ThreadLoopLock lock(sink->thread_loop.get());
    pw_stream_set_control(sink->stream.get(), SPA_PROP_volume, 1, &value, 0);
}

uint32_t pipewire_sink_get_volume(const PipeWireSink *sink) { return sink->volume; }

void pipewire_sink_set_mute(PipeWireSink *sink, bool muted) {
    sink->muted = muted;
    if (!sink->open) return;
    float value = muted ? 1.0f : 0.0f;
    ThreadLoopLock lock(sink->thread_loop.get());
    pw_stream_set_control(sink->stream.get(), SPA_PROP_mute, 1, &value, 0);
}

bool pipewire_sink_get_mute(const PipeWireSink *sink) { return sink->muted; }
