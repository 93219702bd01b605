// The façade runs on the loop thread; the stream events (on_*) run on the
// sink's PipeWire thread, which reaches the loop thread only through the four
// LoopAsync handles. PipeWire streams are not thread-safe, so while that thread
// runs, every call that touches the stream from the loop thread is handed to
// it through a blocking pw_loop_invoke.
#include "audio/pipewire_sink.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

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
constexpr auto drain_timeout = std::chrono::milliseconds(5000);
constexpr uint64_t ring_buffer_ms = 500;

// The stream is connected with AUTOCONNECT | MAP_BUFFERS | ASYNC (0x405).
// PipeWire 0.3.65 (Debian 12) has no PW_STREAM_FLAG_ASYNC (its flags end at
// TRIGGER, 1 << 9), so below the version check the raw bit 1 << 10 stands in;
// those servers accept it. Headers that know the flag supply it themselves,
// and the static_assert keeps the value the same either way.
#if PW_CHECK_VERSION(1, 0, 0)
constexpr uint32_t stream_flag_async = PW_STREAM_FLAG_ASYNC;
#else
constexpr uint32_t stream_flag_async = 1u << 10;
#endif
constexpr uint32_t stream_connect_flags = PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS | stream_flag_async;
static_assert(stream_connect_flags == 0x405);

}  // namespace

// Fields written on the loop thread while no PipeWire thread runs (format,
// ring set-up) are read by the PipeWire thread after it has been started,
// which orders them. Fields both threads use are atomic or lock-guarded.
struct PipeWireSink {
    uv_loop_t *loop = nullptr;
    pw_main_loop *main_loop = nullptr;
    pw_stream *stream = nullptr;
    std::thread thread;
    bool thread_running = false;
    RingBuffer ring;
    uint32_t sample_rate = 0;
    uint32_t channels = 0;
    uint32_t sample_format = 0;
    uint8_t bytes_per_sample = 0;
    bool open = false;
    // Written on the loop thread, read by the state-changed event.
    std::atomic<bool> paused{false};
    std::atomic<bool> drained{false};
    std::mutex drain_mutex;  // pairs with drain_cond; guards the wait on drained
    std::condition_variable drain_cond;
    LoopAsync *drained_async = nullptr;
    LoopAsync *volume_async = nullptr;
    LoopAsync *mute_async = nullptr;
    LoopAsync *need_data_async = nullptr;
    std::atomic<uint32_t> volume{unity_volume};
    std::atomic<bool> muted{false};
    uint32_t max_audio_quality = ZRV_AUDIO_QUALITY_HIRES3;
    SinkCallbacks callbacks{};

    // The PipeWire node named by the configured output device; empty for
    // PipeWire's default.
    std::string target;
    // Set by drain: the process event hands the drain to PipeWire once the
    // ring buffer has run empty, so the audio still buffered here is played.
    std::atomic<bool> drain_pending{false};
    // pw_loop_invoke runs its function on the calling thread when no thread
    // has entered the loop yet, so open waits until the PipeWire thread runs
    // the loop: this event is its first piece of work.
    spa_source *loop_started_event = nullptr;
    std::mutex loop_started_mutex;  // guards loop_started
    std::condition_variable loop_started_cond;
    bool loop_started = false;
};

