// Loop thread only, like the stand-in's own operations.
#include "sdk_test_support.h"

#include <algorithm>

namespace {

TestSdk *of(void *user) { return static_cast<TestSdk *>(user); }

void no_advertising_start(ZrvConnect *, const char *, const char *, void *) {}
void no_op(ZrvConnect *, void *) {}
void no_active_change(ZrvConnect *, bool, void *) {}

// Passes one of the stand-in's delegate calls on while forwarding is on.
template <typename Call>
void forward(void *user, Call &&call) {
    TestSdk *t = of(user);
    if (t->forwarding()) call(t->audio_, t->playback_);
}

void observe(void *user, const char *slot) {
    TestSdk *t = of(user);
    if (t->forwarding() && t->after_playback_call) t->after_playback_call(slot);
}

void new_stream(ZrvConnect *sdk, uint64_t id, const StreamInfo *info, uint64_t start_ms, void *user) {
    forward(user, [&](AudioDelegate &a, PlaybackDelegate &) {
        if (a.new_stream) a.new_stream(sdk, id, info, start_ms, a.user);
    });
}
size_t audio_data(ZrvConnect *sdk, uint64_t id, const void *data, size_t size, void *user) {
    size_t taken = 0;
    forward(user, [&](AudioDelegate &a, PlaybackDelegate &) {
        if (a.audio_data) taken = a.audio_data(sdk, id, data, size, a.user);
    });
    return taken;
}
void metadata(ZrvConnect *sdk, uint64_t id, const StreamMetadata *m, void *user) {
    forward(user, [&](AudioDelegate &a, PlaybackDelegate &) {
        if (a.metadata) a.metadata(sdk, id, m, a.user);
    });
}
void finished(ZrvConnect *sdk, uint64_t id, void *user) {
    forward(user, [&](AudioDelegate &a, PlaybackDelegate &) {
        if (a.finished) a.finished(sdk, id, a.user);
    });
}
void seeked(ZrvConnect *sdk, uint64_t id, uint64_t ms, void *user) {
    forward(user, [&](AudioDelegate &a, PlaybackDelegate &) {
        if (a.seeked) a.seeked(sdk, id, ms, a.user);
    });
}
void disposed(ZrvConnect *sdk, uint64_t id, void *user) {
    forward(user, [&](AudioDelegate &a, PlaybackDelegate &) {
        if (a.disposed) a.disposed(sdk, id, a.user);
    });
}

void initiate(ZrvConnect *sdk, uint32_t state, void *user) {
    forward(user, [&](AudioDelegate &, PlaybackDelegate &p) {
        if (p.initiate) p.initiate(sdk, state, p.user);
    });
    observe(user, "initiate");
}
void pause(ZrvConnect *sdk, void *user) {
    forward(user, [&](AudioDelegate &, PlaybackDelegate &p) {
        if (p.pause) p.pause(sdk, p.user);
    });
    observe(user, "pause");
}
void resume(ZrvConnect *sdk, void *user) {
    forward(user, [&](AudioDelegate &, PlaybackDelegate &p) {
        if (p.resume) p.resume(sdk, p.user);
    });
    observe(user, "resume");
}
void stop(ZrvConnect *sdk, void *user) {
    forward(user, [&](AudioDelegate &, PlaybackDelegate &p) {
        if (p.stop) p.stop(sdk, p.user);
    });
    observe(user, "stop");
}
void seek_started(ZrvConnect *sdk, void *user) {
    forward(user, [&](AudioDelegate &, PlaybackDelegate &p) {
        if (p.seek_started) p.seek_started(sdk, p.user);
    });
    observe(user, "seek_started");
}
uint64_t get_position(ZrvConnect *sdk, void *user) {
    uint64_t position = 0;
    forward(user, [&](AudioDelegate &, PlaybackDelegate &p) {
        if (p.get_position_ms) position = p.get_position_ms(sdk, p.user);
    });
    return position;
}
void volume_changed(ZrvConnect *sdk, uint32_t volume, void *user) {
    forward(user, [&](AudioDelegate &, PlaybackDelegate &p) {
        if (p.volume_changed) p.volume_changed(sdk, volume, p.user);
    });
}
void mute_changed(ZrvConnect *sdk, bool muted, void *user) {
    forward(user, [&](AudioDelegate &, PlaybackDelegate &p) {
        if (p.mute_changed) p.mute_changed(sdk, muted, p.user);
    });
}
void state_changed(ZrvConnect *sdk, uint32_t state, void *user) {
    forward(user, [&](AudioDelegate &, PlaybackDelegate &p) {
        if (p.playback_state_changed) p.playback_state_changed(sdk, state, p.user);
    });
}
void quality_changed(ZrvConnect *sdk, uint32_t quality, void *user) {
    forward(user, [&](AudioDelegate &, PlaybackDelegate &p) {
        if (p.max_quality_changed) p.max_quality_changed(sdk, quality, p.user);
    });
}
void controls_changed(ZrvConnect *sdk, uint32_t loop_mode, bool shuffle, void *user) {
    forward(user, [&](AudioDelegate &, PlaybackDelegate &p) {
        if (p.controls_changed) p.controls_changed(sdk, loop_mode, shuffle, p.user);
    });
}
void actions_changed(ZrvConnect *sdk, bool next_available, void *user) {
    forward(user, [&](AudioDelegate &, PlaybackDelegate &p) {
        if (p.actions_availability_changed) p.actions_availability_changed(sdk, next_available, p.user);
    });
}

std::string call_text(const ZrvStandinCall &call) {
    std::string text = call.operation;
    const std::string prefix = "zrv_connect_";
    if (text.rfind(prefix, 0) == 0) text.erase(0, prefix.size());
    // ", " between the arguments becomes one space.
    std::string args;
    for (const char *c = call.arguments ? call.arguments : ""; *c; ++c)
        if (!(*c == ' ' && c > call.arguments && c[-1] == ',')) args += *c == ',' ? ' ' : *c;
    if (!args.empty()) text += " " + args;
    return text;
}

}  // namespace

