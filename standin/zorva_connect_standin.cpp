// The stand-in Zorva Connect SDK instance: configuration, session and the
// service side of playback. Loop thread only: every operation is called on the
// loop the instance was created on, and every delegate call is made from that
// loop's timer callbacks, except audio data, which is also pushed from inside
// zrv_connect_resume_audio_delivery (the daemon allows that).
#include <uv.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "standin_internal.h"
#include "zorva_standin.h"

namespace {

using standin::ArgText;
using standin::log;
using standin::record_call;

constexpr const char *kSdkVersion = "1.0.0-standin";
constexpr const char *kServiceType = "_zorva-connect._tcp";
constexpr const char *kEndpointPrefix = "standin:";
constexpr size_t kMaxQueue = 64;
constexpr uint32_t kMaxVolume = 65535;
// Bounds the work of one push turn when pacing is off, so the loop keeps
// turning even for a renderer that takes everything.
constexpr int kMaxChunksPerTurn = 16;
constexpr uint64_t kRestartThresholdMs = 3000;
constexpr uint32_t kMaxLookahead = 8;

// A libuv timer owned by the instance; its memory goes in the close callback.
struct TimerDeleter {
    void operator()(uv_timer_t *timer) const noexcept {
        uv_close(reinterpret_cast<uv_handle_t *>(timer),
                 [](uv_handle_t *handle) noexcept { delete reinterpret_cast<uv_timer_t *>(handle); });
    }
};
using TimerPtr = std::unique_ptr<uv_timer_t, TimerDeleter>;

TimerPtr make_timer(uv_loop_t *loop, void *data) {
    auto *timer = new uv_timer_t;
    uv_timer_init(loop, timer);
    timer->data = data;
    return TimerPtr(timer);
}

bool timer_active(const TimerPtr &timer) { return uv_is_active(reinterpret_cast<uv_handle_t *>(timer.get())) != 0; }

bool valid_track(const ZrvStandinTrack &track) {
    return track.sample_rate > 0 && track.sample_rate <= 768000 && track.channels > 0 && track.channels <= 32 &&
           zrv_audio_sample_format_size(track.sample_format) > 0;
}

AudioFormat format_of(const ZrvStandinTrack &track) {
    return AudioFormat{track.sample_rate, track.channels, track.sample_format};
}

uint32_t bits_of(uint32_t sample_format) {
    switch (sample_format) {
        case ZRV_SAMPLE_FORMAT_S16:
            return 16;
        case ZRV_SAMPLE_FORMAT_S24_32:
            return 24;
        default:
            return 32;
    }
}

std::vector<ZrvStandinTrack> demo_queue() {
    return {{44100, 2, ZRV_SAMPLE_FORMAT_S16, 1, 6000},
            {44100, 2, ZRV_SAMPLE_FORMAT_S16, 2, 6000},
            {48000, 2, ZRV_SAMPLE_FORMAT_S24_32, 3, 6000},
            {96000, 2, ZRV_SAMPLE_FORMAT_S24_32, 4, 6000}};
}

bool parse_number(std::string_view text, uint64_t &out) {
    if (text.empty() || text.size() > 12) return false;
    uint64_t value = 0;
    for (char ch : text) {
        if (ch < '0' || ch > '9') return false;
        value = value * 10 + static_cast<uint64_t>(ch - '0');
    }
    out = value;
    return true;
}

std::vector<std::string_view> split(std::string_view text, char separator) {
    std::vector<std::string_view> parts;
    size_t start = 0;
    while (true) {
        size_t end = text.find(separator, start);
        parts.push_back(text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
        if (end == std::string_view::npos) return parts;
        start = end + 1;
    }
}

// What a "standin:" endpoint asks for.
struct EndpointOptions {
    std::optional<std::vector<ZrvStandinTrack>> queue;
    bool paused = false;
    std::optional<uint64_t> chunk_ms, lead_ms, ahead_ms;
};

// "standin:queue=44100/16/2/5000,96000/24/2/3000;paused;lead_ms=500"; false
// with `problem` set when the text does not parse.
bool parse_endpoint(std::string_view text, EndpointOptions &out, std::string &problem) {
    text.remove_prefix(std::strlen(kEndpointPrefix));
    for (std::string_view option : split(text, ';')) {
        if (option.empty()) continue;
        if (option == "paused") {
            out.paused = true;
            continue;
        }
        size_t eq = option.find('=');
        std::string_view key = option.substr(0, eq);
        std::string_view value = eq == std::string_view::npos ? std::string_view() : option.substr(eq + 1);
        uint64_t number = 0;
        if (key == "queue") {
            // An empty list is a session with nothing to play.
            std::vector<ZrvStandinTrack> tracks;
            for (std::string_view item : value.empty() ? std::vector<std::string_view>() : split(value, ',')) {
                auto fields = split(item, '/');
                uint64_t rate = 0, bits = 0, channels = 0, duration = 0;
                if (fields.size() != 4 || !parse_number(fields[0], rate) || !parse_number(fields[1], bits) ||
                    !parse_number(fields[2], channels) || !parse_number(fields[3], duration) || duration == 0 ||
                    (bits != 16 && bits != 24 && bits != 32) || rate > 768000 || channels > 32) {
                    problem = "bad track '" + std::string(item) + "' (rate/bits/channels/duration_ms)";
                    return false;
                }
                ZrvStandinTrack track{static_cast<uint32_t>(rate), static_cast<uint32_t>(channels),
                                      bits == 16   ? ZRV_SAMPLE_FORMAT_S16
                                      : bits == 24 ? ZRV_SAMPLE_FORMAT_S24_32
                                                   : ZRV_SAMPLE_FORMAT_S32,
                                      static_cast<uint32_t>(tracks.size() + 1), duration};
                if (!valid_track(track) || tracks.size() == kMaxQueue) {
                    problem = "bad track '" + std::string(item) + "'";
                    return false;
                }
                tracks.push_back(track);
            }
            out.queue = std::move(tracks);
        } else if ((key == "chunk_ms" || key == "lead_ms" || key == "ahead_ms") && parse_number(value, number)) {
            if (key == "chunk_ms") {
                if (number == 0 || number > 1000) {
                    problem = "chunk_ms must lie in 1 to 1000";
                    return false;
                }
                out.chunk_ms = number;
            } else if (key == "lead_ms") {
                out.lead_ms = number;
            } else {
                out.ahead_ms = number;
            }
        } else {
            problem = "unknown option '" + std::string(option) + "'";
            return false;
        }
    }
    return true;
}

}  // namespace

// One announced audio stream: a track of the queue from a start frame on.
struct StandinStream {
    uint64_t id = 0;
    size_t track_index = 0;
    ZrvStandinTrack track{};
    size_t frame_size = 0;
    uint64_t total_frames = 0;
    uint64_t next_frame = 0;       // next frame to generate
    std::vector<uint8_t> pending;  // generated bytes not yet taken
    size_t pending_offset = 0;
    bool blocked = false;  // a short accept: nothing until resume
    uint64_t resumes = 0;  // resume requests so far
    bool seeking = false;  // between seek start and seeked
    bool finished_reported = false;
    uint64_t budget_frames = 0;  // pacing credit
    uint64_t budget_time_ms = 0;
    uint64_t budget_remainder = 0;

    size_t pending_left() const { return pending.size() - pending_offset; }
    bool data_complete() const { return next_frame >= total_frames && pending_left() == 0; }
    uint64_t frames_left() const { return total_frames - next_frame + pending_left() / frame_size; }
};

struct ZrvConnect {
    uv_loop_t *loop = nullptr;
    std::thread::id thread = std::this_thread::get_id();  // the loop thread

