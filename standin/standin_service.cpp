// The stand-in's playback service: the instance's session, queue, streams and
// data push, and the service actions the daemon's operations and the test
// control share. Loop thread only: every operation is called on the loop the
// instance was created on, and every delegate call is made from that loop's
// timer callbacks, except audio data, which is also pushed from inside
// zrv_connect_resume_audio_delivery (the daemon allows that).
#include "standin_service.h"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <utility>

#include "standin_internal.h"

namespace {

using standin::format_of;
using standin::kLogComponent;
using standin::kMaxQueue;
using standin::kStreamComponent;
using standin::log;
using standin::StandinStream;
using standin::timer_active;
using standin::valid_track;

constexpr const char *kServiceType = "_zorva-connect._tcp";
constexpr const char *kEndpointPrefix = "standin:";
// Bounds the work of one push turn when pacing is off, so the loop keeps
// turning even for a renderer that takes everything.
constexpr int kMaxChunksPerTurn = 16;
constexpr uint64_t kRestartThresholdMs = 3000;

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

namespace standin {

void TimerDeleter::operator()(uv_timer_t *timer) const noexcept {
    uv_close(reinterpret_cast<uv_handle_t *>(timer),
             [](uv_handle_t *handle) noexcept { delete reinterpret_cast<uv_timer_t *>(handle); });
}

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

std::vector<ZrvStandinTrack> demo_queue() {
    return {{44100, 2, ZRV_SAMPLE_FORMAT_S16, 1, 6000},
            {44100, 2, ZRV_SAMPLE_FORMAT_S16, 2, 6000},
            {48000, 2, ZRV_SAMPLE_FORMAT_S24_32, 3, 6000},
            {96000, 2, ZRV_SAMPLE_FORMAT_S24_32, 4, 6000}};
}

}  // namespace standin

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
    log(ZRV_LOG_INFO, kLogComponent, "Advertising '%s' as %s", device_name.c_str(), kServiceType);
    if (advertising.start_advertising)
        advertising.start_advertising(this, device_name.c_str(), kServiceType, advertising.user);
}

void ZrvConnect::stop_advertising() {
    if (!advertising_on) return;
    advertising_on = false;
    log(ZRV_LOG_INFO, kLogComponent, "Stopping advertising");
    if (advertising.stop_advertising) advertising.stop_advertising(this, advertising.user);
}

void ZrvConnect::start_config_server() {
    if (config_server_on) return;
    config_server_on = true;
    log(ZRV_LOG_INFO, kLogComponent, "Starting the local configuration server");
    if (config_server.start) config_server.start(this, config_server.user);
}

void ZrvConnect::stop_config_server() {
    if (!config_server_on) return;
    config_server_on = false;
    log(ZRV_LOG_INFO, kLogComponent, "Stopping the local configuration server");
    if (config_server.stop) config_server.stop(this, config_server.user);
}

void ZrvConnect::set_renderer_active(bool active) {
    if (renderer_active == active) return;
    renderer_active = active;
    log(ZRV_LOG_INFO, kLogComponent, "Renderer %s", active ? "activated" : "deactivated");
    if (device.renderer_active_changed) device.renderer_active_changed(this, active, device.user);
}

