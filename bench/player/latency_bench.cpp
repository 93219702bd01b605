// Benchmark helper for bench/run-latency.sh: command-to-sound latency. The
// stand-in's playback service drives the Player into the default PipeWire
// sink (a null sink), and a capture of that sink's monitor, in this process,
// stamps every buffer it receives with the start of the graph cycle that
// carried it. Each of the service's commands (pause, resume, seek, skip,
// stop) is timed from the moment it is given to what the capture shows:
// the first silent frame for pause and stop, the first frame of sound for
// resume, the first frame at the new position or of the new track for seek
// and skip (every track and position has PCM of its own). Beside each, the
// stand-in's own delivery time: from the command to the Player's delegate
// call (pause, resume, stop; initiate of the next track for skip) or to the
// first data at the new position handed to the Player (seek). The reference
// is a minimal client on the same graph: a stream of its own that starts or
// stops a sound in the first graph cycle after it is told to.
//
//   latency_bench <quantum> <rounds>
//       prints "RESULT" lines (bench/run-all) and a line per command
//
// The loop thread runs the Player and the stand-in; the capture's process
// event runs on PipeWire's data thread, in the cycle itself, and only copies
// into storage allocated up front.
#include <uv.h>

#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "player/player.h"
#include "zorva_connect.h"
#include "zorva_standin.h"

// The SPA helpers are C inline functions that trip our C++ warnings.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#pragma GCC diagnostic ignored "-Wcast-qual"
#pragma GCC diagnostic ignored "-Wshadow"
#include <pipewire/pipewire.h>
#include <spa/param/audio/format-utils.h>
#pragma GCC diagnostic pop

namespace {

constexpr uint32_t rate = 44100;
constexpr uint32_t stride = 4;  // S16 stereo
constexpr uint64_t track_ms = 30000;
constexpr size_t capture_seconds = 240;
const AudioFormat cd{rate, 2, ZRV_SAMPLE_FORMAT_S16};

int64_t now_ns() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
}

// The capture: frames and one stamp per buffer, published with release by
// the data thread, read by the loop thread up to the published counts.
struct Capture {
    pw_thread_loop *loop = nullptr;
    pw_stream *stream = nullptr;
    spa_hook listener{};
    std::vector<uint32_t> frames = std::vector<uint32_t>(size_t{rate} * capture_seconds);
    struct Stamp {
        size_t frame;
        int64_t ns;
    };
    std::vector<Stamp> stamps = std::vector<Stamp>(size_t{rate} * capture_seconds / 64);
    std::atomic<size_t> frame_count{0};
    std::atomic<size_t> stamp_count{0};
    std::atomic<bool> streaming{false};