    // Copies of the configuration record's strings and its delegate tables.
    std::string device_name, manufacturer, model, serial_number, unique_device_id, app_id, app_secret;
    int32_t device_type = 0;
    uint32_t max_audio_quality = 0;
    uint32_t capabilities = 0;
    AdvertisingDelegate advertising{};
    ConfigServerDelegate config_server{};
    AudioDelegate audio{};
    PlaybackDelegate playback{};
    DeviceDelegate device{};

    std::string device_uuid;
    std::string session_id;  // empty: no session
    std::string api_endpoint, zconnect_endpoint;
    bool connected = false;
    bool renderer_active = false;
    bool advertising_on = false;
    bool config_server_on = false;
    uint32_t volume = 0;  // as the renderer last reported it
    bool muted = false;

    // The service's queue and playback. `state` is what the service decided;
    // `reported_state` is what the renderer was last told.
    std::vector<ZrvStandinTrack> queue = demo_queue();
    size_t track_index = 0;
    uint32_t state = ZRV_PLAYBACK_STATE_STOPPED;
    uint32_t reported_state = ZRV_PLAYBACK_STATE_STOPPED;
    std::optional<bool> reported_next_available;
    std::deque<std::unique_ptr<StandinStream>> streams;  // [0] current, [1] next
    bool awaiting_initiated = false;  // the renderer reported the end of a track with a next one queued
    uint64_t next_stream_id = 1;
    uint64_t streams_announced = 0;
    uint64_t streams_disposed = 0;
    uint64_t bytes_taken = 0;

    uint32_t chunk_ms = 20;
    uint32_t lead_ms = 1000;
    uint32_t announce_ahead_ms = 2000;
    // Streams announced at once, the current one included.
    uint32_t lookahead = 2;
    // The finished stream goes from inside the renderer's finished
    // notification instead of on a later iteration.
    bool reentrant_disposal = false;
    bool pushing = false;

    // Delegate calls are never made from inside an operation the daemon
    // called, only from these tasks and from the push timer.
    TimerPtr task_timer;
    TimerPtr push_timer;
    std::deque<std::function<void()>> tasks;

    void post(std::function<void()> task);
    void run_tasks();

    void start_advertising();
    void stop_advertising();
    void start_config_server();
    void stop_config_server();
    void set_renderer_active(bool active);

    StandinStream *current() { return streams.empty() ? nullptr : streams[0].get(); }
    StandinStream *next() { return streams.size() < 2 ? nullptr : streams[1].get(); }
    StandinStream *find_stream(uint64_t id);
    bool has_next_track() const { return track_index + 1 < queue.size(); }

    StandinStream &announce(size_t index, uint64_t start_ms);
    void dispose(uint64_t id);
    void dispose_all();
    void report_state();
    void report_next_available();
    void begin_track(size_t index, uint64_t start_ms, bool paused);
    void stop_and_dispose();
    void seek_begin(uint64_t position_ms);
    void seek_complete(uint64_t id, uint64_t position_ms);
    void step_back();