ZrvError ZrvConnect::post_to_renderer(std::function<void()> change) {
    if (!connected) return ZRV_ERROR_NOT_CONNECTED;
    post(std::move(change));
    return ZRV_OK;
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
    log(ZRV_LOG_INFO, kLogComponent, "Stream %llu: track %zu of %zu, %u Hz, %u bit, %u channels, %llu ms from %llu ms",
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
    log(ZRV_LOG_DEBUG, kStreamComponent, "Stream %llu disposed of", static_cast<unsigned long long>(id));
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
    log(ZRV_LOG_INFO, kLogComponent, "Playback state %s", zrv_playback_state_to_string(state));
    if (playback.playback_state_changed) playback.playback_state_changed(this, state, playback.user);
}

void ZrvConnect::follow_renderer(uint32_t new_state) {
    state = new_state;
    post([this] { report_state(); });
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
    log(ZRV_LOG_INFO, kLogComponent, "Seeking stream %llu to %llu ms", static_cast<unsigned long long>(id),
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

void ZrvConnect::withdraw_next() {
    StandinStream *stream = next();
    if (!stream || awaiting_initiated) return;
    const size_t index = stream->track_index;
    log(ZRV_LOG_INFO, kLogComponent, "Track %zu of %zu withdrawn from the queue", index + 1, queue.size());
    dispose(stream->id);
    queue.erase(queue.begin() + static_cast<std::ptrdiff_t>(index));
    for (auto &s : streams)
        if (s->track_index > index) --s->track_index;
    report_next_available();
    // The track after it is announced by the usual rule.
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
            log(ZRV_LOG_WARNING, kStreamComponent, "Renderer took %zu of %zu bytes", taken, offered);
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
        log(ZRV_LOG_DEBUG, kStreamComponent, "Stream %llu: all %llu frames delivered",
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

namespace standin {

namespace {

// A session with a playing or paused playback, which most actions need.
ZrvError playback_check(const ZrvConnect *sdk) {
    if (!sdk->connected) return ZRV_ERROR_NOT_CONNECTED;
    return sdk->playing() ? ZRV_OK : ZRV_ERROR_NO_PLAYBACK;
}

// Pause and resume: the service decides at once; the renderer gets the
// command from the loop unless a later decision has replaced this one.
ZrvError set_paused(ZrvConnect *sdk, bool paused) {
    if (ZrvError error = playback_check(sdk)) return error;
    if ((sdk->state == ZRV_PLAYBACK_STATE_PAUSED) == paused) return ZRV_OK;
    const uint32_t decided = paused ? ZRV_PLAYBACK_STATE_PAUSED : ZRV_PLAYBACK_STATE_PLAYING;
    sdk->state = decided;
    sdk->post([sdk, paused, decided] {
        if (sdk->state != decided || sdk->streams.empty()) return;
        const auto command = paused ? sdk->playback.pause : sdk->playback.resume;
        if (command) command(sdk, sdk->playback.user);
        sdk->report_state();
    });
    return ZRV_OK;
}

}  // namespace

ZrvError service_play(ZrvConnect *sdk, size_t index, uint64_t start_ms, bool paused) {
    if (!sdk->connected) return ZRV_ERROR_NOT_CONNECTED;
    if (sdk->queue.empty()) return ZRV_ERROR_NO_PLAYBACK;
    if (index >= sdk->queue.size() || start_ms > sdk->queue[index].duration_ms) return ZRV_ERROR_INVALID_ARGUMENT;
    sdk->state = paused ? ZRV_PLAYBACK_STATE_PAUSED : ZRV_PLAYBACK_STATE_BUFFERING;
    sdk->post([sdk, index, start_ms, paused] { sdk->begin_track(index, start_ms, paused); });
    return ZRV_OK;
}

ZrvError service_pause(ZrvConnect *sdk) { return set_paused(sdk, true); }

ZrvError service_resume(ZrvConnect *sdk) { return set_paused(sdk, false); }

ZrvError service_stop(ZrvConnect *sdk) {
    if (ZrvError error = playback_check(sdk)) return error;
    sdk->state = ZRV_PLAYBACK_STATE_STOPPED;
    sdk->post([sdk] { sdk->stop_and_dispose(); });
    return ZRV_OK;
}

ZrvError service_seek(ZrvConnect *sdk, uint64_t position_ms) {
    if (ZrvError error = playback_check(sdk)) return error;
    if (!sdk->current()) return ZRV_ERROR_INVALID_STATE;
    if (position_ms > sdk->current()->track.duration_ms) return ZRV_ERROR_INVALID_ARGUMENT;
    sdk->post([sdk, position_ms] { sdk->seek_begin(position_ms); });
    return ZRV_OK;
}

ZrvError service_next(ZrvConnect *sdk) {
    if (ZrvError error = playback_check(sdk)) return error;
    if (!sdk->has_next_track()) return ZRV_ERROR_INVALID_STATE;
    // The track is chosen when the task runs: a transition reported just
    // before has moved the queue on by then.
    sdk->post([sdk] {
        if (sdk->playing() && sdk->has_next_track())
            sdk->begin_track(sdk->track_index + 1, 0, sdk->state == ZRV_PLAYBACK_STATE_PAUSED);
    });
    return ZRV_OK;
}

ZrvError service_previous(ZrvConnect *sdk) {
    if (ZrvError error = playback_check(sdk)) return error;
    sdk->post([sdk] { sdk->step_back(); });
    return ZRV_OK;
}

ZrvError service_withdraw_next(ZrvConnect *sdk) {
    if (ZrvError error = playback_check(sdk)) return error;
    if (!sdk->next() || sdk->awaiting_initiated) return ZRV_ERROR_INVALID_STATE;
    sdk->post([sdk] { sdk->withdraw_next(); });
    return ZRV_OK;
}

ZrvError join_session(ZrvConnect *sdk, const char *session_id, const char *api_endpoint, const char *zconnect_endpoint,
                      bool become_active) {
    EndpointOptions options;
    if (std::string_view(zconnect_endpoint).rfind(kEndpointPrefix, 0) == 0) {
        std::string problem;
        if (!parse_endpoint(zconnect_endpoint, options, problem)) {
            log(ZRV_LOG_ERROR, kLogComponent, "Refusing zconnect endpoint '%s': %s", zconnect_endpoint,
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
    log(ZRV_LOG_INFO, kLogComponent, "Joined session %s (%zu tracks queued)", session_id, sdk->queue.size());
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

}  // namespace standin