    // When frame `index` was played: its buffer's cycle start plus the
    // frames before it in that buffer; -1 when it has not been captured.
    int64_t time_of(size_t index) const {
        const size_t count = stamp_count.load(std::memory_order_acquire);
        auto end = stamps.begin() + static_cast<long>(count);
        auto after = std::upper_bound(stamps.begin(), end, index,
                                      [](size_t at, const Stamp &stamp) { return at < stamp.frame; });
        if (after == stamps.begin() || index >= frame_count.load(std::memory_order_acquire)) return -1;
        const Stamp &stamp = *(after - 1);
        return stamp.ns + static_cast<int64_t>((index - stamp.frame) * 1'000'000'000 / rate);
    }
    // The first frame played at or after `ns`.
    size_t frame_at(int64_t ns) const {
        const size_t count = stamp_count.load(std::memory_order_acquire);
        for (size_t i = 0; i < count; ++i) {
            const size_t next = i + 1 < count ? stamps[i + 1].frame : frame_count.load(std::memory_order_acquire);
            if (stamps[i].ns + static_cast<int64_t>((next - stamps[i].frame) * 1'000'000'000 / rate) > ns) {
                const int64_t into = std::max<int64_t>(0, ns - stamps[i].ns);
                return stamps[i].frame + static_cast<size_t>(into * rate / 1'000'000'000);
            }
        }
        return frame_count.load(std::memory_order_acquire);
    }
};

void on_capture_process(void *user) noexcept {
    auto *capture = static_cast<Capture *>(user);
    pw_buffer *buffer = pw_stream_dequeue_buffer(capture->stream);
    if (!buffer) return;
    spa_data &block = buffer->buffer->datas[0];
    pw_time time{};
    if (pw_stream_get_time_n(capture->stream, &time, sizeof time) < 0 || time.now == 0) time.now = now_ns();
    if (block.data && block.chunk) {
        const uint32_t offset = SPA_MIN(block.chunk->offset, block.maxsize);
        const uint32_t size = SPA_MIN(block.chunk->size, block.maxsize - offset);
        const size_t at = capture->frame_count.load(std::memory_order_relaxed);
        const size_t stamp = capture->stamp_count.load(std::memory_order_relaxed);
        const size_t n = std::min<size_t>(size / stride, capture->frames.size() - at);
        if (n > 0 && stamp < capture->stamps.size()) {
            std::memcpy(capture->frames.data() + at, static_cast<const uint8_t *>(block.data) + offset, n * stride);
            capture->stamps[stamp] = {at, time.now};
            capture->stamp_count.store(stamp + 1, std::memory_order_release);
            capture->frame_count.store(at + n, std::memory_order_release);
        }
    }
    pw_stream_queue_buffer(capture->stream, buffer);
}

void on_capture_state(void *user, pw_stream_state, pw_stream_state state, const char *) noexcept {
    if (state == PW_STREAM_STATE_STREAMING) static_cast<Capture *>(user)->streaming = true;
}

// Connects a stream of the bench's format (S16 stereo at `rate`), run in the
// graph cycle, and starts its thread loop; false when it cannot connect.
bool connect_stereo_s16(pw_thread_loop *loop, pw_stream *stream, pw_direction direction) {
    uint8_t pod[1024];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(pod, sizeof pod);
    spa_audio_info_raw info{};
    info.format = SPA_AUDIO_FORMAT_S16_LE;
    info.rate = rate;
    info.channels = 2;
    info.position[0] = SPA_AUDIO_CHANNEL_FL;
    info.position[1] = SPA_AUDIO_CHANNEL_FR;
    const spa_pod *params[1] = {spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &info)};
    pw_thread_loop_lock(loop);
    const int result =
        pw_stream_connect(stream, direction, PW_ID_ANY,
                          static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS |
                                                       PW_STREAM_FLAG_RT_PROCESS),
                          params, 1);
    if (result >= 0) pw_thread_loop_start(loop);
    pw_thread_loop_unlock(loop);
    return result >= 0;
}

bool start_capture(Capture *capture) {
    pw_init(nullptr, nullptr);
    static const pw_stream_events events = [] {
        pw_stream_events e{};
        e.version = PW_VERSION_STREAM_EVENTS;
        e.process = on_capture_process;
        e.state_changed = on_capture_state;
        return e;
    }();
    capture->loop = pw_thread_loop_new("latency-capture", nullptr);
    pw_properties *props = pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Capture",
                                             PW_KEY_NODE_NAME, "zrv-latency-capture", PW_KEY_STREAM_CAPTURE_SINK,
                                             "true", PW_KEY_NODE_RATE, "1/44100", nullptr);
    capture->stream =
        pw_stream_new_simple(pw_thread_loop_get_loop(capture->loop), "zrv-latency-capture", props, &events, capture);
    const bool connected = connect_stereo_s16(capture->loop, capture->stream, PW_DIRECTION_INPUT);
    if (!connected) return false;
    for (int i = 0; i < 500 && capture->stamp_count.load() == 0; ++i) {
        timespec pause{0, 10'000'000};
        nanosleep(&pause, nullptr);
    }
    return capture->stamp_count.load() > 0;
}

void stop_capture(Capture *capture) {
    if (capture->loop) pw_thread_loop_stop(capture->loop);
    if (capture->stream) pw_stream_destroy(capture->stream);
    if (capture->loop) pw_thread_loop_destroy(capture->loop);
}

bool silent(uint32_t frame) { return frame == 0; }

// The reference: the least any PipeWire client can do on this graph. A
// playback stream of its own whose process event, in the graph cycle,
// starts or stops a constant sound in the first cycle after it is told to.
struct Probe {
    pw_thread_loop *loop = nullptr;
    pw_stream *stream = nullptr;
    std::atomic<bool> sounding{false};
    std::atomic<int64_t> changed_ns{0};  // the cycle in which it last started or stopped
};