    void refill_budget(StandinStream &stream);
    void deliver(StandinStream &stream);
    void push_turn();
    bool push_work_left() const;
    void ensure_pushing();
    void maybe_announce_next();
};

void ZrvConnect::post(std::function<void()> task) {
    tasks.push_back(std::move(task));
    if (!timer_active(task_timer))
        uv_timer_start(
            task_timer.get(), [](uv_timer_t *timer) noexcept { static_cast<ZrvConnect *>(timer->data)->run_tasks(); },
            0, 0);
}

void ZrvConnect::run_tasks() {
    // Tasks posted while these run wait for the next loop iteration, so a
    // sequence of steps reaches the renderer spread over iterations, as it
    // would from a real service.
    std::deque<std::function<void()>> batch;
    batch.swap(tasks);
    for (auto &task : batch) task();
}

void ZrvConnect::start_advertising() {
    if (advertising_on) return;
    advertising_on = true;
    log(ZRV_LOG_INFO, standin::kLogComponent, "Advertising '%s' as %s", device_name.c_str(), kServiceType);
    if (advertising.start_advertising)
        advertising.start_advertising(this, device_name.c_str(), kServiceType, advertising.user);
}

void ZrvConnect::stop_advertising() {
    if (!advertising_on) return;
    advertising_on = false;
    log(ZRV_LOG_INFO, standin::kLogComponent, "Stopping advertising");
    if (advertising.stop_advertising) advertising.stop_advertising(this, advertising.user);
}

void ZrvConnect::start_config_server() {
    if (config_server_on) return;
    config_server_on = true;
    log(ZRV_LOG_INFO, standin::kLogComponent, "Starting the local configuration server");
    if (config_server.start) config_server.start(this, config_server.user);
}

void ZrvConnect::stop_config_server() {
    if (!config_server_on) return;
    config_server_on = false;
    log(ZRV_LOG_INFO, standin::kLogComponent, "Stopping the local configuration server");
    if (config_server.stop) config_server.stop(this, config_server.user);
}

void ZrvConnect::set_renderer_active(bool active) {
    if (renderer_active == active) return;
    renderer_active = active;
    log(ZRV_LOG_INFO, standin::kLogComponent, "Renderer %s", active ? "activated" : "deactivated");
    if (device.renderer_active_changed) device.renderer_active_changed(this, active, device.user);
}

StandinStream *ZrvConnect::find_stream(uint64_t id) {
    for (auto &stream : streams)
        if (stream->id == id) return stream.get();
    return nullptr;
}

StandinStream &ZrvConnect::announce(size_t index, uint64_t start_ms) {
    auto stream = std::make_unique<StandinStream>();
    stream->id = next_stream_id++;
    stream->track_index = index;
    stream->track = queue[index];
    stream->frame_size = zrv_audio_sample_format_size(stream->track.sample_format) * stream->track.channels;
    stream->total_frames = zrv_standin_frames_for_ms(stream->track.sample_rate, stream->track.duration_ms);
    stream->next_frame = std::min(stream->total_frames, zrv_standin_frames_for_ms(stream->track.sample_rate, start_ms));
    stream->budget_frames = zrv_standin_frames_for_ms(stream->track.sample_rate, lead_ms);
    stream->budget_time_ms = uv_now(loop);
    StandinStream &s = *stream;
    streams.push_back(std::move(stream));
    ++streams_announced;

    const ZrvStandinTrack &t = s.track;
    log(ZRV_LOG_INFO, standin::kLogComponent,
        "Stream %llu: track %zu of %zu, %u Hz, %u bit, %u channels, %llu ms from %llu ms",
        static_cast<unsigned long long>(s.id), index + 1, queue.size(), t.sample_rate, bits_of(t.sample_format),
        t.channels, static_cast<unsigned long long>(t.duration_ms), static_cast<unsigned long long>(start_ms));
    const StreamInfo info{t.sample_rate, t.channels, t.sample_format, 0, t.duration_ms};
    const uint64_t id = s.id;
    if (audio.new_stream) audio.new_stream(this, id, &info, start_ms, audio.user);

    const std::string title = "Stand-in tone " + std::to_string(t.seed);
    const std::string album =
        "Generated, " + std::to_string(t.sample_rate) + " Hz " + std::to_string(bits_of(t.sample_format)) + " bit";
    const std::string art = "https://standin.invalid/art/" + std::to_string(t.seed) + ".png";
    const StreamMetadata metadata{title.c_str(), "Zorva Stand-in", album.c_str(), art.c_str()};
    if (audio.metadata) audio.metadata(this, id, &metadata, audio.user);
    ensure_pushing();
    return s;
}

void ZrvConnect::dispose(uint64_t id) {
    auto it = std::find_if(streams.begin(), streams.end(), [id](const auto &s) { return s->id == id; });
    if (it == streams.end()) return;
    streams.erase(it);
    ++streams_disposed;
    log(ZRV_LOG_DEBUG, standin::kStreamComponent, "Stream %llu disposed of", static_cast<unsigned long long>(id));
    if (audio.disposed) audio.disposed(this, id, audio.user);
    if (StandinStream *now_current = current()) track_index = now_current->track_index;
}

void ZrvConnect::dispose_all() {
    // The next stream goes first, so the renderer never sees it promoted to
    // current just before it goes too.
    while (!streams.empty()) dispose(streams.back()->id);
}

void ZrvConnect::report_state() {
    if (state == reported_state) return;
    reported_state = state;
    log(ZRV_LOG_INFO, standin::kLogComponent, "Playback state %s", zrv_playback_state_to_string(state));
    if (playback.playback_state_changed) playback.playback_state_changed(this, state, playback.user);
}

void ZrvConnect::report_next_available() {
    const bool available = has_next_track();
    if (reported_next_available == available) return;
    reported_next_available = available;
    if (playback.actions_availability_changed) playback.actions_availability_changed(this, available, playback.user);
}

void ZrvConnect::begin_track(size_t index, uint64_t start_ms, bool paused) {
    if (index >= queue.size()) return;
    if (!streams.empty()) {
        // The renderer's stop notification must not read as a stop of the
        // playback that starts here.
        state = ZRV_PLAYBACK_STATE_STOPPED;
        if (playback.stop) playback.stop(this, playback.user);
        dispose_all();
    }
    awaiting_initiated = false;
    track_index = index;
    set_renderer_active(true);
    announce(index, start_ms);
    state = paused ? ZRV_PLAYBACK_STATE_PAUSED : ZRV_PLAYBACK_STATE_BUFFERING;
    // The renderer may report an error from inside initiate, which changes
    // `state`; it is reported as it is afterwards.
    if (playback.initiate) playback.initiate(this, paused ? 2u : 1u, playback.user);
    report_state();
    report_next_available();
}

void ZrvConnect::stop_and_dispose() {
    state = ZRV_PLAYBACK_STATE_STOPPED;
    awaiting_initiated = false;
    if (!streams.empty()) {
        if (playback.stop) playback.stop(this, playback.user);
        dispose_all();
    }
    report_state();
}

void ZrvConnect::seek_begin(uint64_t position_ms) {
    StandinStream *stream = current();
    if (!stream) return;
    stream->seeking = true;
    const uint64_t id = stream->id;
    log(ZRV_LOG_INFO, standin::kLogComponent, "Seeking stream %llu to %llu ms", static_cast<unsigned long long>(id),
        static_cast<unsigned long long>(position_ms));
    if (playback.seek_started) playback.seek_started(this, playback.user);
    // Tracks announced before the seek are announced again when the current
    // one nears its end anew.
    while (streams.size() > 1) dispose(streams.back()->id);
    awaiting_initiated = false;
    post([this, id, position_ms] { seek_complete(id, position_ms); });
}

void ZrvConnect::seek_complete(uint64_t id, uint64_t position_ms) {
    StandinStream *stream = find_stream(id);
    if (!stream) return;
    stream->next_frame =
        std::min(stream->total_frames, zrv_standin_frames_for_ms(stream->track.sample_rate, position_ms));
    stream->pending.clear();
    stream->pending_offset = 0;
    stream->blocked = false;
    stream->seeking = false;
    stream->finished_reported = false;
    stream->budget_frames = zrv_standin_frames_for_ms(stream->track.sample_rate, lead_ms);
    stream->budget_time_ms = uv_now(loop);
    stream->budget_remainder = 0;
    // The renderer resumes delivery from inside seeked; the data pushed then
    // already starts at the new position.
    if (audio.seeked) audio.seeked(this, id, position_ms, audio.user);
    ensure_pushing();
}

void ZrvConnect::step_back() {
    StandinStream *stream = current();
    if (!stream || state == ZRV_PLAYBACK_STATE_STOPPED) return;
    const uint64_t played = playback.get_position_ms ? playback.get_position_ms(this, playback.user) : 0;
    const size_t index = stream->track_index;
    const size_t target = played > kRestartThresholdMs || index == 0 ? index : index - 1;
    begin_track(target, 0, state == ZRV_PLAYBACK_STATE_PAUSED);
}

void ZrvConnect::refill_budget(StandinStream &stream) {
    if (lead_ms == 0) return;
    const uint64_t now = uv_now(loop);
    const uint64_t credit = (now - stream.budget_time_ms) * stream.track.sample_rate + stream.budget_remainder;
    stream.budget_time_ms = now;
    stream.budget_frames += credit / 1000;
    stream.budget_remainder = credit % 1000;
    const uint64_t cap = zrv_standin_frames_for_ms(stream.track.sample_rate, lead_ms);
    if (stream.budget_frames >= cap) {
        stream.budget_frames = cap;
        stream.budget_remainder = 0;
    }
}

void ZrvConnect::deliver(StandinStream &stream) {
    if (stream.blocked || stream.seeking || pushing) return;
    pushing = true;
    refill_budget(stream);
    const uint64_t chunk_frames = std::max<uint64_t>(1, zrv_standin_frames_for_ms(stream.track.sample_rate, chunk_ms));
    for (int turn = 0; turn < kMaxChunksPerTurn && !stream.blocked && !stream.seeking; ++turn) {
        if (stream.pending_left() == 0) {
            stream.pending.clear();
            stream.pending_offset = 0;
            uint64_t frames = std::min(chunk_frames, stream.total_frames - stream.next_frame);
            if (lead_ms != 0) frames = std::min(frames, stream.budget_frames);
            if (frames == 0) break;
            stream.pending.resize(frames * stream.frame_size);
            zrv_standin_generate_pcm(stream.track.seed, format_of(stream.track), stream.next_frame, frames,
                                     stream.pending.data(), stream.pending.size());
            stream.next_frame += frames;
            if (lead_ms != 0) stream.budget_frames -= frames;
        }
        const size_t offered = stream.pending_left();
        const uint64_t resumes_before = stream.resumes;
        size_t taken =
            audio.audio_data
                ? audio.audio_data(this, stream.id, stream.pending.data() + stream.pending_offset, offered, audio.user)
                : offered;
        if (taken > offered) {
            log(ZRV_LOG_WARNING, standin::kStreamComponent, "Renderer took %zu of %zu bytes", taken, offered);
            taken = offered;
        }
        stream.pending_offset += taken;
        bytes_taken += taken;
        // The untaken rest is kept and goes first after the renderer resumes
        // delivery; a resume from inside the data call already counts.
        if (taken < offered && stream.resumes == resumes_before) stream.blocked = true;
    }
    pushing = false;
}

bool ZrvConnect::push_work_left() const {
    for (const auto &s : streams) {
        if (s->seeking) continue;
        if (!s->blocked && !s->data_complete()) return true;
        if (s->data_complete() && !s->finished_reported) return true;
    }
    return false;
}

void ZrvConnect::push_turn() {
    for (size_t i = 0; i < streams.size(); ++i) deliver(*streams[i]);
    // The next track is announced before the current one's end of data.
    maybe_announce_next();
    for (size_t i = 0; i < streams.size(); ++i) {
        StandinStream &s = *streams[i];
        if (s.seeking || !s.data_complete() || s.finished_reported) continue;
        s.finished_reported = true;
        log(ZRV_LOG_DEBUG, standin::kStreamComponent, "Stream %llu: all %llu frames delivered",
            static_cast<unsigned long long>(s.id), static_cast<unsigned long long>(s.total_frames));
        if (audio.finished) audio.finished(this, s.id, audio.user);
    }
    if (!push_work_left()) uv_timer_stop(push_timer.get());
}

void ZrvConnect::ensure_pushing() {
    if (timer_active(push_timer)) return;
    uv_timer_start(
        push_timer.get(), [](uv_timer_t *timer) noexcept { static_cast<ZrvConnect *>(timer->data)->push_turn(); }, 0,
        chunk_ms);
}

void ZrvConnect::maybe_announce_next() {
    if (state == ZRV_PLAYBACK_STATE_STOPPED || streams.empty() || streams.size() >= lookahead) return;
    // The track after the last announced one, once that one's data nears
    // its end.
    const StandinStream &last = *streams.back();
    if (streams[0]->seeking || last.track_index + 1 >= queue.size()) return;
    if (last.frames_left() * 1000 > uint64_t{announce_ahead_ms} * last.track.sample_rate) return;
    announce(last.track_index + 1, 0);
}

namespace {

ZrvError validate_config(const uv_loop_s *loop, const ZrvConnectConfig *config) {
    if (!loop || !config) return ZRV_ERROR_INVALID_ARGUMENT;
    if (config->version != ZRV_CONNECT_CONFIG_VERSION) {
        log(ZRV_LOG_ERROR, standin::kLogComponent, "Unsupported configuration version %u", config->version);
        return ZRV_ERROR_INVALID_ARGUMENT;
    }
    const std::pair<const char *, const char *> required[] = {{"device_name", config->device_name},
                                                              {"manufacturer", config->manufacturer},
                                                              {"model", config->model},
                                                              {"serial_number", config->serial_number},
                                                              {"unique_device_id", config->unique_device_id},
                                                              {"app_id", config->app_id},
                                                              {"app_secret", config->app_secret}};
    for (const auto &[name, value] : required) {
        if (!value) {
            log(ZRV_LOG_ERROR, standin::kLogComponent, "Configuration value %s is missing", name);
            return ZRV_ERROR_INVALID_ARGUMENT;
        }
    }
    if (config->max_audio_quality > ZRV_AUDIO_QUALITY_HIRES3) {
        log(ZRV_LOG_ERROR, standin::kLogComponent, "Unknown maximum audio quality %u", config->max_audio_quality);
        return ZRV_ERROR_INVALID_ARGUMENT;
    }
    return ZRV_OK;
}

// Runs the body of an exported operation: no exception leaves the C ABI.
template <class Body>
ZrvError guarded(Body &&body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc &) {
        return ZRV_ERROR_OUT_OF_MEMORY;
    } catch (...) {
        return ZRV_ERROR_INTERNAL;
    }
}

// The common entry of every operation: records the call and gives the
// injected error, if any. An operation on an instance from another thread than
// the one that created it (the loop thread) is refused: the SDK is not
// thread-safe, and such a call is a fault of the caller.
ZrvError enter(const char *operation, const ArgText &args, const ZrvConnect *sdk) {
    if (ZrvError injected = record_call(operation, args.text())) return injected;
    if (sdk && sdk->thread != std::this_thread::get_id()) {
        log(ZRV_LOG_ERROR, standin::kLogComponent, "%s called off the loop thread; refused", operation);
        return ZRV_ERROR_INVALID_STATE;
    }
    return ZRV_OK;
}

bool playing(const ZrvConnect *sdk) { return sdk->state != ZRV_PLAYBACK_STATE_STOPPED; }

// The service's actions, shared by the daemon's remote-control operations and
// the test control interface.

ZrvError service_play(ZrvConnect *sdk, size_t index, uint64_t start_ms, bool paused) {
    if (!sdk->connected) return ZRV_ERROR_NOT_CONNECTED;
    if (sdk->queue.empty()) return ZRV_ERROR_NO_PLAYBACK;
    if (index >= sdk->queue.size() || start_ms > sdk->queue[index].duration_ms) return ZRV_ERROR_INVALID_ARGUMENT;
    sdk->state = paused ? ZRV_PLAYBACK_STATE_PAUSED : ZRV_PLAYBACK_STATE_BUFFERING;
    sdk->post([sdk, index, start_ms, paused] { sdk->begin_track(index, start_ms, paused); });
    return ZRV_OK;
}

ZrvError service_pause(ZrvConnect *sdk) {
    if (!sdk->connected) return ZRV_ERROR_NOT_CONNECTED;
    if (!playing(sdk)) return ZRV_ERROR_NO_PLAYBACK;
    if (sdk->state == ZRV_PLAYBACK_STATE_PAUSED) return ZRV_OK;
    sdk->state = ZRV_PLAYBACK_STATE_PAUSED;
    sdk->post([sdk] {
        if (sdk->state != ZRV_PLAYBACK_STATE_PAUSED || sdk->streams.empty()) return;
        if (sdk->playback.pause) sdk->playback.pause(sdk, sdk->playback.user);
        sdk->report_state();
    });
    return ZRV_OK;
}

ZrvError service_resume(ZrvConnect *sdk) {
    if (!sdk->connected) return ZRV_ERROR_NOT_CONNECTED;
    if (!playing(sdk)) return ZRV_ERROR_NO_PLAYBACK;
    if (sdk->state != ZRV_PLAYBACK_STATE_PAUSED) return ZRV_OK;
    sdk->state = ZRV_PLAYBACK_STATE_PLAYING;
    sdk->post([sdk] {
        if (sdk->state != ZRV_PLAYBACK_STATE_PLAYING || sdk->streams.empty()) return;
        if (sdk->playback.resume) sdk->playback.resume(sdk, sdk->playback.user);
        sdk->report_state();
    });
    return ZRV_OK;
}

ZrvError service_stop(ZrvConnect *sdk) {
    if (!sdk->connected) return ZRV_ERROR_NOT_CONNECTED;
    if (!playing(sdk)) return ZRV_ERROR_NO_PLAYBACK;
    sdk->state = ZRV_PLAYBACK_STATE_STOPPED;
    sdk->post([sdk] { sdk->stop_and_dispose(); });
    return ZRV_OK;
}

ZrvError service_seek(ZrvConnect *sdk, uint64_t position_ms) {
    if (!sdk->connected) return ZRV_ERROR_NOT_CONNECTED;
    if (!playing(sdk)) return ZRV_ERROR_NO_PLAYBACK;
    if (!sdk->current()) return ZRV_ERROR_INVALID_STATE;
    if (position_ms > sdk->current()->track.duration_ms) return ZRV_ERROR_INVALID_ARGUMENT;
    sdk->post([sdk, position_ms] { sdk->seek_begin(position_ms); });
    return ZRV_OK;
}

ZrvError service_next(ZrvConnect *sdk) {
    if (!sdk->connected) return ZRV_ERROR_NOT_CONNECTED;
    if (!playing(sdk)) return ZRV_ERROR_NO_PLAYBACK;
    if (!sdk->has_next_track()) return ZRV_ERROR_INVALID_STATE;
    // The track is chosen when the task runs: a transition reported just
    // before has moved the queue on by then.
    sdk->post([sdk] {
        if (playing(sdk) && sdk->has_next_track())
            sdk->begin_track(sdk->track_index + 1, 0, sdk->state == ZRV_PLAYBACK_STATE_PAUSED);
    });
    return ZRV_OK;
}

ZrvError service_previous(ZrvConnect *sdk) {
    if (!sdk->connected) return ZRV_ERROR_NOT_CONNECTED;
    if (!playing(sdk)) return ZRV_ERROR_NO_PLAYBACK;
    sdk->post([sdk] { sdk->step_back(); });
    return ZRV_OK;
}

}  // namespace

