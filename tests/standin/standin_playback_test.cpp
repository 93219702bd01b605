// The stand-in's playback service driven on a real loop with a fake renderer:
// data order and content, back-pressure, track announcements, transitions,
// end of queue, seek and the renderer commands. Loop thread only.
#include <gtest/gtest.h>
#include <uv.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "fake_renderer.h"
#include "standin_test_support.h"

namespace {

std::vector<uint8_t> expected_pcm(uint32_t seed, AudioFormat format, uint64_t frame_offset, size_t frames) {
    std::vector<uint8_t> out(frames * format.channels * zrv_audio_sample_format_size(format.sample_format));
    zrv_standin_generate_pcm(seed, format, frame_offset, frames, out.data(), out.size());
    return out;
}

class StandinPlayback : public ::testing::Test {
  protected:
    void SetUp() override {
        zrv_standin_reset();
        ASSERT_EQ(uv_loop_init(&loop), 0);
        uv_timer_init(&loop, &guard);
        renderer = std::make_unique<FakeRenderer>(&loop);
        ZrvConnectConfig config = make_config(identity, &device_events);
        renderer->add_to(config);
        ZrvError error = ZRV_ERROR_INTERNAL;
        sdk = zrv_connect_create(&loop, &config, &error);
        ASSERT_NE(sdk, nullptr);
        renderer->sdk = sdk;
    }
    void TearDown() override {
        zrv_connect_free(sdk);
        renderer->close();
        uv_close(reinterpret_cast<uv_handle_t *>(&guard), nullptr);
        uv_run(&loop, UV_RUN_DEFAULT);
        EXPECT_EQ(uv_loop_close(&loop), 0);
        zrv_standin_reset();
    }

    // Runs the loop until `done` holds or `timeout_ms` of loop time passed.
    // The guard ticks every 5 ms, so a condition met at the start of an
    // iteration is seen even when nothing else wakes the loop.
    bool run_until(const std::function<bool()> &done, uint64_t timeout_ms = 5000) {
        uv_update_time(&loop);
        deadline = uv_now(&loop) + timeout_ms;
        timed_out = false;
        guard.data = this;
        uv_timer_start(
            &guard,
            [](uv_timer_t *t) {
                auto *self = static_cast<StandinPlayback *>(t->data);
                if (uv_now(t->loop) >= self->deadline) self->timed_out = true;
            },
            5, 5);
        while (!done() && !timed_out) uv_run(&loop, UV_RUN_ONCE);
        uv_timer_stop(&guard);
        return done();
    }
    void run_for(uint64_t ms) {
        run_until([] { return false; }, ms);
    }

    ZrvError connect(const std::string &endpoint, bool active = true) {
        SessionToken api{"https://api.invalid", "jwt-a", 1};
        SessionToken zc{endpoint.c_str(), "jwt-z", 2};
        return zrv_connect_connect(sdk, "session-1", &api, &zc, active);
    }

    ZrvStandinStatus status() {
        ZrvStandinStatus s{};
        EXPECT_EQ(zrv_standin_get_status(sdk, &s), ZRV_OK);
        return s;
    }

    bool stopped_and_empty() {
        ZrvStandinStatus s = status();
        return s.state == ZRV_PLAYBACK_STATE_STOPPED && s.current_stream == 0;
    }

    const std::vector<std::string> &events() const { return renderer->events; }
    bool has(const std::string &event) const { return renderer->index_of(event) >= 0; }
    long at(const std::string &event, size_t from = 0) const { return renderer->index_of(event, from); }