void on_probe_process(void *user) noexcept {
    auto *probe = static_cast<Probe *>(user);
    pw_buffer *buffer = pw_stream_dequeue_buffer(probe->stream);
    if (!buffer) return;
    spa_data &block = buffer->buffer->datas[0];
    if (block.data) {
        uint32_t frames = block.maxsize / stride;
        if (buffer->requested != 0 && buffer->requested < frames) frames = static_cast<uint32_t>(buffer->requested);
        const bool sounding = probe->sounding.load(std::memory_order_acquire);
        auto *out = static_cast<uint32_t *>(block.data);
        std::fill(out, out + frames, sounding ? 0x01000100u : 0u);
        block.chunk->offset = 0;
        block.chunk->size = frames * stride;
        block.chunk->stride = stride;
        static bool was_sounding = false;
        if (sounding != was_sounding) {
            pw_time time{};
            pw_stream_get_time_n(probe->stream, &time, sizeof time);
            probe->changed_ns.store(time.now, std::memory_order_release);
            was_sounding = sounding;
        }
    }
    pw_stream_queue_buffer(probe->stream, buffer);
}

bool start_probe(Probe *probe) {
    static const pw_stream_events events = [] {
        pw_stream_events e{};
        e.version = PW_VERSION_STREAM_EVENTS;
        e.process = on_probe_process;
        return e;
    }();
    probe->loop = pw_thread_loop_new("latency-probe", nullptr);
    pw_properties *props =
        pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Playback", PW_KEY_NODE_NAME,
                          "zrv-latency-probe", PW_KEY_NODE_RATE, "1/44100", nullptr);
    probe->stream =
        pw_stream_new_simple(pw_thread_loop_get_loop(probe->loop), "zrv-latency-probe", props, &events, probe);
    return connect_stereo_s16(probe->loop, probe->stream, PW_DIRECTION_OUTPUT);
}

void stop_probe(Probe *probe) {
    if (probe->loop) pw_thread_loop_stop(probe->loop);
    if (probe->stream) pw_stream_destroy(probe->stream);
    if (probe->loop) pw_thread_loop_destroy(probe->loop);
}

// The bench's state, reached from the delegate wrappers.
struct Bench {
    uv_loop_t *loop = nullptr;
    ZrvConnect *sdk = nullptr;
    Player *player = nullptr;
    PlaybackDelegate playback{};
    AudioDelegate audio{};
    Capture capture;
    // The stand-in's delivery: the time the awaited call reached the Player.
    std::string awaited;  // "pause", "resume", "stop", "data after seek", "initiate"
    int64_t delivered_ns = 0;
    bool seeked = false;
};
Bench *bench = nullptr;

void delivered(const char *what) {
    if (bench->awaited == what && bench->delivered_ns == 0) bench->delivered_ns = now_ns();
}

void wrapped_initiate(ZrvConnect *sdk, uint32_t initial_state, void *) {
    delivered("initiate");
    bench->playback.initiate(sdk, initial_state, bench->playback.user);
}
void wrapped_pause(ZrvConnect *sdk, void *) {
    delivered("pause");
    bench->playback.pause(sdk, bench->playback.user);
}
void wrapped_resume(ZrvConnect *sdk, void *) {
    delivered("resume");
    bench->playback.resume(sdk, bench->playback.user);
}
void wrapped_stop(ZrvConnect *sdk, void *) {
    delivered("stop");
    bench->playback.stop(sdk, bench->playback.user);
}
size_t wrapped_audio_data(ZrvConnect *sdk, uint64_t id, const void *data, size_t size, void *) {
    if (size > 0 && bench->seeked) delivered("data after seek");
    return bench->audio.audio_data(sdk, id, data, size, bench->audio.user);
}
void wrapped_seeked(ZrvConnect *sdk, uint64_t id, uint64_t position_ms, void *) {
    bench->seeked = true;
    bench->audio.seeked(sdk, id, position_ms, bench->audio.user);
}

void no_advertising(ZrvConnect *, const char *, const char *, void *) {}
void no_op(ZrvConnect *, void *) {}
void no_active(ZrvConnect *, bool, void *) {}

void run_for(int ms) {
    uv_timer_t timer;
    uv_timer_init(bench->loop, &timer);
    uv_timer_start(
        &timer, [](uv_timer_t *handle) noexcept { uv_stop(handle->loop); }, static_cast<uint64_t>(ms), 0);
    uv_run(bench->loop, UV_RUN_DEFAULT);
    uv_close(reinterpret_cast<uv_handle_t *>(&timer), nullptr);
    uv_run(bench->loop, UV_RUN_NOWAIT);
}

bool run_until(const std::function<bool()> &done, int timeout_ms) {
    const int64_t end = now_ns() + int64_t{timeout_ms} * 1'000'000;
    while (!done()) {
        if (now_ns() > end) return false;
        run_for(5);
    }
    return true;
}