namespace {

// Joins a session: the zconnect endpoint may choose queue and pacing; with
// become-active the renderer is activated and the queue played from the loop.
ZrvError join_session(ZrvConnect *sdk, const char *session_id, const char *api_endpoint, const char *zconnect_endpoint,
                      bool become_active) {
    EndpointOptions options;
    if (std::string_view(zconnect_endpoint).rfind(kEndpointPrefix, 0) == 0) {
        std::string problem;
        if (!parse_endpoint(zconnect_endpoint, options, problem)) {
            log(ZRV_LOG_ERROR, standin::kLogComponent, "Refusing zconnect endpoint '%s': %s", zconnect_endpoint,
                problem.c_str());
            return ZRV_ERROR_INVALID_ARGUMENT;
        }
    }
    sdk->session_id = session_id;
    sdk->api_endpoint = api_endpoint;
    sdk->zconnect_endpoint = zconnect_endpoint;
    sdk->connected = true;
    if (options.queue) {
        sdk->queue = std::move(*options.queue);
        sdk->track_index = 0;
    }
    if (options.chunk_ms) sdk->chunk_ms = static_cast<uint32_t>(*options.chunk_ms);
    if (options.lead_ms) sdk->lead_ms = static_cast<uint32_t>(std::min<uint64_t>(*options.lead_ms, UINT32_MAX));
    if (options.ahead_ms)
        sdk->announce_ahead_ms = static_cast<uint32_t>(std::min<uint64_t>(*options.ahead_ms, UINT32_MAX));
    log(ZRV_LOG_INFO, standin::kLogComponent, "Joined session %s (%zu tracks queued)", session_id, sdk->queue.size());
    if (become_active) {
        const bool paused = options.paused;
        sdk->state = sdk->queue.empty() ? ZRV_PLAYBACK_STATE_STOPPED
                     : paused           ? ZRV_PLAYBACK_STATE_PAUSED
                                        : ZRV_PLAYBACK_STATE_BUFFERING;
        sdk->post([sdk, paused] {
            sdk->set_renderer_active(true);
            if (sdk->playback.controls_changed)
                sdk->playback.controls_changed(sdk, ZRV_LOOP_MODE_OFF, false, sdk->playback.user);
            if (sdk->queue.empty())
                sdk->stop_and_dispose();
            else
                sdk->begin_track(0, 0, paused);
        });
    }
    return ZRV_OK;
}

}  // namespace

