// The sink's façade, on the loop thread: open, close, write and the controls.
// PipeWire runs the stream on threads of its own (pipewire_sink_events.cpp).
// PipeWire objects are not thread-safe, so the loop thread takes the thread
// loop's lock around every call into them.
#include "audio/pipewire_sink.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include "app/log.h"
#include "audio/pipewire_sink_internal.h"

using namespace pipewire_sink_detail;

namespace {

constexpr int64_t drain_timeout_ms = 5000;
constexpr uint64_t ring_buffer_ms = 500;
// How long a close keeps a running stream for an open in the same format:
// the next track after a skip or a stop starts on it at once, where a new
// stream waits a graph cycle or two to be linked and scheduled.
constexpr uint64_t kept_stream_ms = 3000;

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

size_t capacity_for(uint32_t sample_rate, uint32_t channels, uint8_t bytes_per_sample) {
    const uint64_t stride = uint64_t{bytes_per_sample} * channels;
    const uint64_t bytes = stride * sample_rate * ring_buffer_ms / 1000;
    // Whole frames only, so that no read or write can split a frame.
    return static_cast<size_t>(stride ? bytes / stride * stride : 0);
}

// False, with `refusal` logged at ERROR, when the sink is not open.
bool is_open_for(const PipeWireSink *sink, const char *refusal) {
    if (!sink->open) app_log(LOG_ERROR, "%s", refusal);
    return sink->open;
}

// Sets one of the stream's controls (volume, mute) when it is open; a closed
// sink keeps only the value the caller stored.
void set_control(PipeWireSink *sink, uint32_t control, float value) {
    if (!sink->open) return;
    ThreadLoopLock lock(sink->thread_loop.get());
    if (sink->connected) pw_stream_set_control(sink->stream.get(), control, 1, &value, 0);
}

// How long a reconnected stream may take to run before the connection it
// was made on is given up.
constexpr std::chrono::milliseconds reconnect_attempt_time{1500};

// Connects the stream, on a live connection, with the format the sink was
// opened with; the ring buffer is set up. 0 on success; otherwise a
// negative errno, or 1 when there is no stream (already logged). After a
// failed pw_stream_connect the next attempt starts from a new connection.
int connect_stream(PipeWireSink *sink, const spa_pod *format_param, bool quiet) {
    ThreadLoopLock lock(sink->thread_loop.get());
    pw_stream *stream = stream_on_live_connection(sink, quiet);
    if (!stream) return 1;
    // Asking for the track's own rate lets the graph switch to it, so the
    // audio is not resampled wherever the server allows that rate.
    const std::string node_rate = "1/" + std::to_string(sink->sample_rate);
    spa_dict_item items[2];
    uint32_t n_items = 0;
    if (sink->sample_rate != 0) items[n_items++] = SPA_DICT_ITEM_INIT(PW_KEY_NODE_RATE, node_rate.c_str());
    if (!sink->target.empty()) items[n_items++] = SPA_DICT_ITEM_INIT(PW_KEY_TARGET_OBJECT, sink->target.c_str());
    const spa_dict dict = SPA_DICT_INIT(items, n_items);
    pw_stream_update_properties(stream, &dict);

    sink->stride.store(sink->channels * sink->bytes_per_sample, std::memory_order_release);
    sink->connected = true;
    sink->negotiated = false;
    const spa_pod *params[1] = {format_param};
    const int result = pw_stream_connect(stream, PW_DIRECTION_OUTPUT, PW_ID_ANY,
                                         static_cast<pw_stream_flags>(stream_connect_flags), params, 1);
    if (result < 0) {
        sink->connected = false;
        drop_connection(sink);
    }
    return result < 0 ? result : 0;
}

// Starts the stream that the last close kept, when it is still there and
// the open is in its format; otherwise takes it out of the graph, so that
// a new one is connected. Lock held.
bool restart_kept_stream(PipeWireSink *sink, bool same_format) {
    loop_timer_stop(sink->release_timer);
    if (!same_format || !sink->connected) {
        // Lost while it was kept (this open has cleared the loss it
        // reported): treated as a loss at close.
        if (!sink->connected) sink->core_failed = true;
        disconnect_stream(sink);
        return false;
    }
    sink->kept = false;
    sink->stride.store(sink->channels * sink->bytes_per_sample, std::memory_order_release);
    // What the listener set while the sink was closed.
    push_controls(sink);
    if (!sink->paused) pw_stream_set_active(sink->stream.get(), true);
    return true;
}

// Loop thread: no open came for the kept stream in time.
void on_release_timer(uv_timer_t *handle) noexcept {
    auto *sink = static_cast<PipeWireSink *>(uv_handle_get_data(reinterpret_cast<uv_handle_t *>(handle)));
    ThreadLoopLock lock(sink->thread_loop.get());
    if (sink->kept) disconnect_stream(sink);
}

// The format offer for the sink's format; null when it cannot be built.
const spa_pod *build_format_param(const PipeWireSink *sink, spa_audio_format spa_format, spa_pod_builder *builder) {
    spa_audio_info_raw info{};
    info.format = spa_format;
    info.rate = sink->sample_rate;
    info.channels = sink->channels;
    return spa_format_audio_raw_build(builder, SPA_PARAM_EnumFormat, &info);
}

}  // namespace