std::vector<uint32_t> pcm(uint32_t seed, uint64_t first_frame, size_t frames) {
    std::vector<uint32_t> out(frames);
    zrv_standin_generate_pcm(seed, cd, first_frame, frames, out.data(), out.size() * stride);
    return out;
}

// The first captured frame from `from` on where `wanted` begins, or SIZE_MAX.
size_t find(const std::vector<uint32_t> &wanted, size_t from) {
    const size_t count = bench->capture.frame_count.load(std::memory_order_acquire);
    const auto &frames = bench->capture.frames;
    for (size_t at = from; at + wanted.size() <= count; ++at)
        if (std::equal(wanted.begin(), wanted.end(), frames.begin() + static_cast<long>(at))) return at;
    return SIZE_MAX;
}

// One frame after the last one with sound, from `from` on.
size_t end_of_sound(size_t from) {
    const size_t count = bench->capture.frame_count.load(std::memory_order_acquire);
    size_t end = from;
    for (size_t at = from; at < count; ++at)
        if (!silent(bench->capture.frames[at])) end = at + 1;
    return end;
}

size_t first_sound(size_t from) {
    const size_t count = bench->capture.frame_count.load(std::memory_order_acquire);
    for (size_t at = from; at < count; ++at)
        if (!silent(bench->capture.frames[at])) return at;
    return SIZE_MAX;
}

struct Samples {
    std::vector<double> latency_ms;
    std::vector<double> delivery_ms;
    int failed = 0;
};

double percentile(std::vector<double> values, double p) {
    if (values.empty()) return -1;
    std::sort(values.begin(), values.end());
    const size_t index =
        std::min(values.size() - 1, static_cast<size_t>(p / 100.0 * static_cast<double>(values.size())));
    return values[index];
}

// Gives a command at a random phase of the graph's cycle; returns its time.
int64_t command(const char *awaited, ZrvError (*give)(ZrvConnect *), std::mt19937 &random, double quantum_ms) {
    std::uniform_int_distribution<int> phase(0, static_cast<int>(quantum_ms));
    run_for(phase(random));
    bench->awaited = awaited;
    bench->delivered_ns = 0;
    bench->seeked = false;
    const int64_t at = now_ns();
    if (give(bench->sdk) != ZRV_OK) return -1;
    return at;
}

void record(Samples &samples, int64_t commanded, size_t frame) {
    const int64_t heard = frame == SIZE_MAX ? -1 : bench->capture.time_of(frame);
    if (commanded < 0 || heard < 0 || bench->delivered_ns == 0) {
        ++samples.failed;
        return;
    }
    samples.latency_ms.push_back(static_cast<double>(heard - commanded) / 1e6);
    samples.delivery_ms.push_back(static_cast<double>(bench->delivered_ns - commanded) / 1e6);
}

uint64_t seek_target_ms = 0;
ZrvError seek(ZrvConnect *sdk) { return zrv_standin_seek(sdk, seek_target_ms); }