namespace {

ZrvConnect *create_instance(uv_loop_s *loop, const ZrvConnectConfig *config, ZrvError *out_error) {
    const char *const operation = "zrv_connect_create";
    ArgText args;
    if (config)
        args.add(config->version)
            .add(config->device_name)
            .add(config->device_type)
            .add(config->manufacturer)
            .add(config->model)
            .add(config->serial_number)
            .add(config->unique_device_id)
            .add(config->app_id)
            .add(config->app_secret)
            .add(config->max_audio_quality)
            .add(config->capabilities);
    else
        args.add(static_cast<const char *>(nullptr));
    ZrvError error = enter(operation, args, nullptr);
    if (error == ZRV_OK) error = validate_config(loop, config);
    if (out_error) *out_error = error;
    if (error != ZRV_OK) return nullptr;

    auto sdk = std::make_unique<ZrvConnect>();
    sdk->loop = loop;
    sdk->device_name = config->device_name;
    sdk->manufacturer = config->manufacturer;
    sdk->model = config->model;
    sdk->serial_number = config->serial_number;
    sdk->unique_device_id = config->unique_device_id;
    sdk->app_id = config->app_id;
    sdk->app_secret = config->app_secret;
    sdk->device_type = config->device_type;
    sdk->max_audio_quality = config->max_audio_quality;
    sdk->capabilities = config->capabilities;
    sdk->advertising = config->advertising;
    sdk->config_server = config->config_server;
    sdk->audio = config->audio;
    sdk->playback = config->playback;
    sdk->device = config->device;
    sdk->device_uuid = standin::device_uuid_for(sdk->unique_device_id);
    sdk->task_timer = make_timer(loop, sdk.get());
    sdk->push_timer = make_timer(loop, sdk.get());

    log(ZRV_LOG_INFO, standin::kLogComponent, "Zorva Connect %s starting for '%s' (%s, %s %s), device %s", kSdkVersion,
        sdk->device_name.c_str(), zrv_device_type_to_string(sdk->device_type), sdk->manufacturer.c_str(),
        sdk->model.c_str(), sdk->device_uuid.c_str());
    log(ZRV_LOG_DEBUG, standin::kHttpComponent, "HTTP client ready (stand-in: no network traffic)");
    log(ZRV_LOG_DEBUG, standin::kLogComponent, "Maximum audio quality %s, gapless %s",
        zrv_audio_quality_to_string(sdk->max_audio_quality),
        (sdk->capabilities & ZRV_CAPABILITY_GAPLESS) ? "yes" : "no");

    // The daemon hands the handle to its advertiser and configuration server
    // only after create returns, so both are started from the loop.
    ZrvConnect *raw = sdk.get();
    raw->post([raw] {
        raw->start_advertising();
        raw->start_config_server();
    });
    // A daemon run as its own process can be given a session without going
    // through its configuration server.
    if (const char *endpoint = std::getenv("ZRV_STANDIN_CONNECT"); endpoint && *endpoint) {
        raw->post([raw, zconnect = std::string(endpoint)] {
            if (join_session(raw, "standin-session", "standin:api", zconnect.c_str(), true) != ZRV_OK)
                log(ZRV_LOG_ERROR, standin::kLogComponent, "ZRV_STANDIN_CONNECT: no session joined");
        });
    }
    return sdk.release();
}

}  // namespace

