// Test side: PwCapture's stream events run on its pw_thread_loop's thread and
// only append to the byte store under its mutex; an in-cycle capture's
// process event runs on the data thread instead, in the graph cycle itself,
// so that each buffer's stamp is the time of its own cycle.
#include "pw_capture.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <thread>

// The SPA helpers are C inline functions that trip our C++ warnings.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#pragma GCC diagnostic ignored "-Wcast-qual"
#pragma GCC diagnostic ignored "-Wshadow"
#include <pipewire/pipewire.h>
#include <spa/param/audio/format-utils.h>
#include <spa/pod/builder.h>
#pragma GCC diagnostic pop

std::string pw_test_run(const std::string &command) {
    std::string output;
    FILE *pipe = popen(command.c_str(), "r");
    if (!pipe) return output;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
    pclose(pipe);
    return output;
}

int pw_test_node_id(const std::string &node_name) {
    // Another process may have a node of the same name on the server: the
    // node must belong to one of this process's clients.
    const std::string out =
        pw_test_run("pw-dump | jq --argjson pid " + std::to_string(getpid()) + " --arg name '" + node_name +
                    "' '[.[] | select(.type == \"PipeWire:Interface:Client\" and "
                    ".info.props[\"application.process.id\"] == $pid) | .id] as $clients | .[] | "
                    "select(.type == \"PipeWire:Interface:Node\" and .info.props[\"node.name\"] == $name and "
                    "(.info.props[\"client.id\"] as $client | $clients | index($client) != null)) | .id' 2>/dev/null");
    return out.empty() ? -1 : std::atoi(out.c_str());
}

bool pw_test_use_server(std::string *error) {
    const std::string path = std::string(ZRV_TEST_SERVICES_DIR) + "/pipewire/env";
    std::ifstream env(path);
    if (!env) {
        *error = "no " + path + ": the pipewire test service is not running (run the tests through ctest)";
        return false;
    }
    std::string line;
    while (std::getline(env, line)) {
        const auto equals = line.find('=');
        if (equals == std::string::npos) continue;
        setenv(line.substr(0, equals).c_str(), line.substr(equals + 1).c_str(), 1);
    }
    if (!getenv("XDG_RUNTIME_DIR")) {
        *error = path + " names no XDG_RUNTIME_DIR";
        return false;
    }
    return true;
}

struct PwCapture::Impl {
    pw_thread_loop *loop = nullptr;
    pw_stream *stream = nullptr;
    spa_hook listener{};
    uint32_t stride = 0;

    std::mutex mutex;  // guards the fields below
    std::condition_variable changed;
    std::vector<uint8_t> data;
    std::vector<PwCapture::Stamp> stamps;
    pw_stream_state state = PW_STREAM_STATE_UNCONNECTED;
    std::string error;

    ~Impl() {
        if (loop) pw_thread_loop_stop(loop);
        if (stream) pw_stream_destroy(stream);
        if (loop) pw_thread_loop_destroy(loop);
    }
};

namespace {

void on_capture_state(void *user, pw_stream_state, pw_stream_state state, const char *error) noexcept {
    auto *impl = static_cast<PwCapture::Impl *>(user);
    std::lock_guard lock(impl->mutex);
    impl->state = state;
    if (error) impl->error = error;
    impl->changed.notify_all();
}

void on_capture_process(void *user) noexcept {
    auto *impl = static_cast<PwCapture::Impl *>(user);
    pw_buffer *buffer = pw_stream_dequeue_buffer(impl->stream);
    if (!buffer) return;
    spa_data &block = buffer->buffer->datas[0];
    if (block.data && block.chunk) {
        const uint32_t offset = SPA_MIN(block.chunk->offset, block.maxsize);
        const uint32_t size = SPA_MIN(block.chunk->size, block.maxsize - offset);
        const auto *bytes = static_cast<const uint8_t *>(block.data) + offset;
        pw_time time{};
        if (pw_stream_get_time_n(impl->stream, &time, sizeof time) < 0 || time.now == 0) {
            timespec now{};
            clock_gettime(CLOCK_MONOTONIC, &now);
            time.now = int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
        }
        std::lock_guard lock(impl->mutex);
        if (size > 0) impl->stamps.push_back({impl->data.size(), time.now});
        impl->data.insert(impl->data.end(), bytes, bytes + size);
        impl->changed.notify_all();
    }
    pw_stream_queue_buffer(impl->stream, buffer);
}

const pw_stream_events capture_events = [] {
    pw_stream_events events{};
    events.version = PW_VERSION_STREAM_EVENTS;
    events.state_changed = on_capture_state;
    events.process = on_capture_process;
    return events;
}();

}  // namespace

