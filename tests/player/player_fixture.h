// A Player on its own libuv loop with the real PipeWire sink (the
// "pipewire" fixture's server) and a stand-in SDK instance created with the
// Player's two delegate tables. The tests see the Player through its public
// functions, its sink's and its StreamManager's, the stand-in's record of
// the Player's SDK calls and the Player's log. The test thread runs the loop.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>
#include <uv.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "audio/pipewire_sink.h"
#include "capture.h"
#include "player/player.h"
#include "player/stream_manager.h"
#include "sdk_test_support.h"

// Points this process at the fixture's PipeWire server; the fixture writes
// KEY=VALUE lines into <services>/pipewire/env.
inline bool use_test_pipewire(std::string *error) {
    std::ifstream env(std::string(ZRV_TEST_SERVICES_DIR) + "/pipewire/env");
    if (!env) {
        *error = "no " ZRV_TEST_SERVICES_DIR "/pipewire/env: the pipewire fixture is not running";
        return false;
    }
    std::string line;
    bool found = false;
    while (std::getline(env, line)) {
        auto equals = line.find('=');
        if (equals == std::string::npos) continue;
        setenv(line.substr(0, equals).c_str(), line.substr(equals + 1).c_str(), 1);
        found = true;
    }
    if (!found) *error = "the pipewire fixture's env file is empty";
    return found;
}

// What this process writes to stdout (the Player's log) from construction
// on, readable while the test goes on (gtest's own capture is read once, at
// its end). The destructor writes it to the real stdout too, so nothing of a
// failing test's output is lost.
class StdoutLog {
  public:
    ~StdoutLog() {
        const std::string captured = capture_.finish();
        std::fwrite(captured.data(), 1, captured.size(), stdout);
    }
    std::string text() const { return capture_.peek(); }

  private:
    StreamCapture capture_{STDOUT_FILENO};
};

class PlayerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        // Line by line, as the daemon writes its log, so nothing is lost
        // when a test dies.
        std::setvbuf(stdout, nullptr, _IOLBF, 0);
        ASSERT_EQ(uv_loop_init(&loop_), 0);
        loop_ready_ = true;
        std::string error;
        ASSERT_TRUE(use_test_pipewire(&error)) << error;
        player_ = player_new(&loop_, output_device_.c_str(), "", "");
        audio_ = player_audio_delegate(player_);
        playback_ = player_playback_delegate(player_);
        sdk_ = std::make_unique<TestSdk>(&loop_, audio_, playback_);
        ASSERT_TRUE(sdk_->handle());
    }

    void TearDown() override {
        sdk_.reset();
        player_free(player_);
        if (!loop_ready_) return;
        uv_run(&loop_, UV_RUN_DEFAULT);
        EXPECT_EQ(uv_loop_close(&loop_), 0) << "a handle was left open";
    }

    // For tests that drive the Player's delegates themselves: the stand-in
    // plays a long paused track with its own delegate calls dropped, so it
    // holds a session and a playback and the Player's notifications succeed.
    void hold_service_session() {
        sdk_->set_forwarding(false);
        ASSERT_EQ(sdk_->connect("standin:queue=44100/16/2/600000;paused", true), ZRV_OK);
        ASSERT_TRUE(run_until([&] { return sdk_->status().current_stream != 0; }, 2000));
        sdk_->clear();
    }
    void attach_sdk() {
        player_set_sdk(player_, sdk_->handle());
        hold_service_session();
    }

    ZrvConnect *sdk() { return sdk_->handle(); }
    PipeWireSink *sink() { return player_sink(player_); }
    StreamManager *streams() { return player_streams(player_); }
    AudioStream *stream(uint64_t id) { return stream_manager_find(streams(), id); }
    PlayerState state() { return player_state(player_); }
    bool delivering(uint64_t id) { return stream(id) && audio_stream_is_delivering(stream(id)); }

    void announce(uint64_t id, uint32_t rate = 44100, uint32_t channels = 2, uint32_t format = 0,
                  uint64_t start_ms = 0) {
        StreamInfo info{rate, channels, format, 0, 180000};
        audio_.new_stream(sdk(), id, &info, start_ms, audio_.user);
    }
    size_t push(uint64_t id, size_t size) {
        std::vector<uint8_t> data(size, 0x21);
        return audio_.audio_data(sdk(), id, data.data(), data.size(), audio_.user);
    }
    // Offers data until the stream stops taking it; the bytes taken.
    size_t fill(uint64_t id, size_t block = 4096) {
        size_t total = 0;
        for (;;) {
            size_t taken = push(id, block);
            total += taken;
            if (taken < block) return total;
        }
    }
    void finished(uint64_t id) { audio_.finished(sdk(), id, audio_.user); }
    void seeked(uint64_t id, uint64_t ms) { audio_.seeked(sdk(), id, ms, audio_.user); }
    void disposed(uint64_t id) { audio_.disposed(sdk(), id, audio_.user); }

    void initiate(uint32_t state) { playback_.initiate(sdk(), state, playback_.user); }
    void pause() { playback_.pause(sdk(), playback_.user); }
    void resume() { playback_.resume(sdk(), playback_.user); }
    void stop() { playback_.stop(sdk(), playback_.user); }
    void seek_started() { playback_.seek_started(sdk(), playback_.user); }
    uint64_t position() { return playback_.get_position_ms(sdk(), playback_.user); }

    uint64_t buffered_frames() {
        bool ok = false;
        uint64_t frames = pipewire_sink_buffered_frames(sink(), &ok);
        return ok ? frames : 0;
    }

    // Runs the loop until the predicate holds or the time is up.
    bool run_until(const std::function<bool()> &done, int timeout_ms) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            uv_run(&loop_, UV_RUN_NOWAIT);
            if (!done()) uv_sleep(1);
        }
        return true;
    }
    void run_for(int ms) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        run_until([&] { return std::chrono::steady_clock::now() > deadline; }, ms + 1000);
    }

    // Runs the loop until `log` holds `text` `count` times.
    bool run_until_logged(const StdoutLog &log, const std::string &text, int timeout_ms, size_t count = 1) {
        return run_until([&] { return sdk_count_substr(log.text(), text) >= count; }, timeout_ms);
    }

    // The stream flowing into the sink is the one whose delivery the sink's
    // need-data notification resumes: fills the stream until it stops taking
    // data, then waits for the sink to ask for it again. The sink must be
    // playing.
    bool sink_asks_for(uint64_t id, int timeout_ms = 3000) {
        const std::string resume = "resume_audio_delivery " + std::to_string(id);
        const size_t before = sdk_->count(resume);
        fill(id);
        return run_until([&] { return sdk_->count(resume) > before; }, timeout_ms);
    }

    // The configured output device; a test fixture may set it in its
    // constructor.
    std::string output_device_;
    uv_loop_t loop_{};
    bool loop_ready_ = false;
    Player *player_ = nullptr;
    AudioDelegate audio_{};
    PlaybackDelegate playback_{};
    std::unique_ptr<TestSdk> sdk_;
};