PipeWireSink *pipewire_sink_new(uv_loop_t *loop, const char *output_device) {
    auto *sink = new PipeWireSink;
    sink->loop = loop;
    sink->target = target_of(output_device);
    open_wakeups(sink, loop);
    // Waiting to release a kept stream does not keep the loop running.
    sink->release_timer = loop_timer_new(loop, sink);
    if (sink->release_timer) uv_unref(reinterpret_cast<uv_handle_t *>(&sink->release_timer->handle));

    pw_init(nullptr, nullptr);
    sink->thread_loop.reset(pw_thread_loop_new("zrv-pipewire", nullptr));
    // client-rt.conf loads PipeWire's realtime module, which gives the data
    // thread its realtime priority.
    if (sink->thread_loop)
        sink->context.reset(pw_context_new(pw_thread_loop_get_loop(sink->thread_loop.get()),
                                           pw_properties_new(PW_KEY_CONFIG_NAME, "client-rt.conf", nullptr), 0));
    if (!sink->context || !add_data_thread_wakeup(sink) || pw_thread_loop_start(sink->thread_loop.get()) < 0) {
        app_log(LOG_ERROR, "Failed to create PipeWire main loop");
        if (sink->thread_loop) remove_data_thread_wakeup(sink);
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
    if (sink->thread_loop) {
        pw_thread_loop_stop(sink->thread_loop.get());
        remove_data_thread_wakeup(sink);
    }
    sink->stream.reset();
    sink->core.reset();
    sink->context.reset();
    sink->thread_loop.reset();
    pw_deinit();
    loop_timer_close(sink->release_timer);
    close_wakeups(sink);
    delete sink;
}

void pipewire_sink_set_callbacks(PipeWireSink *sink, const SinkCallbacks *callbacks) {
    sink->callbacks = callbacks ? *callbacks : SinkCallbacks{};
}

uint32_t pipewire_sink_max_audio_quality(const PipeWireSink *sink) { return sink->max_audio_quality; }

void pipewire_sink_set_rate_change_silence(PipeWireSink *sink, uint32_t silence_ms) {
    sink->rate_change_silence_ms = silence_ms;
}

bool pipewire_sink_open(PipeWireSink *sink, AudioFormat format) {
    if (sink->open) {
        app_log(LOG_ERROR, "Unable to open PipeWire audio sink: sink is already open");
        return false;
    }
    const bool same_format = format.sample_rate == sink->sample_rate && format.channels == sink->channels &&
                             format.sample_format == sink->sample_format;
    // A loss of the last open's stream is old news from here on.
    sink->lost = false;
    sink->lost_reported = false;
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
    // Stored before the stream can run the process event, which counts it
    // down from then on.
    const bool rate_changed = sink->played_rate != 0 && sink->played_rate != sink->sample_rate;
    const uint64_t lead_in_frames =
        rate_changed ? uint64_t{sink->sample_rate} * sink->rate_change_silence_ms / 1000 : 0;
    sink->lead_in_frames.store(lead_in_frames, std::memory_order_relaxed);

    uint8_t pod_buffer[1024];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(pod_buffer, sizeof pod_buffer);
    const spa_pod *format_param = build_format_param(sink, spa_format, &builder);
    if (!format_param) {
        app_log(LOG_ERROR, "Failed to build SPA audio format params");
        ring_buffer_release(&sink->ring);
        return false;
    }

    if (!sink->context) {
        app_log(LOG_ERROR, "Failed to connect PipeWire stream: %s", std::strerror(ENODEV));
        ring_buffer_release(&sink->ring);
        return false;
    }

    bool restarted = false;
    {
        ThreadLoopLock lock(sink->thread_loop.get());
        if (sink->kept) restarted = restart_kept_stream(sink, same_format);
    }
    const int result = restarted ? 0 : connect_stream(sink, format_param, false);
    if (result == 1) {
        ring_buffer_release(&sink->ring);
        return false;
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
    if (lead_in_frames > 0)
        app_log(LOG_INFO, "Playing %u ms of silence before the track: the rate changed from %u to %u Hz",
                sink->rate_change_silence_ms, sink->played_rate, sink->sample_rate);
    sink->played_rate = sink->sample_rate;
    return true;
}

bool pipewire_sink_is_open(const PipeWireSink *sink) { return sink->open; }

void pipewire_sink_close(PipeWireSink *sink) {
    if (!sink->open) return;
    bool keep = false;
    {
        // The stream object stays, on its connection, for the next open; a
        // connection the server closed is replaced then. A stream that runs
        // stays in the graph too, stopped and emptied of what PipeWire
        // held, for an open in the same format soon after.
        ThreadLoopLock lock(sink->thread_loop.get());
        keep = sink->release_timer && sink->connected && sink->negotiated && !sink->lost && !sink->quiet_losses;
        if (sink->connected) pw_stream_set_active(sink->stream.get(), false);
        sink->restore_controls = false;
        if (keep) {
            sink->kept = true;
            pw_stream_flush(sink->stream.get(), false);
        } else {
            disconnect_stream(sink);
        }
    }
    if (keep) loop_timer_start(sink->release_timer, on_release_timer, kept_stream_ms, 0);
    let_go_of_ring_on_data_thread(sink);
    // Pairs with the data thread's store: its ring buffer reads happened
    // before the release below.
    (void)sink->stride.load(std::memory_order_acquire);
    report_out_of_buffers(sink);
    sink->drain_pending = false;
    sink->pause_pending = false;
    // A loss stays known until the next open: a user that closes in order to
    // reopen (a change of format) still learns of it.
    sink->partial_size = 0;
    ring_buffer_release(&sink->ring);
    sink->open = false;
}

bool pipewire_sink_stream_lost(const PipeWireSink *sink) { return sink->lost; }

bool pipewire_sink_reconnect(PipeWireSink *sink) {
    if (!sink->open || !sink->context) return false;
    if (!sink->lost) {
        ThreadLoopLock lock(sink->thread_loop.get());
        const bool waited_in_vain = sink->quiet_losses && !sink->negotiated &&
                                    std::chrono::steady_clock::now() - sink->reconnected_at >= reconnect_attempt_time;
        if (!waited_in_vain) return false;
        app_log(LOG_DEBUG, "PipeWire stream did not run within %lld ms of reconnecting: trying a new connection",
                static_cast<long long>(reconnect_attempt_time.count()));
        sink->core_failed = true;
    }
    spa_audio_format spa_format = SPA_AUDIO_FORMAT_UNKNOWN;
    uint8_t bytes_per_sample = 0;
    map_sample_format(sink->sample_format, &spa_format, &bytes_per_sample);
    uint8_t pod_buffer[1024];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(pod_buffer, sizeof pod_buffer);
    const spa_pod *format_param = build_format_param(sink, spa_format, &builder);
    if (!format_param) return false;
    // The data thread lets go of the lost stream and of the ring buffer
    // first: its process event may still run for the stream until the
    // stream is destroyed, and must neither read audio that would go nowhere
    // nor see the stream change under it. Connecting sets the frame size
    // again.
    let_go_of_ring_on_data_thread(sink);
    {
        // The lost stream goes: a new one starts without what PipeWire held
        // for the old one, and without the session manager's verdict on it.
        ThreadLoopLock lock(sink->thread_loop.get());
        sink->stream.reset();
        // A loss of the new stream, from here on, is news again.
        sink->lost = false;
        sink->lost_reported = false;
        sink->restore_controls = true;
        sink->quiet_losses = true;
        // A paused sink's new stream stops in its first cycle, as at pause.
        if (sink->paused) sink->pause_pending = true;
    }
    const int result = connect_stream(sink, format_param, true);
    if (result != 0) {
        ThreadLoopLock lock(sink->thread_loop.get());
        sink->restore_controls = false;
        sink->lost = true;
        sink->lost_reported = true;  // the user knows: this is the same loss
        if (result < 0) app_log(LOG_DEBUG, "Failed to connect PipeWire stream: %s", std::strerror(-result));
        return false;
    }
    sink->reconnected_at = std::chrono::steady_clock::now();
    app_log(LOG_DEBUG, "PipeWire audio sink reconnecting its stream: %u Hz, %u ch", sink->sample_rate, sink->channels);
    return true;
}

bool pipewire_sink_stream_ready(PipeWireSink *sink) {
    if (!sink->open) return false;
    ThreadLoopLock lock(sink->thread_loop.get());
    return sink->connected && sink->negotiated;
}

uint64_t pipewire_sink_period_ms(const PipeWireSink *sink) {
    const uint64_t frames = sink->last_period_frames.load(std::memory_order_relaxed);
    return sink->sample_rate ? frames * 1000 / sink->sample_rate : 0;
}

size_t pipewire_sink_write(PipeWireSink *sink, const void *data, size_t length, bool *ok) {
    *ok = is_open_for(sink, "Unable to write to PipeWire audio sink: device is not open");
    if (!*ok) return 0;
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

uint64_t pipewire_sink_write_mark(const PipeWireSink *sink) {
    return sink->open ? ring_buffer_write_mark(&sink->ring) : 0;
}

size_t pipewire_sink_take_back(PipeWireSink *sink, uint64_t mark) {
    if (!is_open_for(sink, "Unable to take back audio from PipeWire audio sink: device is not open")) return 0;
    // The start of a frame kept back belongs to what is taken back.
    sink->partial_size = 0;
    return take_back_on_data_thread(sink, mark);
}

uint64_t pipewire_sink_buffered_frames(PipeWireSink *sink, bool *ok) {
    *ok = is_open_for(sink, "Unable to get buffered frame count: device is not open");
    if (!*ok) return 0;
    const uint64_t stride = uint64_t{sink->channels} * sink->bytes_per_sample;
    const uint64_t lead_in = sink->lead_in_frames.load(std::memory_order_relaxed);
    return stride ? ring_buffer_fill_level(&sink->ring) / stride + lead_in : 0;
}

// A paused sink takes no data and plays none of what its ring buffer holds.
// Its stream is stopped by the process event of the next cycle, once what
// the graph already took has been played.
bool pipewire_sink_pause(PipeWireSink *sink) {
    if (!is_open_for(sink, "Unable to pause PipeWire audio sink: device is not open")) return false;
    sink->paused = true;
    sink->pause_pending = true;
    // A cycle under way may still read the ring buffer; after this none does.
    wait_for_data_thread(sink);
    return true;
}

bool pipewire_sink_resume(PipeWireSink *sink) {
    if (!is_open_for(sink, "Unable to resume PipeWire audio sink: device is not open")) return false;
    sink->pause_pending = false;
    sink->paused = false;
    ThreadLoopLock lock(sink->thread_loop.get());
    // A lost stream has nothing to run; a reconnect starts its successor.
    if (sink->connected) pw_stream_set_active(sink->stream.get(), true);
    return true;
}

bool pipewire_sink_flush(PipeWireSink *sink) {
    if (!is_open_for(sink, "Unable to flush PipeWire audio sink: device is not open")) return false;
    sink->drain_pending = false;
    sink->partial_size = 0;
    reset_ring_on_data_thread(sink);
    ThreadLoopLock lock(sink->thread_loop.get());
    if (sink->connected) pw_stream_flush(sink->stream.get(), false);
    return true;
}

bool pipewire_sink_drain(PipeWireSink *sink) {
    if (!is_open_for(sink, "Unable to drain PipeWire audio sink: device is not open")) return false;
    pw_thread_loop *thread_loop = sink->thread_loop.get();
    pw_stream *stream = sink->stream.get();
    bool timed_out = false;
    bool drained = false;
    {
        ThreadLoopLock lock(thread_loop);
        sink->drained = false;
        sink->drain_pending = true;
        // A paused stream runs no cycles and would never drain: it plays
        // out what it holds and is paused again below, rather than block the
        // loop for the whole time-out and lose that audio at the next close.
        const bool paused = sink->paused && sink->connected;
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
        drained = sink->drained;
        sink->drain_pending = false;
        if (paused && sink->connected) pw_stream_set_active(stream, false);
    }
    if (timed_out) app_log(LOG_WARNING, "PipeWire audio sink drain timed out after %d ms", 5000);
    return drained;
}

void pipewire_sink_set_volume(PipeWireSink *sink, uint32_t volume) {
    sink->volume = volume;
    set_control(sink, SPA_PROP_volume, static_cast<float>(volume / 65535.0));
}

uint32_t pipewire_sink_get_volume(const PipeWireSink *sink) { return sink->volume; }

void pipewire_sink_set_mute(PipeWireSink *sink, bool muted) {
    sink->muted = muted;
    set_control(sink, SPA_PROP_mute, muted ? 1.0f : 0.0f);
}

bool pipewire_sink_get_mute(const PipeWireSink *sink) { return sink->muted; }