TestSdk::TestSdk(uv_loop_t *loop, AudioDelegate audio, PlaybackDelegate playback) : audio_(audio), playback_(playback) {
    zrv_standin_reset();
    ZrvConnectConfig config{};
    config.version = ZRV_CONNECT_CONFIG_VERSION;
    config.device_name = "Player Test";
    config.device_type = ZRV_DEVICE_TYPE_STREAMER;
    config.manufacturer = "Test";
    config.model = "Player";
    config.serial_number = "1";
    config.unique_device_id = "player-test";
    config.app_id = "app";
    config.app_secret = "";
    config.max_audio_quality = ZRV_AUDIO_QUALITY_HIRES3;
    config.capabilities = ZRV_CAPABILITY_GAPLESS;
    config.advertising = AdvertisingDelegate{this, no_advertising_start, no_op};
    config.config_server = ConfigServerDelegate{this, no_op, no_op};
    config.audio = AudioDelegate{this, new_stream, audio_data, metadata, finished, seeked, disposed};
    config.playback = PlaybackDelegate{this,           initiate,      pause,           resume,
                                       stop,           seek_started,  get_position,    volume_changed,
                                       mute_changed,   state_changed, quality_changed, controls_changed,
                                       actions_changed};
    config.device = DeviceDelegate{this, no_active_change};
    ZrvError error = ZRV_OK;
    sdk_ = zrv_connect_create(loop, &config, &error);
    zrv_standin_clear_calls();
}

TestSdk::~TestSdk() {
    if (sdk_) zrv_connect_free(sdk_);
}

ZrvError TestSdk::connect(const std::string &endpoint, bool become_active) {
    SessionToken api{"https://api.invalid", "api-token", 0};
    SessionToken zconnect{endpoint.c_str(), "zconnect-token", 0};
    ZrvError error = zrv_connect_connect(sdk_, "test-session", &api, &zconnect, become_active);
    zrv_standin_clear_calls();
    return error;
}

std::vector<std::string> TestSdk::calls() const {
    std::vector<std::string> result;
    for (size_t i = 0, n = zrv_standin_call_count(); i < n; ++i) {
        ZrvStandinCall call{};
        if (!zrv_standin_call_at(i, &call)) break;
        result.push_back(call_text(call));
    }
    return result;
}

size_t TestSdk::count(const std::string &call) const {
    auto all = calls();
    return static_cast<size_t>(std::count(all.begin(), all.end(), call));
}

ZrvStandinStatus TestSdk::status() const {
    ZrvStandinStatus status{};
    zrv_standin_get_status(sdk_, &status);
    return status;
}

size_t sdk_count_substr(const std::string &text, const std::string &needle) {
    size_t count = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + needle.size())) ++count;
    return count;
}