extern "C" {

ZRV_EXPORT ZrvConnect *zrv_connect_create(struct uv_loop_s *loop, const ZrvConnectConfig *config, ZrvError *out_error) {
    try {
        return create_instance(loop, config, out_error);
    } catch (...) {
        if (out_error) *out_error = ZRV_ERROR_OUT_OF_MEMORY;
        return nullptr;
    }
}

ZRV_EXPORT void zrv_connect_free(ZrvConnect *sdk) {
    try {
        record_call("zrv_connect_free", "");
    } catch (...) {
        // Freeing goes on without a record entry.
    }
    if (!sdk) return;
    if (sdk->thread != std::this_thread::get_id())
        log(ZRV_LOG_ERROR, standin::kLogComponent, "zrv_connect_free called off the loop thread");
    sdk->stop_advertising();
    sdk->stop_config_server();
    log(ZRV_LOG_INFO, standin::kLogComponent, "Zorva Connect stopped");
    delete sdk;
}

ZRV_EXPORT const char *zrv_connect_get_sdk_version(void) {
    try {
        record_call("zrv_connect_get_sdk_version", "");
    } catch (...) {
        // The version is answered without a record entry.
    }
    return kSdkVersion;
}

ZRV_EXPORT ZrvError zrv_connect_get_device_uuid(ZrvConnect *sdk, const char **out_uuid) {
    return guarded([&]() -> ZrvError {
        if (ZrvError injected = enter("zrv_connect_get_device_uuid", ArgText(), sdk)) return injected;
        if (!sdk || !out_uuid) return ZRV_ERROR_INVALID_ARGUMENT;
        *out_uuid = sdk->device_uuid.c_str();
        return ZRV_OK;
    });
}

ZRV_EXPORT ZrvError zrv_connect_get_session_id(ZrvConnect *sdk, const char **out_session_id) {
    return guarded([&]() -> ZrvError {
        if (ZrvError injected = enter("zrv_connect_get_session_id", ArgText(), sdk)) return injected;
        if (!sdk || !out_session_id) return ZRV_ERROR_INVALID_ARGUMENT;
        *out_session_id = sdk->session_id.c_str();
        return ZRV_OK;
    });
}

ZRV_EXPORT ZrvError zrv_connect_connect(ZrvConnect *sdk, const char *session_id, const SessionToken *api_token,
                                        const SessionToken *zconnect_token, bool become_active) {
    return guarded([&]() -> ZrvError {
        if (ZrvError injected =
                enter("zrv_connect_connect",
                      ArgText().add(session_id).add(api_token).add(zconnect_token).add(become_active), sdk))
            return injected;
        if (!sdk || !session_id || !*session_id || !api_token || !zconnect_token || !api_token->endpoint ||
            !api_token->token || !zconnect_token->endpoint || !zconnect_token->token)
            return ZRV_ERROR_INVALID_ARGUMENT;
        return join_session(sdk, session_id, api_token->endpoint, zconnect_token->endpoint, become_active);
    });
}

ZRV_EXPORT ZrvError zrv_connect_deactivate_and_disconnect_renderer(ZrvConnect *sdk) {
    return guarded([&]() -> ZrvError {
        if (ZrvError injected = enter("zrv_connect_deactivate_and_disconnect_renderer", ArgText(), sdk))
            return injected;
        if (!sdk) return ZRV_ERROR_INVALID_ARGUMENT;
        if (!sdk->connected) return ZRV_ERROR_NOT_CONNECTED;
        sdk->state = ZRV_PLAYBACK_STATE_STOPPED;
        sdk->post([sdk] {
            sdk->stop_and_dispose();
            sdk->set_renderer_active(false);
            // The session ends last, so the renderer's stop notification above
            // still finds it.
            sdk->connected = false;
            sdk->session_id.clear();
            log(ZRV_LOG_INFO, standin::kLogComponent, "Left the session");
        });
        return ZRV_OK;
    });
}

ZRV_EXPORT ZrvError zrv_connect_get_playback_state(ZrvConnect *sdk, ZrvPlaybackState *out_state) {
    return guarded([&]() -> ZrvError {
        if (ZrvError injected = enter("zrv_connect_get_playback_state", ArgText(), sdk)) return injected;
        if (!sdk || !out_state) return ZRV_ERROR_INVALID_ARGUMENT;
        if (!sdk->connected) return ZRV_ERROR_NOT_CONNECTED;
        *out_state = sdk->state;
        return ZRV_OK;
    });
}

ZRV_EXPORT ZrvError zrv_connect_start_playback(ZrvConnect *sdk) {
    return guarded([&]() -> ZrvError {
        if (ZrvError injected = enter("zrv_connect_start_playback", ArgText(), sdk)) return injected;
        if (!sdk) return ZRV_ERROR_INVALID_ARGUMENT;
        if (!sdk->connected) return ZRV_ERROR_NOT_CONNECTED;
        if (sdk->state == ZRV_PLAYBACK_STATE_PAUSED) return service_resume(sdk);
        if (playing(sdk)) return ZRV_OK;
        return service_play(sdk, sdk->track_index < sdk->queue.size() ? sdk->track_index : 0, 0, false);
    });
}

ZRV_EXPORT ZrvError zrv_connect_pause_playback(ZrvConnect *sdk) {
    return guarded([&]() -> ZrvError {
        if (ZrvError injected = enter("zrv_connect_pause_playback", ArgText(), sdk)) return injected;
        return sdk ? service_pause(sdk) : ZRV_ERROR_INVALID_ARGUMENT;
    });
}

ZRV_EXPORT ZrvError zrv_connect_resume_playback(ZrvConnect *sdk) {
    return guarded([&]() -> ZrvError {
        if (ZrvError injected = enter("zrv_connect_resume_playback", ArgText(), sdk)) return injected;
        return sdk ? service_resume(sdk) : ZRV_ERROR_INVALID_ARGUMENT;
    });
}

ZRV_EXPORT ZrvError zrv_connect_stop_playback(ZrvConnect *sdk) {
    return guarded([&]() -> ZrvError {
        if (ZrvError injected = enter("zrv_connect_stop_playback", ArgText(), sdk)) return injected;
        return sdk ? service_stop(sdk) : ZRV_ERROR_INVALID_ARGUMENT;
    });
}

ZRV_EXPORT ZrvError zrv_connect_next_track(ZrvConnect *sdk) {
    return guarded([&]() -> ZrvError {
        if (ZrvError injected = enter("zrv_connect_next_track", ArgText(), sdk)) return injected;
        return sdk ? service_next(sdk) : ZRV_ERROR_INVALID_ARGUMENT;
    });
}

ZRV_EXPORT ZrvError zrv_connect_previous_track(ZrvConnect *sdk) {
    return guarded([&]() -> ZrvError {
        if (ZrvError injected = enter("zrv_connect_previous_track", ArgText(), sdk)) return injected;
        return sdk ? service_previous(sdk) : ZRV_ERROR_INVALID_ARGUMENT;
    });
}

ZRV_EXPORT ZrvError zrv_connect_seek_time(ZrvConnect *sdk, uint64_t position_ms) {
    return guarded([&]() -> ZrvError {
        if (ZrvError injected = enter("zrv_connect_seek_time", ArgText().add(position_ms), sdk)) return injected;
        return sdk ? service_seek(sdk, position_ms) : ZRV_ERROR_INVALID_ARGUMENT;
    });
}

ZRV_EXPORT ZrvError zrv_connect_set_volume(ZrvConnect *sdk, uint32_t volume) {
    return guarded([&]() -> ZrvError {
        if (ZrvError injected = enter("zrv_connect_set_volume", ArgText().add(volume), sdk)) return injected;
        if (!sdk || volume > kMaxVolume) return ZRV_ERROR_INVALID_ARGUMENT;
        sdk->volume = volume;
        return ZRV_OK;
    });
}

ZRV_EXPORT ZrvError zrv_connect_set_mute_state(ZrvConnect *sdk, bool muted) {
    return guarded([&]() -> ZrvError {
        if (ZrvError injected = enter("zrv_connect_set_mute_state", ArgText().add(muted), sdk)) return injected;
        if (!sdk) return ZRV_ERROR_INVALID_ARGUMENT;
        sdk->muted = muted;
        return ZRV_OK;
    });
}

}  // extern "C"

namespace {

// Common checks of the renderer's notifications: a session and a playback.
ZrvError notification_checks(ZrvConnect *sdk) {
    if (!sdk) return ZRV_ERROR_INVALID_ARGUMENT;
    if (!sdk->connected) return ZRV_ERROR_NOT_CONNECTED;
    if (sdk->streams.empty()) return ZRV_ERROR_NO_PLAYBACK;
    return ZRV_OK;
}

}  // namespace