    uv_loop_t loop{};
    uv_timer_t guard{};
    uint64_t deadline = 0;
    bool timed_out = false;
    TestIdentity identity;
    DelegateEvents device_events;
    std::unique_ptr<FakeRenderer> renderer;
    ZrvConnect *sdk = nullptr;
};

TEST_F(StandinPlayback, PlaysTheWholeQueueInOrderWithContentThatRegenerates) {
    ASSERT_EQ(connect("standin:queue=44100/16/2/300,44100/16/2/200,48000/24/1/250,96000/32/2/100;lead_ms=0"), ZRV_OK);
    ASSERT_TRUE(run_until([&] { return status().streams_disposed == 4 && stopped_and_empty(); }));

    EXPECT_EQ(device_events.count("active"), 1u);
    ASSERT_EQ(renderer->order, (std::vector<uint64_t>{1, 2, 3, 4}));
    const std::vector<std::pair<AudioFormat, uint64_t>> tracks{
        {{44100, 2, 0}, 300}, {{44100, 2, 0}, 200}, {{48000, 1, 1}, 250}, {{96000, 2, 2}, 100}};
    for (size_t i = 0; i < tracks.size(); ++i) {
        const FakeStream &s = renderer->streams[i + 1];
        const auto &[format, ms] = tracks[i];
        EXPECT_EQ(s.info.sample_rate, format.sample_rate);
        EXPECT_EQ(s.info.channels, format.channels);
        EXPECT_EQ(s.info.sample_format, format.sample_format);
        EXPECT_EQ(s.info.duration_ms, ms);
        EXPECT_EQ(s.title, "Stand-in tone " + std::to_string(i + 1));
        const size_t frames = zrv_standin_frames_for_ms(format.sample_rate, ms);
        EXPECT_EQ(s.bytes, expected_pcm(static_cast<uint32_t>(i + 1), format, 0, frames)) << "track " << i;
    }

    // Each next track is announced before the current one's data ends, and
    // the finished stream goes only after the renderer reported the change.
    for (uint64_t id = 1; id <= 3; ++id) {
        const long announced =
            at("metadata " + std::to_string(id + 1) + " Stand-in tone " + std::to_string(id + 1) + " / Zorva Stand-in");
        const long finished = at("finished " + std::to_string(id));
        const long disposed = at("disposed " + std::to_string(id));
        ASSERT_GE(announced, 0);
        EXPECT_LT(announced, finished);
        const long reported = at("-> finished nothing_queued=false", static_cast<size_t>(finished));
        const long initiated = at("-> initiated", static_cast<size_t>(reported));
        EXPECT_GT(reported, finished);
        EXPECT_GT(disposed, initiated) << "stream " << id;
    }
    const long last_report = at("-> finished nothing_queued=true");
    EXPECT_GT(last_report, at("finished 4"));
    EXPECT_GT(at("disposed 4"), last_report);
    EXPECT_GT(at("state STOPPED"), last_report);
    EXPECT_EQ(std::count(events().begin(), events().end(), "initiate 1"), 1);
    EXPECT_FALSE(has("stop")) << "the end of the queue needs no stop command";

    ZrvPlaybackState state = 99;
    EXPECT_EQ(zrv_connect_get_playback_state(sdk, &state), ZRV_OK);
    EXPECT_EQ(state, ZRV_PLAYBACK_STATE_STOPPED);
    EXPECT_EQ(recorded_arguments("zrv_connect_notify_playback_initiated"), "44100, 2, 0");
}

TEST_F(StandinPlayback, ShortAcceptKeepsTheRestAndResumeDeliversItFirstFromInsideTheCall) {
    renderer->accept_limit = 1001;  // not a whole frame
    renderer->auto_transition = false;
    ASSERT_EQ(connect("standin:queue=44100/16/2/1000;lead_ms=0;chunk_ms=20"), ZRV_OK);
    ASSERT_TRUE(run_until([&] { return renderer->streams[1].data_calls > 0; }));
    run_for(60);
    FakeStream &s = renderer->streams[1];
    EXPECT_EQ(s.data_calls, 1u) << "nothing more is offered after a short accept";
    EXPECT_EQ(s.bytes.size(), 1001u);

    renderer->accept_limit = SIZE_MAX;
    renderer->in_resume = true;
    ASSERT_EQ(renderer->resume(1), ZRV_OK);
    renderer->in_resume = false;
    EXPECT_GT(renderer->data_calls_inside_resume, 0u) << "data flows from inside the resume call";
    ASSERT_GT(s.bytes.size(), 1001u + 2527u);
    ASSERT_TRUE(run_until([&] { return has("finished 1"); }));
    const size_t frames = zrv_standin_frames_for_ms(44100, 1000);
    EXPECT_EQ(s.bytes, expected_pcm(1, AudioFormat{44100, 2, 0}, 0, frames));
    EXPECT_EQ(zrv_connect_resume_audio_delivery(sdk, 77), ZRV_ERROR_UNKNOWN_STREAM);
}

TEST_F(StandinPlayback, ResumeFromInsideADataCallDoesNotRecurseAndLosesNothing) {
    renderer->accept_limit = 333;
    renderer->resume_inside_data = true;
    renderer->auto_transition = false;
    ASSERT_EQ(connect("standin:queue=48000/24/2/200;lead_ms=0"), ZRV_OK);
    ASSERT_TRUE(run_until([&] { return has("finished 1"); }));
    EXPECT_EQ(renderer->max_data_depth, 1) << "the stand-in never pushes from inside its own data call";
    const size_t frames = zrv_standin_frames_for_ms(48000, 200);
    EXPECT_EQ(renderer->streams[1].bytes, expected_pcm(1, AudioFormat{48000, 2, 1}, 0, frames));
}

TEST_F(StandinPlayback, DataOfferedBeforeTheRendererAsksIsKeptForLater) {
    renderer->auto_transition = false;
    ASSERT_EQ(zrv_standin_set_pacing(sdk, 20, 0, 60000), ZRV_OK);  // the next track is announced at once
    ASSERT_EQ(connect("standin:queue=44100/16/2/400,44100/16/2/300"), ZRV_OK);
    ASSERT_TRUE(run_until([&] { return has("finished 1") && renderer->streams[2].data_calls > 0; }));
    run_for(40);
    FakeStream &next = renderer->streams[2];
    EXPECT_EQ(next.data_calls, 1u) << "a refused stream waits for resume";
    EXPECT_TRUE(next.bytes.empty());
    renderer->resume(2);
    ASSERT_TRUE(run_until([&] { return has("finished 2"); }));
    EXPECT_EQ(next.bytes, expected_pcm(2, AudioFormat{44100, 2, 0}, 0, zrv_standin_frames_for_ms(44100, 300)));
}

TEST_F(StandinPlayback, AnnouncesTheNextTrackWhenTheRestOfTheDataFitsTheLead) {
    ASSERT_EQ(zrv_standin_set_pacing(sdk, 10, 0, 100), ZRV_OK);
    renderer->auto_transition = false;
    ASSERT_EQ(connect("standin:queue=44100/16/2/1000,44100/16/2/500"), ZRV_OK);
    ASSERT_TRUE(run_until([&] { return renderer->order.size() == 2; }));
    // "(current has N bytes)": at most 100 ms plus one chunk of track 1 was left.
    const std::string &line = events()[static_cast<size_t>(at("metadata 2 Stand-in tone 2 / Zorva Stand-in")) - 1];
    const size_t open = line.find("(current has ");
    ASSERT_NE(open, std::string::npos) << line;
    const size_t delivered = std::stoul(line.substr(open + 13));
    const size_t total = zrv_standin_frames_for_ms(44100, 1000) * 4;
    EXPECT_GE(delivered, total - zrv_standin_frames_for_ms(44100, 110) * 4);
    EXPECT_LT(delivered, total);
}

TEST_F(StandinPlayback, PacingStaysWithinTheLeadAheadOfRealTime) {
    ASSERT_EQ(zrv_standin_set_pacing(sdk, 20, 200, 0), ZRV_OK);
    renderer->auto_transition = false;
    ASSERT_EQ(connect("standin:queue=44100/16/2/60000"), ZRV_OK);
    ASSERT_TRUE(run_until([&] { return renderer->streams[1].data_calls > 0; }));
    uv_update_time(&loop);
    const uint64_t start = uv_now(&loop);
    run_for(300);
    uv_update_time(&loop);
    const uint64_t elapsed = uv_now(&loop) - start;
    const size_t bytes = renderer->streams[1].bytes.size();
    // The bucket starts full (200 ms) and fills at the sample rate.
    EXPECT_LE(bytes, zrv_standin_frames_for_ms(44100, 200 + elapsed + 40) * 4);
    EXPECT_GE(bytes, zrv_standin_frames_for_ms(44100, 200 + 100) * 4);
    EXPECT_LE(renderer->streams[1].data_calls, (200 + elapsed) / 20 + 20) << "chunks of 20 ms, no spinning";
}

TEST_F(StandinPlayback, SeekStartsDropsTheQueuedStreamAndRestartsDataAtTheTarget) {
    renderer->auto_transition = false;
    ASSERT_EQ(zrv_standin_set_pacing(sdk, 20, 0, 60000), ZRV_OK);
    ASSERT_EQ(connect("standin:queue=44100/16/2/3000,48000/16/2/1000"), ZRV_OK);
    ASSERT_TRUE(run_until([&] { return has("finished 1") && renderer->order.size() == 2; }));
    EXPECT_EQ(zrv_standin_seek(sdk, 3001), ZRV_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(zrv_connect_seek_time(sdk, 2000), ZRV_OK);
    ASSERT_TRUE(run_until([&] { return has("finished 1") && at("finished 1", at("seeked 1 2000")) >= 0; }));

    const long started = at("seek_started");
    const long dropped = at("disposed 2");
    const long seeked = at("seeked 1 2000");
    ASSERT_GE(started, 0);
    EXPECT_GT(dropped, started);
    EXPECT_GT(seeked, dropped);
    const uint64_t from = zrv_standin_frames_for_ms(44100, 2000);
    const size_t frames = zrv_standin_frames_for_ms(44100, 3000) - from;
    EXPECT_EQ(renderer->streams[1].bytes, expected_pcm(1, AudioFormat{44100, 2, 0}, from, frames));
    ASSERT_TRUE(run_until([&] { return renderer->order.size() == 3; }));
    EXPECT_EQ(renderer->streams[3].info.sample_rate, 48000u) << "the next track is announced again";
}

TEST_F(StandinPlayback, LookaheadAnnouncesAThirdTrackBehindAShortNextOne) {
    renderer->auto_transition = false;
    EXPECT_EQ(zrv_standin_set_lookahead(sdk, 1), ZRV_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(zrv_standin_set_lookahead(sdk, 9), ZRV_ERROR_INVALID_ARGUMENT);
    ASSERT_EQ(zrv_standin_set_lookahead(sdk, 3), ZRV_OK);
    ASSERT_EQ(connect("standin:queue=44100/16/2/3000,44100/16/2/300,44100/16/2/3000,44100/16/2/300;lead_ms=0;"
                      "ahead_ms=1000"),
              ZRV_OK);
    ASSERT_TRUE(run_until([&] { return renderer->order.size() == 3; }));
    run_for(50);
    EXPECT_EQ(renderer->order.size(), 3u) << "three streams at most";
    EXPECT_EQ(status().current_stream, 1u);
    EXPECT_EQ(status().next_stream, 2u);

    // A seek keeps the current stream only; the tracks behind it come again.
    ASSERT_EQ(zrv_standin_seek(sdk, 0), ZRV_OK);
    ASSERT_TRUE(run_until([&] { return has("seeked 1 0"); }));
    EXPECT_LT(at("disposed 3"), at("disposed 2"));
    EXPECT_LT(at("disposed 2"), at("seeked 1 0"));
    ASSERT_TRUE(run_until([&] { return renderer->order.size() == 5; }));
    EXPECT_EQ(renderer->streams[5].title, "Stand-in tone 3");
}

// The user removes the next track from the queue: its stream goes and the
// track after it takes its place.
TEST_F(StandinPlayback, WithdrawingTheNextTrackDisposesOfItsStreamAndAnnouncesTheOneAfter) {
    renderer->auto_transition = false;
    EXPECT_EQ(zrv_standin_withdraw_next(sdk), ZRV_ERROR_NOT_CONNECTED);
    ASSERT_EQ(connect("standin:queue=44100/16/2/3000,44100/16/2/300,48000/16/2/300;lead_ms=0;ahead_ms=1000"), ZRV_OK);
    ASSERT_TRUE(run_until([&] { return renderer->order.size() == 2; }));
    EXPECT_EQ(status().queue_length, 3u);
    ASSERT_EQ(zrv_standin_withdraw_next(sdk), ZRV_OK);
    ASSERT_TRUE(run_until([&] { return renderer->order.size() == 3; }));
    EXPECT_TRUE(renderer->streams[2].disposed);
    EXPECT_EQ(renderer->streams[3].info.sample_rate, 48000u) << "the track after the withdrawn one";
    EXPECT_EQ(status().queue_length, 2u);
    EXPECT_EQ(status().current_stream, 1u);
    EXPECT_EQ(status().next_stream, 3u);

    // The last track withdrawn too: nothing follows the current one.
    ASSERT_EQ(zrv_standin_withdraw_next(sdk), ZRV_OK);
    ASSERT_TRUE(run_until([&] { return renderer->streams[3].disposed; }));
    run_for(50);
    EXPECT_EQ(renderer->order.size(), 3u);
    EXPECT_EQ(status().next_stream, 0u);
    EXPECT_EQ(zrv_standin_withdraw_next(sdk), ZRV_ERROR_INVALID_STATE) << "no next stream";
}

TEST_F(StandinPlayback, ReentrantDisposalLetsGoOfStreamsInsideTheFinishedNotification) {
    ASSERT_EQ(zrv_standin_set_reentrant_disposal(sdk, true), ZRV_OK);
    ASSERT_EQ(connect("standin:queue=44100/16/2/200,44100/16/2/200;lead_ms=0"), ZRV_OK);
    ASSERT_TRUE(run_until([&] { return status().streams_disposed == 2 && stopped_and_empty(); }));
    const long moved_on = at("-> finished nothing_queued=false");
    const long ended = at("-> finished nothing_queued=true");
    ASSERT_GE(moved_on, 0);
    ASSERT_GE(ended, 0);
    EXPECT_EQ(at("disposed 1"), moved_on + 1) << "inside the notification";
    EXPECT_EQ(at("disposed 2"), ended + 1);
    EXPECT_EQ(zrv_standin_count_calls("zrv_connect_notify_playback_initiated"), 2u);
    EXPECT_EQ(status().track_index, 0u) << "the queue went back to its start";
}

TEST_F(StandinPlayback, PausedStartAndTheRendererCommands) {
    renderer->auto_transition = false;
    ASSERT_EQ(connect("standin:queue=44100/16/2/5000,44100/16/2/5000;paused;ahead_ms=0"), ZRV_OK);
    ASSERT_TRUE(run_until([&] { return has("initiate 2"); }));
    ZrvPlaybackState state = 0;
    ASSERT_EQ(zrv_connect_get_playback_state(sdk, &state), ZRV_OK);
    EXPECT_EQ(state, ZRV_PLAYBACK_STATE_PAUSED);
    EXPECT_TRUE(has("controls OFF"));
    EXPECT_TRUE(has("next_available true"));

    EXPECT_EQ(zrv_connect_resume_playback(sdk), ZRV_OK);
    ASSERT_TRUE(run_until([&] { return has("resume") && has("state PLAYING"); }));
    EXPECT_EQ(zrv_connect_pause_playback(sdk), ZRV_OK);
    EXPECT_EQ(zrv_connect_get_playback_state(sdk, &state), ZRV_OK);
    EXPECT_EQ(state, ZRV_PLAYBACK_STATE_PAUSED);
    ASSERT_TRUE(run_until([&] { return has("pause"); }));
    EXPECT_EQ(zrv_connect_start_playback(sdk), ZRV_OK) << "start while paused resumes";
    ASSERT_TRUE(run_until([&] { return std::count(events().begin(), events().end(), "resume") == 2; }));

    EXPECT_EQ(zrv_standin_set_service_volume(sdk, 1234), ZRV_OK);
    EXPECT_EQ(zrv_standin_set_service_volume(sdk, 65536), ZRV_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(zrv_standin_set_service_mute(sdk, true), ZRV_OK);
    EXPECT_EQ(zrv_standin_set_max_quality(sdk, ZRV_AUDIO_QUALITY_HIRES1), ZRV_OK);
    EXPECT_EQ(zrv_standin_set_controls(sdk, ZRV_LOOP_MODE_QUEUE, true), ZRV_OK);
    EXPECT_EQ(zrv_standin_set_next_available(sdk, false), ZRV_OK);
    ASSERT_TRUE(run_until([&] { return has("next_available false"); }));
    EXPECT_TRUE(has("volume 1234"));
    EXPECT_TRUE(has("mute true"));
    EXPECT_TRUE(has("quality HIRES1"));
    EXPECT_TRUE(has("controls QUEUE shuffle"));

    EXPECT_EQ(zrv_connect_next_track(sdk), ZRV_OK);
    ASSERT_TRUE(run_until([&] { return renderer->order.size() == 2 && has("disposed 1"); }));
    EXPECT_LT(at("stop"), at("disposed 1"));
    EXPECT_LT(at("disposed 1"), at("new_stream 2 44100/2/0 5000ms @0"));
    EXPECT_EQ(std::count(events().begin(), events().end(), "initiate 1"), 1) << "next keeps playing";
    EXPECT_EQ(zrv_connect_next_track(sdk), ZRV_ERROR_INVALID_STATE) << "no track after the last";

    renderer->position_ms = 4000;  // more than 3 s played: restart the same track
    EXPECT_EQ(zrv_connect_previous_track(sdk), ZRV_OK);
    ASSERT_TRUE(run_until([&] { return renderer->order.size() == 3; }));
    EXPECT_EQ(renderer->streams[3].title, "Stand-in tone 2");
    renderer->position_ms = 1000;
    EXPECT_EQ(zrv_connect_previous_track(sdk), ZRV_OK);
    ASSERT_TRUE(run_until([&] { return renderer->order.size() == 4; }));
    EXPECT_EQ(renderer->streams[4].title, "Stand-in tone 1");

    EXPECT_EQ(zrv_connect_stop_playback(sdk), ZRV_OK);
    ASSERT_TRUE(run_until([&] { return stopped_and_empty(); }));
    EXPECT_EQ(zrv_connect_stop_playback(sdk), ZRV_ERROR_NO_PLAYBACK);
    EXPECT_EQ(zrv_connect_pause_playback(sdk), ZRV_ERROR_NO_PLAYBACK);
    EXPECT_EQ(zrv_connect_start_playback(sdk), ZRV_OK);
    ASSERT_TRUE(run_until([&] { return renderer->order.size() == 5; }));
    EXPECT_EQ(renderer->streams[5].title, "Stand-in tone 1") << "start plays the queue from its current track";
}

TEST_F(StandinPlayback, RendererErrorEndsPlaybackAndDisconnectDeactivates) {
    renderer->auto_transition = false;
    ASSERT_EQ(connect("standin:queue=44100/16/2/5000"), ZRV_OK);
    ASSERT_TRUE(run_until([&] { return has("initiate 1"); }));
    EXPECT_EQ(zrv_connect_notify_playback_initiated(sdk, AudioFormat{0, 2, 0}), ZRV_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(zrv_connect_notify_playback_error(sdk), ZRV_OK);
    ASSERT_TRUE(run_until([&] { return has("disposed 1"); }));
    EXPECT_FALSE(has("stop")) << "the renderer already stopped itself";
    EXPECT_TRUE(stopped_and_empty());
    EXPECT_EQ(zrv_connect_notify_playback_paused(sdk), ZRV_ERROR_NO_PLAYBACK);

    ASSERT_EQ(zrv_standin_play(sdk, 0, 1500, false), ZRV_OK);
    ASSERT_TRUE(run_until([&] { return renderer->order.size() == 2; }));
    EXPECT_EQ(renderer->streams[2].start_ms, 1500u);
    EXPECT_EQ(zrv_connect_deactivate_and_disconnect_renderer(sdk), ZRV_OK);
    ASSERT_TRUE(run_until([&] { return device_events.has("inactive"); }));
    EXPECT_LT(at("stop"), at("disposed 2"));
    const char *session = nullptr;
    EXPECT_EQ(zrv_connect_get_session_id(sdk, &session), ZRV_OK);
    EXPECT_STREQ(session, "");
    EXPECT_EQ(zrv_connect_start_playback(sdk), ZRV_ERROR_NOT_CONNECTED);
}

TEST_F(StandinPlayback, AnEmptyQueueGivesAnActiveSessionWithNothingToPlay) {
    ASSERT_EQ(connect("standin:queue="), ZRV_OK);
    ASSERT_TRUE(run_until([&] { return device_events.has("active"); }));
    run_for(30);
    EXPECT_TRUE(renderer->order.empty());
    EXPECT_EQ(status().queue_length, 0u);
    EXPECT_EQ(zrv_connect_start_playback(sdk), ZRV_ERROR_NO_PLAYBACK);
    ZrvPlaybackState state = 99;
    EXPECT_EQ(zrv_connect_get_playback_state(sdk, &state), ZRV_OK);
    EXPECT_EQ(state, ZRV_PLAYBACK_STATE_STOPPED);
}

TEST_F(StandinPlayback, DemoQueueAndEndpointErrors) {
    EXPECT_EQ(connect("standin:queue=44100/20/2/100"), ZRV_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(connect("standin:queue=44100/16/2"), ZRV_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(connect("standin:volume=3"), ZRV_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(connect("standin:chunk_ms=0"), ZRV_ERROR_INVALID_ARGUMENT);
    EXPECT_FALSE(status().connected) << "a refused connect changes nothing";
    const ZrvStandinTrack bad_format{44100, 2, 3, 1, 1000};
    const ZrvStandinTrack no_channels{44100, 0, 0, 1, 1000};
    EXPECT_EQ(zrv_standin_set_queue(sdk, &bad_format, 1), ZRV_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(zrv_standin_set_queue(sdk, &no_channels, 1), ZRV_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(zrv_standin_set_pacing(sdk, 0, 100, 100), ZRV_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(status().queue_length, 4u) << "the demo queue is untouched";
    EXPECT_EQ(zrv_standin_play(sdk, 0, 0, false), ZRV_ERROR_NOT_CONNECTED);

    ASSERT_EQ(connect("wss://zconnect.invalid/session"), ZRV_OK);
    ASSERT_TRUE(run_until([&] { return has("initiate 1"); }));
    const ZrvStandinStatus s = status();
    EXPECT_EQ(s.queue_length, 4u);
    const FakeStream &first = renderer->streams[1];
    EXPECT_EQ(first.info.sample_rate, 44100u);
    EXPECT_EQ(first.info.sample_format, static_cast<uint32_t>(ZRV_SAMPLE_FORMAT_S16));
    EXPECT_EQ(zrv_standin_set_queue(sdk, nullptr, 0), ZRV_ERROR_INVALID_STATE) << "not while playing";
}

}  // namespace