int measure(uint32_t quantum, int rounds) {
    const double quantum_ms = quantum * 1000.0 / rate;
    const int settle_ms = static_cast<int>(3 * quantum_ms) + 300;
    Bench state;
    bench = &state;
    if (!start_capture(&state.capture)) {
        std::fprintf(stderr, "latency_bench: the capture of the default sink did not start\n");
        return 1;
    }
    state.loop = uv_default_loop();

    // The reference first, alone on the sink.
    std::mt19937 random(20261208);
    std::uniform_int_distribution<int> phase(0, static_cast<int>(quantum_ms));
    Probe probe;
    if (!start_probe(&probe)) {
        std::fprintf(stderr, "latency_bench: the reference stream did not start\n");
        return 1;
    }
    run_for(500);
    std::vector<double> reference_start, reference_stop, graph_path;
    for (int round = 0; round < rounds; ++round) {
        run_for(phase(random));
        int64_t at = now_ns();
        probe.sounding = true;
        size_t from = state.capture.frame_at(at);
        run_for(settle_ms);
        size_t frame = first_sound(from);
        if (frame != SIZE_MAX) {
            reference_start.push_back(static_cast<double>(state.capture.time_of(frame) - at) / 1e6);
            graph_path.push_back(static_cast<double>(state.capture.time_of(frame) - probe.changed_ns.load()) / 1e6);
        }
        run_for(phase(random));
        at = now_ns();
        probe.sounding = false;
        from = state.capture.frame_at(at);
        run_for(settle_ms);
        frame = end_of_sound(from > 0 ? from - 1 : 0);
        reference_stop.push_back(static_cast<double>(state.capture.time_of(frame) - at) / 1e6);
    }
    stop_probe(&probe);
    run_for(300);

    state.player = player_new(state.loop, "", "", "");
    state.playback = player_playback_delegate(state.player);
    state.audio = player_audio_delegate(state.player);
    PlaybackDelegate playback = state.playback;
    playback.initiate = wrapped_initiate;
    playback.pause = wrapped_pause;
    playback.resume = wrapped_resume;
    playback.stop = wrapped_stop;
    AudioDelegate audio = state.audio;
    audio.audio_data = wrapped_audio_data;
    audio.seeked = wrapped_seeked;

    ZrvConnectConfig config{};
    config.version = ZRV_CONNECT_CONFIG_VERSION;
    config.device_name = "Bench";
    config.manufacturer = "Bench";
    config.model = "Bench";
    config.serial_number = "1";
    config.unique_device_id = "bench";
    config.app_id = "bench";
    config.app_secret = "";
    config.max_audio_quality = ZRV_AUDIO_QUALITY_HIRES3;
    config.capabilities = ZRV_CAPABILITY_GAPLESS;
    config.advertising = AdvertisingDelegate{nullptr, no_advertising, no_op};
    config.config_server = ConfigServerDelegate{nullptr, no_op, no_op};
    config.audio = audio;
    config.playback = playback;
    config.device = DeviceDelegate{nullptr, no_active};
    ZrvError error = ZRV_OK;
    state.sdk = zrv_connect_create(state.loop, &config, &error);
    if (!state.sdk) {
        std::fprintf(stderr, "zrv_connect_create: %s\n", zrv_error_to_string(error));
        return 1;
    }
    player_set_sdk(state.player, state.sdk);

    // Two tracks a round: one played from its start, one skipped to.
    const int tracks = std::min(2 * rounds + 1, 64);
    rounds = (tracks - 1) / 2;
    std::string queue = "standin:queue=";
    for (int t = 0; t < tracks; ++t)
        queue += (t ? "," : "") + std::to_string(rate) + "/16/2/" + std::to_string(track_ms);
    SessionToken api{"https://api.invalid", "t", 0};
    SessionToken zconnect{queue.c_str(), "t", 0};
    if ((error = zrv_connect_connect(state.sdk, "bench", &api, &zconnect, false)) != ZRV_OK) {
        std::fprintf(stderr, "zrv_connect_connect: %s\n", zrv_error_to_string(error));
        return 1;
    }
    run_for(200);

    Samples pause, resume, seek_samples, skip, stop;
    for (int round = 0; round < rounds; ++round) {
        const int track = 2 * round;
        const uint32_t seed = static_cast<uint32_t>(track) + 1;
        if (zrv_standin_play(state.sdk, static_cast<size_t>(track), 0, false) != ZRV_OK) {
            std::fprintf(stderr, "latency_bench: track %d did not start\n", track);
            return 1;
        }
        // Sound first, then time for the ring to fill.
        const size_t before = state.capture.frame_count.load();
        if (!run_until([&] { return first_sound(before) != SIZE_MAX; }, 5000)) {
            std::fprintf(stderr, "latency_bench: no sound from track %d\n", track);
            return 1;
        }
        run_for(settle_ms);

        int64_t at = command("pause", zrv_standin_pause, random, quantum_ms);
        size_t from = state.capture.frame_at(at);
        run_for(settle_ms);
        record(pause, at, end_of_sound(from > 0 ? from - 1 : 0));

        at = command("resume", zrv_standin_resume, random, quantum_ms);
        from = state.capture.frame_at(at);
        run_for(settle_ms);
        record(resume, at, first_sound(from));

        // A position well away from where playback is, different each round.
        seek_target_ms = 10000 + static_cast<uint64_t>(round % 10) * 1500;
        at = command("data after seek", seek, random, quantum_ms);
        from = state.capture.frame_at(at);
        run_for(settle_ms);
        record(seek_samples, at, find(pcm(seed, zrv_standin_frames_for_ms(rate, seek_target_ms), 32), from));

        at = command("initiate", zrv_standin_next, random, quantum_ms);
        from = state.capture.frame_at(at);
        run_for(settle_ms);
        record(skip, at, find(pcm(seed + 1, 0, 32), from));

        at = command("stop", zrv_standin_stop, random, quantum_ms);
        from = state.capture.frame_at(at);
        run_for(settle_ms);
        record(stop, at, end_of_sound(from > 0 ? from - 1 : 0));
    }

    std::printf("quantum %u (%.1f ms at %u Hz), %d rounds\n", quantum, quantum_ms, rate, rounds);
    std::printf("%-10s %9s %9s %9s %9s %14s %14s %7s\n", "command", "p50 ms", "p99 ms", "max ms", "min ms",
                "delivery p50", "delivery p99", "failed");
    struct Row {
        const char *name;
        const Samples &samples;
        const std::vector<double> &reference;
        int target;  // 0 none, 1 one quantum + 10 ms, 2 two quanta + the delivery
        const char *heard;
    };
    const Row rows[] = {{"pause", pause, reference_stop, 1, "first silent frame"},
                        {"resume", resume, reference_start, 1, "first frame of sound"},
                        {"seek", seek_samples, reference_start, 2, "first frame at the new position"},
                        {"skip", skip, reference_start, 2, "first frame of the new track"},
                        {"stop", stop, reference_stop, 0, "first silent frame"}};
    auto print_row = [](const char *name, const std::vector<double> &latency, const std::vector<double> &delivery,
                        int failed) {
        std::printf("%-10s %9.1f %9.1f %9.1f %9.1f", name, percentile(latency, 50), percentile(latency, 99),
                    percentile(latency, 100), percentile(latency, 0));
        if (delivery.empty())
            std::printf(" %14s %14s %7d\n", "-", "-", failed);
        else
            std::printf(" %14.1f %14.1f %7d\n", percentile(delivery, 50), percentile(delivery, 99), failed);
    };
    for (const Row &row : rows)
        print_row(row.name, row.samples.latency_ms, row.samples.delivery_ms, row.samples.failed);
    print_row("ref start", reference_start, {}, rounds - static_cast<int>(reference_start.size()));
    print_row("ref stop", reference_stop, {}, rounds - static_cast<int>(reference_stop.size()));
    std::printf("graph path (the reference's cycle to the capture's stamp of its sound): p50 %.1f ms, max %.1f ms\n",
                percentile(graph_path, 50), percentile(graph_path, 100));
    for (const Row &row : rows) {
        const auto &s = row.samples;
        const double p99 = percentile(s.latency_ms, 99);
        const double delivery = percentile(s.delivery_ms, 99);
        const bool enough = s.latency_ms.size() >= 20 && s.failed == 0;
        std::printf("RESULT Latency %s to %s at quantum %u, p50 (ms)|%.1f|%.1f|%.2f|-|-\n", row.name, row.heard,
                    quantum, percentile(s.latency_ms, 50), percentile(row.reference, 50),
                    percentile(s.latency_ms, 50) / percentile(row.reference, 50));
        char target[64] = "-";
        double limit = 0;
        if (row.target == 1) limit = quantum_ms + 10;
        if (row.target == 2) limit = 2 * quantum_ms + delivery;
        if (row.target != 0) std::snprintf(target, sizeof target, "<= %.1f ms", limit);
        const char *met = row.target == 0 ? "-" : (enough && p99 <= limit ? "yes" : "no");
        std::printf("RESULT Latency %s to %s at quantum %u, p99 (ms)|%.1f|%.1f|%.2f|%s|%s\n", row.name, row.heard,
                    quantum, p99, percentile(row.reference, 99), p99 / percentile(row.reference, 99), target, met);
        // The same, at the cycle in which the sink took the audio: the
        // capture sees it one graph cycle later (the path measured above).
        const double path = percentile(graph_path, 50);
        met = row.target == 0 ? "-" : (enough && p99 - path <= limit ? "yes" : "no");
        std::printf("RESULT Latency %s to %s at quantum %u, p99 less the graph path (ms)|%.1f|%.1f|-|%s|%s\n", row.name,
                    row.heard, quantum, p99 - path, percentile(row.reference, 99) - path, target, met);
        std::printf("RESULT Latency %s, stand-in delivery at quantum %u, p50 / p99 (ms)|%.1f / %.1f|-|-|-|-\n",
                    row.name, quantum, percentile(s.delivery_ms, 50), delivery);
    }

    zrv_connect_free(state.sdk);
    player_free(state.player);
    uv_run(state.loop, UV_RUN_DEFAULT);
    stop_capture(&state.capture);
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s <quantum> <rounds>\n", argv[0]);
        return 2;
    }
    return measure(static_cast<uint32_t>(std::strtoul(argv[1], nullptr, 10)), std::atoi(argv[2]));
}