extern "C" {

ZRV_EXPORT ZrvError zrv_connect_notify_playback_initiated(ZrvConnect *sdk, AudioFormat format) {
    return guarded([&]() -> ZrvError {
        if (ZrvError injected = enter("zrv_connect_notify_playback_initiated", ArgText().add(format), sdk))
            return injected;
        if (ZrvError error = notification_checks(sdk)) return error;
        if (format.sample_rate == 0 || format.channels == 0 || zrv_audio_sample_format_size(format.sample_format) == 0)
            return ZRV_ERROR_INVALID_ARGUMENT;
        StandinStream *expected = sdk->awaiting_initiated && sdk->next() ? sdk->next() : sdk->current();
        const AudioFormat wanted = format_of(expected->track);
        if (wanted.sample_rate != format.sample_rate || wanted.channels != format.channels ||
            wanted.sample_format != format.sample_format)
            log(ZRV_LOG_WARNING, standin::kLogComponent,
                "Renderer reports playback of %u Hz/%u ch/format %u, but stream %llu is %u Hz/%u ch/format %u",
                format.sample_rate, format.channels, format.sample_format,
                static_cast<unsigned long long>(expected->id), wanted.sample_rate, wanted.channels,
                wanted.sample_format);
        if (sdk->awaiting_initiated && sdk->next()) {
            // The renderer has moved on to the next track: the old stream goes.
            sdk->awaiting_initiated = false;
            const uint64_t old_id = sdk->current()->id;
            sdk->post([sdk, old_id] {
                sdk->dispose(old_id);
                sdk->report_next_available();
                // The new current track may already be close enough to its end
                // for the one after it to be announced.
                sdk->ensure_pushing();
            });
        }
        if (sdk->state == ZRV_PLAYBACK_STATE_BUFFERING) {
            sdk->state = ZRV_PLAYBACK_STATE_PLAYING;
            sdk->post([sdk] { sdk->report_state(); });
        }
        return ZRV_OK;
    });
}

ZRV_EXPORT ZrvError zrv_connect_notify_playback_paused(ZrvConnect *sdk) {
    return guarded([&]() -> ZrvError {
        if (ZrvError injected = enter("zrv_connect_notify_playback_paused", ArgText(), sdk)) return injected;
        if (ZrvError error = notification_checks(sdk)) return error;
        if (sdk->state == ZRV_PLAYBACK_STATE_PLAYING || sdk->state == ZRV_PLAYBACK_STATE_BUFFERING) {
            sdk->state = ZRV_PLAYBACK_STATE_PAUSED;
            sdk->post([sdk] { sdk->report_state(); });
        }
        return ZRV_OK;
    });
}

ZRV_EXPORT ZrvError zrv_connect_notify_playback_resumed(ZrvConnect *sdk) {
    return guarded([&]() -> ZrvError {
        if (ZrvError injected = enter("zrv_connect_notify_playback_resumed", ArgText(), sdk)) return injected;
        if (ZrvError error = notification_checks(sdk)) return error;
        if (sdk->state == ZRV_PLAYBACK_STATE_PAUSED) {
            sdk->state = ZRV_PLAYBACK_STATE_PLAYING;
            sdk->post([sdk] { sdk->report_state(); });
        }
        return ZRV_OK;
    });
}

ZRV_EXPORT ZrvError zrv_connect_notify_playback_stopped(ZrvConnect *sdk) {
    return guarded([&]() -> ZrvError {
        if (ZrvError injected = enter("zrv_connect_notify_playback_stopped", ArgText(), sdk)) return injected;
        if (ZrvError error = notification_checks(sdk)) return error;
        // A stop the service did not ask for ends its playback too.
        if (sdk->state != ZRV_PLAYBACK_STATE_STOPPED) {
            sdk->state = ZRV_PLAYBACK_STATE_STOPPED;
            sdk->post([sdk] {
                sdk->awaiting_initiated = false;
                sdk->dispose_all();
                sdk->report_state();
            });
        }
        return ZRV_OK;
    });
}

ZRV_EXPORT ZrvError zrv_connect_notify_playback_error(ZrvConnect *sdk) {
    return guarded([&]() -> ZrvError {
        if (ZrvError injected = enter("zrv_connect_notify_playback_error", ArgText(), sdk)) return injected;
        if (ZrvError error = notification_checks(sdk)) return error;
        log(ZRV_LOG_WARNING, standin::kLogComponent, "Renderer reports a playback error; playback ends");
        sdk->state = ZRV_PLAYBACK_STATE_STOPPED;
        sdk->post([sdk] {
            if (sdk->state != ZRV_PLAYBACK_STATE_STOPPED) return;
            sdk->awaiting_initiated = false;
            sdk->dispose_all();
            sdk->report_state();
        });
        return ZRV_OK;
    });
}

ZRV_EXPORT ZrvError zrv_connect_notify_playback_finished(ZrvConnect *sdk, bool nothing_queued) {
    return guarded([&]() -> ZrvError {
        if (ZrvError injected = enter("zrv_connect_notify_playback_finished", ArgText().add(nothing_queued), sdk))
            return injected;
        if (ZrvError error = notification_checks(sdk)) return error;
        if (!nothing_queued && sdk->next()) {
            if (!sdk->reentrant_disposal) {
                sdk->awaiting_initiated = true;
                return ZRV_OK;
            }
            // The finished stream goes at once; the next one is current
            // before the renderer reports it initiated.
            sdk->dispose(sdk->current()->id);
            sdk->post([sdk] {
                sdk->report_next_available();
                sdk->ensure_pushing();
            });
            return ZRV_OK;
        }
        // The end of the queue: the renderer has stopped by itself.
        log(ZRV_LOG_INFO, standin::kLogComponent, "End of the queue");
        sdk->state = ZRV_PLAYBACK_STATE_STOPPED;
        auto end_of_queue = [sdk] {
            sdk->awaiting_initiated = false;
            sdk->dispose_all();
            sdk->track_index = 0;
        };
        if (sdk->reentrant_disposal) end_of_queue();
        sdk->post([sdk, end_of_queue] {
            if (sdk->state != ZRV_PLAYBACK_STATE_STOPPED) return;
            end_of_queue();
            sdk->report_state();
        });
        return ZRV_OK;
    });
}

ZRV_EXPORT ZrvError zrv_connect_resume_audio_delivery(ZrvConnect *sdk, uint64_t stream_id) {
    return guarded([&]() -> ZrvError {
        if (ZrvError injected = enter("zrv_connect_resume_audio_delivery", ArgText().add(stream_id), sdk))
            return injected;
        if (!sdk) return ZRV_ERROR_INVALID_ARGUMENT;
        StandinStream *stream = sdk->find_stream(stream_id);
        if (!stream) return ZRV_ERROR_UNKNOWN_STREAM;
        stream->blocked = false;
        ++stream->resumes;
        // Data may flow from inside this call; the end-of-data report and any
        // other callback wait for the push timer.
        sdk->deliver(*stream);
        sdk->ensure_pushing();
        return ZRV_OK;
    });
}

// ---- Test control of the service ----------------------------------------

ZRV_EXPORT ZrvError zrv_standin_set_queue(ZrvConnect *sdk, const ZrvStandinTrack *tracks, size_t count) {
    return guarded([&]() -> ZrvError {
        if (!sdk || (count > 0 && !tracks) || count > kMaxQueue) return ZRV_ERROR_INVALID_ARGUMENT;
        if (playing(sdk) || !sdk->streams.empty()) return ZRV_ERROR_INVALID_STATE;
        for (size_t i = 0; i < count; ++i)
            if (!valid_track(tracks[i])) return ZRV_ERROR_INVALID_ARGUMENT;
        sdk->queue.assign(tracks, tracks + count);
        sdk->track_index = 0;
        return ZRV_OK;
    });
}

ZRV_EXPORT ZrvError zrv_standin_set_pacing(ZrvConnect *sdk, uint32_t chunk_ms, uint32_t lead_ms,
                                           uint32_t announce_ahead_ms) {
    return guarded([&]() -> ZrvError {
        if (!sdk || chunk_ms == 0 || chunk_ms > 1000) return ZRV_ERROR_INVALID_ARGUMENT;
        sdk->chunk_ms = chunk_ms;
        sdk->lead_ms = lead_ms;
        sdk->announce_ahead_ms = announce_ahead_ms;
        if (timer_active(sdk->push_timer)) uv_timer_set_repeat(sdk->push_timer.get(), chunk_ms);
        return ZRV_OK;
    });
}

ZRV_EXPORT ZrvError zrv_standin_set_lookahead(ZrvConnect *sdk, uint32_t streams) {
    return guarded([&]() -> ZrvError {
        if (!sdk || streams < 2 || streams > kMaxLookahead) return ZRV_ERROR_INVALID_ARGUMENT;
        sdk->lookahead = streams;
        return ZRV_OK;
    });
}

ZRV_EXPORT ZrvError zrv_standin_set_reentrant_disposal(ZrvConnect *sdk, bool on) {
    return guarded([&]() -> ZrvError {
        if (!sdk) return ZRV_ERROR_INVALID_ARGUMENT;
        sdk->reentrant_disposal = on;
        return ZRV_OK;
    });
}

ZRV_EXPORT ZrvError zrv_standin_play(ZrvConnect *sdk, size_t track_index, uint64_t start_ms, bool paused) {
    return guarded([&]() -> ZrvError {
        return sdk ? service_play(sdk, track_index, start_ms, paused) : ZRV_ERROR_INVALID_ARGUMENT;
    });
}
ZRV_EXPORT ZrvError zrv_standin_pause(ZrvConnect *sdk) {
    return guarded([&]() -> ZrvError { return sdk ? service_pause(sdk) : ZRV_ERROR_INVALID_ARGUMENT; });
}
ZRV_EXPORT ZrvError zrv_standin_resume(ZrvConnect *sdk) {
    return guarded([&]() -> ZrvError { return sdk ? service_resume(sdk) : ZRV_ERROR_INVALID_ARGUMENT; });
}
ZRV_EXPORT ZrvError zrv_standin_stop(ZrvConnect *sdk) {
    return guarded([&]() -> ZrvError { return sdk ? service_stop(sdk) : ZRV_ERROR_INVALID_ARGUMENT; });
}
ZRV_EXPORT ZrvError zrv_standin_seek(ZrvConnect *sdk, uint64_t position_ms) {
    return guarded([&]() -> ZrvError { return sdk ? service_seek(sdk, position_ms) : ZRV_ERROR_INVALID_ARGUMENT; });
}
ZRV_EXPORT ZrvError zrv_standin_next(ZrvConnect *sdk) {
    return guarded([&]() -> ZrvError { return sdk ? service_next(sdk) : ZRV_ERROR_INVALID_ARGUMENT; });
}
ZRV_EXPORT ZrvError zrv_standin_previous(ZrvConnect *sdk) {
    return guarded([&]() -> ZrvError { return sdk ? service_previous(sdk) : ZRV_ERROR_INVALID_ARGUMENT; });
}

ZRV_EXPORT ZrvError zrv_standin_set_service_volume(ZrvConnect *sdk, uint32_t volume) {
    return guarded([&]() -> ZrvError {
        if (!sdk || volume > kMaxVolume) return ZRV_ERROR_INVALID_ARGUMENT;
        if (!sdk->connected) return ZRV_ERROR_NOT_CONNECTED;
        sdk->post([sdk, volume] {
            if (sdk->playback.volume_changed) sdk->playback.volume_changed(sdk, volume, sdk->playback.user);
        });
        return ZRV_OK;
    });
}

ZRV_EXPORT ZrvError zrv_standin_set_service_mute(ZrvConnect *sdk, bool muted) {
    return guarded([&]() -> ZrvError {
        if (!sdk) return ZRV_ERROR_INVALID_ARGUMENT;
        if (!sdk->connected) return ZRV_ERROR_NOT_CONNECTED;
        sdk->post([sdk, muted] {
            if (sdk->playback.mute_changed) sdk->playback.mute_changed(sdk, muted, sdk->playback.user);
        });
        return ZRV_OK;
    });
}

ZRV_EXPORT ZrvError zrv_standin_set_max_quality(ZrvConnect *sdk, uint32_t quality) {
    return guarded([&]() -> ZrvError {
        if (!sdk || quality > ZRV_AUDIO_QUALITY_HIRES3) return ZRV_ERROR_INVALID_ARGUMENT;
        if (!sdk->connected) return ZRV_ERROR_NOT_CONNECTED;
        sdk->post([sdk, quality] {
            if (sdk->playback.max_quality_changed) sdk->playback.max_quality_changed(sdk, quality, sdk->playback.user);
        });
        return ZRV_OK;
    });
}

ZRV_EXPORT ZrvError zrv_standin_set_controls(ZrvConnect *sdk, uint32_t loop_mode, bool shuffle) {
    return guarded([&]() -> ZrvError {
        if (!sdk || loop_mode > ZRV_LOOP_MODE_QUEUE) return ZRV_ERROR_INVALID_ARGUMENT;
        if (!sdk->connected) return ZRV_ERROR_NOT_CONNECTED;
        sdk->post([sdk, loop_mode, shuffle] {
            if (sdk->playback.controls_changed)
                sdk->playback.controls_changed(sdk, loop_mode, shuffle, sdk->playback.user);
        });
        return ZRV_OK;
    });
}

ZRV_EXPORT ZrvError zrv_standin_set_next_available(ZrvConnect *sdk, bool next_available) {
    return guarded([&]() -> ZrvError {
        if (!sdk) return ZRV_ERROR_INVALID_ARGUMENT;
        if (!sdk->connected) return ZRV_ERROR_NOT_CONNECTED;
        sdk->post([sdk, next_available] {
            sdk->reported_next_available = next_available;
            if (sdk->playback.actions_availability_changed)
                sdk->playback.actions_availability_changed(sdk, next_available, sdk->playback.user);
        });
        return ZRV_OK;
    });
}

ZRV_EXPORT ZrvError zrv_standin_set_advertising(ZrvConnect *sdk, bool on) {
    return guarded([&]() -> ZrvError {
        if (!sdk) return ZRV_ERROR_INVALID_ARGUMENT;
        sdk->post([sdk, on] { on ? sdk->start_advertising() : sdk->stop_advertising(); });
        return ZRV_OK;
    });
}

ZRV_EXPORT ZrvError zrv_standin_set_config_server(ZrvConnect *sdk, bool on) {
    return guarded([&]() -> ZrvError {
        if (!sdk) return ZRV_ERROR_INVALID_ARGUMENT;
        sdk->post([sdk, on] { on ? sdk->start_config_server() : sdk->stop_config_server(); });
        return ZRV_OK;
    });
}

ZRV_EXPORT ZrvError zrv_standin_get_status(ZrvConnect *sdk, ZrvStandinStatus *out) {
    return guarded([&]() -> ZrvError {
        if (!sdk || !out) return ZRV_ERROR_INVALID_ARGUMENT;
        *out = ZrvStandinStatus{};
        out->connected = sdk->connected;
        out->renderer_active = sdk->renderer_active;
        out->advertising = sdk->advertising_on;
        out->config_server_running = sdk->config_server_on;
        out->state = sdk->state;
        out->volume = sdk->volume;
        out->muted = sdk->muted;
        out->queue_length = sdk->queue.size();
        out->track_index = sdk->track_index;
        out->current_stream = sdk->current() ? sdk->current()->id : 0;
        out->next_stream = sdk->next() ? sdk->next()->id : 0;
        out->streams_announced = sdk->streams_announced;
        out->streams_disposed = sdk->streams_disposed;
        out->bytes_taken = sdk->bytes_taken;
        return ZRV_OK;
    });
}

}  // extern "C"