namespace {

void on_state_changed(void *data, pw_stream_state /*old*/, pw_stream_state state, const char *error) noexcept {
    auto *sink = static_cast<PipeWireSink *>(data);
    switch (state) {
        case PW_STREAM_STATE_UNCONNECTED:
            app_log(LOG_WARNING, "PipeWire stream disconnected");
            break;
        case PW_STREAM_STATE_CONNECTING:
            app_log(LOG_DEBUG, "PipeWire stream connecting...");
            break;
        case PW_STREAM_STATE_PAUSED:
            app_log(LOG_DEBUG, "PipeWire stream paused (format negotiated, node-id=%u)",
                    pw_stream_get_node_id(sink->stream));
            // Deactivating a stream reports PAUSED too: activating it then
            // would undo the sink's own pause.
            if (!sink->paused) pw_stream_set_active(sink->stream, true);
            break;
        case PW_STREAM_STATE_STREAMING:
            app_log(LOG_INFO, "PipeWire stream streaming (node-id=%u)", pw_stream_get_node_id(sink->stream));
            break;
        case PW_STREAM_STATE_ERROR: {
            const int error_number = errno;
            app_log(LOG_ERROR, "PipeWire stream error: %s (errno=%d)", error ? error : "unknown", error_number);
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

void on_process(void *data) noexcept {
    auto *sink = static_cast<PipeWireSink *>(data);
    pw_buffer *buffer = pw_stream_dequeue_buffer(sink->stream);
    if (!buffer) {
        app_log(LOG_WARNING, "PipeWire: out of buffers");
        return;
    }
    spa_buffer *spa = buffer->buffer;
    if (spa->n_datas < 1 || !spa->datas[0].data) {
        pw_stream_queue_buffer(sink->stream, buffer);
        return;
    }
    spa_data &block = spa->datas[0];
    const uint32_t stride = sink->channels * sink->bytes_per_sample;
    const uint32_t max_frames = stride ? block.maxsize / stride : 0;
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
    pw_stream_queue_buffer(sink->stream, buffer);

    // A period of pure silence means every buffered byte has been handed to
    // PipeWire; that silent period also covers the last buffer, which
    // PipeWire does not play out on a drain.
    if (got == 0 && sink->drain_pending.exchange(false)) pw_stream_flush(sink->stream, true);

    if (ring_buffer_free_space(&sink->ring) >= 2 * static_cast<size_t>(length)) loop_async_send(sink->need_data_async);
}

void on_drained(void *data) noexcept {
    auto *sink = static_cast<PipeWireSink *>(data);
    app_log(LOG_DEBUG, "PipeWire stream drained");
    sink->drained = true;
    {
        std::lock_guard lock(sink->drain_mutex);
        sink->drain_cond.notify_all();
    }
    loop_async_send(sink->drained_async);
}

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

void on_loop_started(void *data, uint64_t /*count*/) noexcept {
    auto *sink = static_cast<PipeWireSink *>(data);
    std::lock_guard lock(sink->loop_started_mutex);
    sink->loop_started = true;
    sink->loop_started_cond.notify_all();
}

void on_drained_async(uv_async_t * /*handle*/) noexcept {}

PipeWireSink *sink_of(uv_async_t *handle) {
    return static_cast<PipeWireSink *>(uv_handle_get_data(reinterpret_cast<uv_handle_t *>(handle)));
}

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

// Runs fn(sink, value) on the PipeWire thread and waits for it. Only for an
// open sink, whose thread runs the main loop.
template <typename Value>
void run_on_pipewire_thread(PipeWireSink *sink, int (*fn)(spa_loop *, bool, uint32_t, const void *, size_t, void *),
                            const Value &value) {
    pw_loop_invoke(pw_main_loop_get_loop(sink->main_loop), fn, 1, &value, sizeof value, true, sink);
}

int do_stop_stream(spa_loop *, bool, uint32_t, const void *, size_t, void *user) noexcept {
    auto *stream = static_cast<pw_stream *>(user);
    pw_stream_set_active(stream, false);
    pw_stream_disconnect(stream);
    return 0;
}

int do_set_active(spa_loop *, bool, uint32_t, const void *data, size_t, void *user) noexcept {
    pw_stream_set_active(static_cast<PipeWireSink *>(user)->stream, *static_cast<const bool *>(data));
    return 0;
}

int do_flush(spa_loop *, bool, uint32_t, const void *data, size_t, void *user) noexcept {
    pw_stream_flush(static_cast<PipeWireSink *>(user)->stream, *static_cast<const bool *>(data));
    return 0;
}

struct ControlValue {
    uint32_t id;
    float value;
};

int do_set_control(spa_loop *, bool, uint32_t, const void *data, size_t, void *user) noexcept {
    ControlValue control = *static_cast<const ControlValue *>(data);
    pw_stream_set_control(static_cast<PipeWireSink *>(user)->stream, control.id, 1, &control.value, 0);
    return 0;
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

void stop_thread(PipeWireSink *sink) {
    if (!sink->thread_running) return;
    pw_main_loop_quit(sink->main_loop);
    sink->thread.join();
    sink->thread_running = false;
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

    pw_init(nullptr, nullptr);
    sink->main_loop = pw_main_loop_new(nullptr);
    if (!sink->main_loop) {
        app_log(LOG_ERROR, "Failed to create PipeWire main loop");
        return sink;
    }
    sink->loop_started_event = pw_loop_add_event(pw_main_loop_get_loop(sink->main_loop), on_loop_started, sink);
    pw_properties *props =
        pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Playback", PW_KEY_MEDIA_ROLE, "Music",
                          PW_KEY_NODE_NAME, stream_name, PW_KEY_NODE_DESCRIPTION, "Jux Zorva Connect", nullptr);
    sink->stream =
        pw_stream_new_simple(pw_main_loop_get_loop(sink->main_loop), stream_name, props, &stream_events, sink);
    if (!sink->stream) app_log(LOG_ERROR, "Failed to create PipeWire stream");
    return sink;
}

void pipewire_sink_free(PipeWireSink *sink) {
    if (!sink) return;
    pipewire_sink_close(sink);
    loop_async_close(sink->drained_async);
    loop_async_close(sink->volume_async);
    loop_async_close(sink->mute_async);
    loop_async_close(sink->need_data_async);
    if (sink->stream) pw_stream_destroy(sink->stream);
    if (sink->loop_started_event)
        pw_loop_destroy_source(pw_main_loop_get_loop(sink->main_loop), sink->loop_started_event);
    if (sink->main_loop) pw_main_loop_destroy(sink->main_loop);
    pw_deinit();
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

    const size_t capacity =
        static_cast<size_t>(uint64_t{bytes_per_sample} * sink->sample_rate * sink->channels * ring_buffer_ms / 1000);
    if (!ring_buffer_init(&sink->ring, capacity)) {
        app_log(LOG_ERROR, "Failed to initialize ring buffer (capacity=%zu)", capacity);
        return false;
    }

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

    if (!sink->main_loop || !sink->stream || !sink->loop_started_event) {
        app_log(LOG_ERROR, "Failed to connect PipeWire stream: %s", std::strerror(ENODEV));
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
    pw_stream_update_properties(sink->stream, &dict);

    const int result = pw_stream_connect(sink->stream, PW_DIRECTION_OUTPUT, PW_ID_ANY,
                                         static_cast<pw_stream_flags>(stream_connect_flags), params, 1);
    if (result < 0) {
        app_log(LOG_ERROR, "Failed to connect PipeWire stream: %s", std::strerror(-result));
        ring_buffer_release(&sink->ring);
        return false;
    }

    sink->loop_started = false;
    pw_loop_signal_event(pw_main_loop_get_loop(sink->main_loop), sink->loop_started_event);
    sink->thread_running = true;
    try {
        sink->thread = std::thread([main_loop = sink->main_loop] { pw_main_loop_run(main_loop); });
    } catch (const std::system_error &error) {
        app_log(LOG_ERROR, "Failed to create PipeWire main loop thread: %s", std::strerror(error.code().value()));
        sink->thread_running = false;
        // No thread runs the stream's loop, so it is safe to disconnect here;
        // a stream left connected would hold its node in the graph.
        do_stop_stream(nullptr, false, 0, nullptr, 0, sink->stream);
        ring_buffer_release(&sink->ring);
        return false;
    }
    {
        std::unique_lock lock(sink->loop_started_mutex);
        sink->loop_started_cond.wait(lock, [sink] { return sink->loop_started; });
    }

    sink->open = true;
    app_log(LOG_INFO, "PipeWire audio sink opened: %u Hz, %u ch, %u bits, ring buffer %zu bytes", sink->sample_rate,
            sink->channels, static_cast<unsigned>(sink->bytes_per_sample) * 8, capacity);
    return true;
}

bool pipewire_sink_is_open(const PipeWireSink *sink) { return sink->open; }

void pipewire_sink_close(PipeWireSink *sink) {
    if (!sink->open) return;
    pw_loop_invoke(pw_main_loop_get_loop(sink->main_loop), do_stop_stream, 1, nullptr, 0, true, sink->stream);
    stop_thread(sink);
    sink->drain_pending = false;
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
    if (sink->paused) return 0;
    return ring_buffer_write(&sink->ring, data, length);
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
    run_on_pipewire_thread(sink, do_set_active, false);
    return true;
}

bool pipewire_sink_resume(PipeWireSink *sink) {
    if (!sink->open) {
        app_log(LOG_ERROR, "Unable to resume PipeWire audio sink: device is not open");
        return false;
    }
    sink->paused = false;
    run_on_pipewire_thread(sink, do_set_active, true);
    return true;
}

bool pipewire_sink_flush(PipeWireSink *sink) {
    if (!sink->open) {
        app_log(LOG_ERROR, "Unable to flush PipeWire audio sink: device is not open");
        return false;
    }
    sink->drain_pending = false;
    ring_buffer_reset(&sink->ring);
    run_on_pipewire_thread(sink, do_flush, false);
    return true;
}

bool pipewire_sink_drain(PipeWireSink *sink) {
    if (!sink->open) {
        app_log(LOG_ERROR, "Unable to drain PipeWire audio sink: device is not open");
        return false;
    }
    sink->drained = false;
    // A paused stream runs no process cycles that could hand the drain over,
    // so PipeWire is asked at once.
    if (sink->paused)
        run_on_pipewire_thread(sink, do_flush, true);
    else
        sink->drain_pending = true;

    const auto deadline = std::chrono::system_clock::now() + drain_timeout;
    bool timed_out = false;
    {
        std::unique_lock lock(sink->drain_mutex);
        while (!sink->drained) {
            if (sink->drain_cond.wait_until(lock, deadline) == std::cv_status::timeout) {
                timed_out = !sink->drained;
                break;
            }
        }
    }
    if (timed_out) app_log(LOG_WARNING, "PipeWire audio sink drain timed out after %d ms", 5000);

    // PipeWire keeps a drained stream draining, reporting drained every
    // cycle and calling no process; a non-draining flush ends that so the
    // next write plays.
    sink->drain_pending = false;
    run_on_pipewire_thread(sink, do_flush, false);
    return true;
}

void pipewire_sink_set_volume(PipeWireSink *sink, uint32_t volume) {
    sink->volume = volume;
    if (!sink->open) return;
    run_on_pipewire_thread(sink, do_set_control, ControlValue{SPA_PROP_volume, static_cast<float>(volume / 65535.0)});
}

uint32_t pipewire_sink_get_volume(const PipeWireSink *sink) { return sink->volume; }

void pipewire_sink_set_mute(PipeWireSink *sink, bool muted) {
    sink->muted = muted;
    if (!sink->open) return;
    run_on_pipewire_thread(sink, do_set_control, ControlValue{SPA_PROP_mute, muted ? 1.0f : 0.0f});
}

bool pipewire_sink_get_mute(const PipeWireSink *sink) { return sink->muted; }