PwCapture::PwCapture(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
PwCapture::~PwCapture() = default;

std::unique_ptr<PwCapture> PwCapture::start(uint32_t rate, uint32_t channels, uint32_t sample_format,
                                            std::string *error, const std::string &sink_name, bool in_cycle) {
    pw_init(nullptr, nullptr);
    auto impl = std::make_unique<Impl>();
    const uint32_t bytes_per_sample = sample_format == 0 ? 2 : 4;
    impl->stride = channels * bytes_per_sample;
    impl->loop = pw_thread_loop_new("pw-capture", nullptr);
    if (!impl->loop) {
        *error = "pw_thread_loop_new failed";
        return nullptr;
    }
    const std::string node_rate = "1/" + std::to_string(rate);
    pw_properties *props =
        pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Capture", PW_KEY_NODE_NAME,
                          "zrv-test-capture", PW_KEY_TARGET_OBJECT, sink_name.c_str(), PW_KEY_STREAM_CAPTURE_SINK,
                          "true", PW_KEY_NODE_RATE, node_rate.c_str(), nullptr);
    impl->stream = pw_stream_new_simple(pw_thread_loop_get_loop(impl->loop), "zrv-test-capture", props, &capture_events,
                                        impl.get());
    if (!impl->stream) {
        *error = "pw_stream_new_simple failed";
        return nullptr;
    }

    uint8_t pod_buffer[1024];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(pod_buffer, sizeof pod_buffer);
    spa_audio_info_raw info{};
    info.format = sample_format == 0 ? SPA_AUDIO_FORMAT_S16_LE : SPA_AUDIO_FORMAT_S24_32_LE;
    info.rate = rate;
    info.channels = channels;
    if (channels == 2) {
        info.position[0] = SPA_AUDIO_CHANNEL_FL;
        info.position[1] = SPA_AUDIO_CHANNEL_FR;
    }
    const spa_pod *params[1] = {spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &info)};

    pw_thread_loop_lock(impl->loop);
    const int result =
        pw_stream_connect(impl->stream, PW_DIRECTION_INPUT, PW_ID_ANY,
                          static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS |
                                                       (in_cycle ? PW_STREAM_FLAG_RT_PROCESS : PW_STREAM_FLAG_NONE)),
                          params, 1);
    if (result >= 0) pw_thread_loop_start(impl->loop);
    pw_thread_loop_unlock(impl->loop);
    if (result < 0) {
        *error = std::string("pw_stream_connect failed: ") + std::strerror(-result);
        return nullptr;
    }

    std::unique_lock lock(impl->mutex);
    const bool streaming = impl->changed.wait_for(lock, std::chrono::seconds(5), [&] {
        return impl->state == PW_STREAM_STATE_STREAMING || impl->state == PW_STREAM_STATE_ERROR;
    });
    if (!streaming || impl->state != PW_STREAM_STATE_STREAMING) {
        *error = "capture stream did not start streaming: " + (impl->error.empty() ? "time-out" : impl->error);
        return nullptr;
    }
    // The first cycle proves the link to the monitor is up.
    if (!impl->changed.wait_for(lock, std::chrono::seconds(5), [&] { return !impl->data.empty(); })) {
        *error = "capture stream streams but receives nothing";
        return nullptr;
    }
    lock.unlock();
    return std::unique_ptr<PwCapture>(new PwCapture(std::move(impl)));
}

std::vector<uint8_t> PwCapture::bytes() {
    std::lock_guard lock(impl_->mutex);
    return impl_->data;
}

size_t PwCapture::size() {
    std::lock_guard lock(impl_->mutex);
    return impl_->data.size();
}

void PwCapture::clear() {
    std::lock_guard lock(impl_->mutex);
    impl_->data.clear();
    impl_->stamps.clear();
}

std::vector<PwCapture::Stamp> PwCapture::stamps() {
    std::lock_guard lock(impl_->mutex);
    return impl_->stamps;
}

int64_t PwCapture::time_of(size_t offset, uint32_t rate) {
    std::lock_guard lock(impl_->mutex);
    const auto &stamps = impl_->stamps;
    auto after = std::upper_bound(stamps.begin(), stamps.end(), offset,
                                  [](size_t at, const Stamp &stamp) { return at < stamp.offset; });
    if (after == stamps.begin() || offset >= impl_->data.size() || rate == 0) return -1;
    const Stamp &stamp = *(after - 1);
    const uint64_t frames = (offset - stamp.offset) / impl_->stride;
    return stamp.ns + static_cast<int64_t>(frames * 1'000'000'000 / rate);
}

bool PwCapture::wait_for(size_t count, int timeout_ms) {
    std::unique_lock lock(impl_->mutex);
    return impl_->changed.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                                   [&] { return impl_->data.size() >= count; });
}

std::vector<uint8_t> pw_test_pcm(size_t frames, uint32_t channels, uint32_t sample_format, uint32_t seed) {
    const size_t bytes_per_sample = sample_format == 0 ? 2 : 4;
    std::vector<uint8_t> pcm(frames * channels * bytes_per_sample);
    uint32_t state = seed * 2654435761u + 1;
    for (size_t i = 0; i < frames * channels; ++i) {
        state = state * 1664525u + 1013904223u;
        if (sample_format == 0) {
            auto sample = static_cast<int16_t>(state >> 16);
            if (sample == 0) sample = 1;
            std::memcpy(&pcm[i * 2], &sample, 2);
        } else {
            int32_t sample = static_cast<int32_t>(state) >> 8;  // 24 bits, sign-extended
            if (sample == 0) sample = 1;
            std::memcpy(&pcm[i * 4], &sample, 4);
        }
    }
    return pcm;
}

size_t pw_first_sound(const std::vector<uint8_t> &bytes, size_t stride) {
    for (size_t offset = 0; offset + stride <= bytes.size(); offset += stride) {
        for (size_t i = 0; i < stride; ++i)
            if (bytes[offset + i] != 0) return offset;
    }
    return bytes.size();
}

std::string pw_compare_capture(const std::vector<uint8_t> &captured, const std::vector<uint8_t> &reference,
                               size_t stride) {
    const size_t start = pw_first_sound(captured, stride);
    if (start == captured.size()) return "the capture is all silence (" + std::to_string(captured.size()) + " bytes)";
    if (captured.size() - start < reference.size())
        return "the capture holds " + std::to_string(captured.size() - start) + " bytes after its silence, " +
               std::to_string(reference.size()) + " expected";
    for (size_t i = 0; i < reference.size(); ++i) {
        if (captured[start + i] != reference[i])
            return "first difference at byte " + std::to_string(i) + " (frame " + std::to_string(i / stride) + ") of " +
                   std::to_string(reference.size());
    }
    for (size_t i = start + reference.size(); i < captured.size(); ++i) {
        if (captured[i] != 0)
            return "sound after the end of the reference, " + std::to_string(i - start - reference.size()) +
                   " bytes past it";
    }
    return {};
}
