// The sink's controls against the "pipewire" fixture's headless server:
// pause, flush and drain heard on test_sink's monitor, volume and mute both
// ways, and a server that goes away (on a server of the test's own). The test
// thread is the sink's loop thread.
#include "pipewire_sink_fixture.h"

namespace {

TEST_F(PipeWireSinkTest, PauseHoldsTheAudioAndResumePlaysTheRest) {
    const AudioFormat format = s16_44100();
    const size_t stride = stride_of(format);
    auto capture = capture_and_open(format);
    ASSERT_TRUE(capture);

    const auto pcm = pw_test_pcm(44100, 2, 0, 7);
    feeder.pcm = pcm;
    feeder.feed();
    // Play about a quarter of a second, then pause.
    run_loop(5000, [&] { return sound_of(capture->bytes(), stride).size() >= 11025 * stride; });
    ASSERT_TRUE(pipewire_sink_pause(sink));
    bool ok = false;
    const uint64_t held = pipewire_sink_buffered_frames(sink, &ok);
    EXPECT_GT(held, 0u);
    uint8_t more[64] = {1};
    EXPECT_EQ(pipewire_sink_write(sink, more, sizeof more, &ok), 0u);
    EXPECT_TRUE(ok);

    // What PipeWire already held may still play; after that only silence.
    run_loop(400);
    const size_t sound_at_pause = sound_of(capture->bytes(), stride).size();
    run_loop(600);
    EXPECT_EQ(sound_of(capture->bytes(), stride).size(), sound_at_pause);
    EXPECT_EQ(pipewire_sink_buffered_frames(sink, &ok), held);
    EXPECT_GT(capture->size(), 0u);

    ASSERT_TRUE(pipewire_sink_resume(sink));
    feeder.pcm.resize(pcm.size() + quantum * stride, 0);
    feeder.feed();
    run_loop(30000, [&] { return feeder.done(); });
    ASSERT_TRUE(feeder.done());
    ASSERT_TRUE(pipewire_sink_drain(sink));
    run_loop(3000, [&] { return sound_of(capture->bytes(), stride).size() >= pcm.size(); });
    // Nothing lost, nothing played twice.
    const auto sound = sound_of(capture->bytes(), stride);
    EXPECT_EQ(sound.size(), pcm.size());
    EXPECT_TRUE(sound == pcm);
    pipewire_sink_close(sink);
}

TEST_F(PipeWireSinkTest, FlushDropsWhatWasBuffered) {
    const AudioFormat format = s16_44100();
    const size_t stride = stride_of(format);
    auto capture = capture_and_open(format);
    ASSERT_TRUE(capture);
    run_loop(300);

    bool ok = false;
    const auto dropped = pw_test_pcm(22050, 2, 0, 11);  // the whole ring
    ASSERT_EQ(pipewire_sink_write(sink, dropped.data(), dropped.size(), &ok), dropped.size());
    ASSERT_TRUE(pipewire_sink_flush(sink));
    EXPECT_EQ(pipewire_sink_buffered_frames(sink, &ok), 0u);

    const auto kept = pw_test_pcm(11025, 2, 0, 12);
    feed_with_a_silent_period(kept, stride);
    ASSERT_TRUE(pipewire_sink_drain(sink));
    run_loop(3000, [&] { return sound_of(capture->bytes(), stride).size() >= kept.size(); });

    // At most the period or two PipeWire had taken of the dropped audio can
    // have played before the kept audio, which plays whole.
    const auto sound = sound_of(capture->bytes(), stride);
    ASSERT_GE(sound.size(), kept.size());
    const size_t played_of_dropped = sound.size() - kept.size();
    EXPECT_LE(played_of_dropped, 2 * quantum * stride);
    EXPECT_TRUE(std::equal(sound.begin(), sound.begin() + played_of_dropped, dropped.begin()));
    EXPECT_TRUE(std::equal(kept.begin(), kept.end(), sound.begin() + played_of_dropped));
    pipewire_sink_close(sink);
}

TEST_F(PipeWireSinkTest, WritesAfterADrainPlayToo) {
    const AudioFormat format = s16_44100();
    const size_t stride = stride_of(format);
    auto capture = capture_and_open(format);
    ASSERT_TRUE(capture);
    const auto first = pw_test_pcm(8820, 2, 0, 21);
    const auto second = pw_test_pcm(8820, 2, 0, 22);
    for (const auto *part : {&first, &second}) {
        feed_with_a_silent_period(*part, stride);
        ASSERT_TRUE(pipewire_sink_drain(sink));
    }
    run_loop(3000, [&] { return sound_of(capture->bytes(), stride).size() >= first.size() + second.size(); });
    auto expected = first;
    expected.insert(expected.end(), second.begin(), second.end());
    EXPECT_EQ(sound_difference(sound_of(capture->bytes(), stride), expected, stride), "");
    pipewire_sink_close(sink);
}

// The Player closes the sink as soon as a drain returns, to reopen it in the
// next track's format: by then the last, partial period must have been
// played, not just handed to PipeWire.
TEST_F(PipeWireSinkTest, ASinkClosedRightAfterADrainHasPlayedEverything) {
    const AudioFormat format = s16_44100();
    const size_t stride = stride_of(format);
    auto capture = capture_and_open(format);
    ASSERT_TRUE(capture);
    run_loop(300);
    bool ok = false;
    const auto pcm = pw_test_pcm(13230, 2, 0, 25);  // three periods and a part of one
    ASSERT_EQ(pipewire_sink_write(sink, pcm.data(), pcm.size(), &ok), pcm.size());
    ASSERT_TRUE(pipewire_sink_drain(sink));
    pipewire_sink_close(sink);
    run_loop(3000, [&] { return sound_of(capture->bytes(), stride).size() >= pcm.size(); });
    EXPECT_EQ(sound_difference(sound_of(capture->bytes(), stride), pcm, stride), "");
}

// Without a session manager nothing links the stream: it runs no cycles,
// so PipeWire never reports it drained.
TEST_F(PipeWireSinkTest, DrainWithoutADrainedEventTimesOutAfterFiveSeconds) {
    PrivateServer server;
    ASSERT_TRUE(server.run("start"));
    ASSERT_TRUE(server.terminate("wireplumber"));
    run_loop(300);
    ASSERT_TRUE(pipewire_sink_open(sink, s16_44100()));
    bool ok = false;
    const auto pcm = pw_test_pcm(4410, 2, 0, 3);
    ASSERT_EQ(pipewire_sink_write(sink, pcm.data(), pcm.size(), &ok), pcm.size());
    run_loop(300);
    testing::internal::CaptureStdout();
    const auto start = Clock::now();
    EXPECT_FALSE(pipewire_sink_drain(sink)) << "nothing was played";
    const long ms = elapsed_ms(start);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_GE(ms, 4990);
    EXPECT_LT(ms, 6000);
    EXPECT_THAT(out, HasSubstr("WARNING JuxApp: PipeWire audio sink drain timed out after 5000 ms"));
    pipewire_sink_close(sink);
}

// A paused stream runs no cycles either: a drain then plays out what the
// ring holds instead of waiting for the time-out (and losing that audio at
// the close that follows), and the sink stays paused.
TEST_F(PipeWireSinkTest, ADrainWhilePausedPlaysOutTheRingAndStaysPaused) {
    const AudioFormat format = s16_44100();
    const size_t stride = stride_of(format);
    auto capture = capture_and_open(format);
    ASSERT_TRUE(capture);
    run_loop(300);

    bool ok = false;
    const auto held = pw_test_pcm(13230, 2, 0, 31);  // 0.3 s
    ASSERT_EQ(pipewire_sink_write(sink, held.data(), held.size(), &ok), held.size());
    ASSERT_TRUE(pipewire_sink_pause(sink));
    run_loop(300);
    testing::internal::CaptureStdout();
    const auto start = Clock::now();
    EXPECT_TRUE(pipewire_sink_drain(sink));
    const long ms = elapsed_ms(start);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_LT(ms, 1500);
    EXPECT_THAT(out, Not(HasSubstr("timed out")));
    EXPECT_EQ(pipewire_sink_buffered_frames(sink, &ok), 0u);
    uint8_t more[64] = {1};
    EXPECT_EQ(pipewire_sink_write(sink, more, sizeof more, &ok), 0u);  // still paused
    EXPECT_TRUE(ok);
    run_loop(3000, [&] { return sound_of(capture->bytes(), stride).size() >= held.size(); });
    EXPECT_EQ(sound_difference(sound_of(capture->bytes(), stride), held, stride), "");

    // Resumed, it plays on as before.
    ASSERT_TRUE(pipewire_sink_resume(sink));
    const auto after = pw_test_pcm(4410, 2, 0, 32);
    ASSERT_EQ(pipewire_sink_write(sink, after.data(), after.size(), &ok), after.size());
    ASSERT_TRUE(pipewire_sink_drain(sink));
    auto expected = held;
    expected.insert(expected.end(), after.begin(), after.end());
    run_loop(3000, [&] { return sound_of(capture->bytes(), stride).size() >= expected.size(); });
    EXPECT_EQ(sound_difference(sound_of(capture->bytes(), stride), expected, stride), "");
    pipewire_sink_close(sink);
}

// At 11025 Hz, S16 stereo, 500 ms are 5512.5 frames: the ring holds 5512
// (22048 bytes). Kept full by writes in pieces that end inside frames, it
// still never splits one.

TEST_F(PipeWireSinkTest, ALostServerIsReportedAndTheNextOpenUsesTheNewOne) {
    PrivateServer server;
    ASSERT_TRUE(server.run("start"));
    struct Lost {
        Feeder *feeder;
        int calls = 0;
    } lost{&feeder};
    SinkCallbacks callbacks{&lost,
                            [](PipeWireSink *s, void *user) { on_need_data(s, static_cast<Lost *>(user)->feeder); },
                            nullptr, nullptr, [](PipeWireSink *, void *user) { ++static_cast<Lost *>(user)->calls; }};
    pipewire_sink_set_callbacks(sink, &callbacks);
    ASSERT_TRUE(pipewire_sink_open(sink, s16_44100()));
    feeder.pcm = pw_test_pcm(44100 * 5, 2, 0, 41);
    feeder.feed();
    run_loop(5000, [&] { return feeder.need_data_calls > 2; });
    ASSERT_GT(feeder.need_data_calls, 2) << "it never played";

    testing::internal::CaptureStdout();
    ASSERT_TRUE(server.terminate("pipewire"));
    const auto killed = Clock::now();
    run_loop(3000, [&] { return lost.calls > 0; });
    const long ms = elapsed_ms(killed);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_THAT(out, HasSubstr("WARNING JuxApp: PipeWire audio sink lost its stream"));
    EXPECT_EQ(lost.calls, 1);
    EXPECT_LT(ms, 1000);
    EXPECT_TRUE(pipewire_sink_is_open(sink));  // closing is the user's decision
    EXPECT_TRUE(pipewire_sink_stream_lost(sink));
    const auto drain_start = Clock::now();
    EXPECT_FALSE(pipewire_sink_drain(sink)) << "the audio left did not play";
    EXPECT_LT(elapsed_ms(drain_start), 1000) << "no wait for a server that is gone";
    pipewire_sink_close(sink);
    EXPECT_TRUE(pipewire_sink_stream_lost(sink)) << "a user that closes to reopen still learns of the loss";

    // A new server in the same place: the next open plays on it.
    ASSERT_TRUE(server.run("start"));
    feeder.need_data_calls = 0;
    feeder.offset = 0;
    ASSERT_TRUE(pipewire_sink_open(sink, s16_44100()));
    EXPECT_FALSE(pipewire_sink_stream_lost(sink));
    feeder.feed();
    run_loop(5000, [&] { return feeder.need_data_calls > 2; });
    EXPECT_GT(feeder.need_data_calls, 2) << "nothing played on the new server";
    EXPECT_EQ(lost.calls, 1);
    pipewire_sink_close(sink);
}

TEST_F(PipeWireSinkTest, VolumeAndMuteTravelBothWays) {
    VolumeEvents events;
    SinkCallbacks callbacks{&events, nullptr, on_volume_changed, on_mute_changed, nullptr};
    pipewire_sink_set_callbacks(sink, &callbacks);
    ASSERT_TRUE(pipewire_sink_open(sink, s16_44100()));
    int node = -1;
    const auto start = Clock::now();
    while ((node = pw_test_node_id("Jux-Zorva")) < 0 && elapsed_ms(start) < 3000) run_loop(50);
    ASSERT_GE(node, 0) << "no node named Jux-Zorva in pw-dump";
    run_loop(300);
    EXPECT_EQ(events.volume_calls, 0);  // unity at connect equals the initial value

    // Our own change is echoed back by PipeWire and must not come back as news.
    pipewire_sink_set_volume(sink, 20000);
    pipewire_sink_set_mute(sink, true);
    run_loop(500);
    EXPECT_EQ(events.volume_calls, 0);
    EXPECT_EQ(events.mute_calls, 0);
    EXPECT_EQ(pipewire_sink_get_volume(sink), 20000u);
    EXPECT_TRUE(pipewire_sink_get_mute(sink));

    // A change made by another PipeWire client reaches the callbacks.
    const std::string id = std::to_string(node);
    pw_test_run("pw-cli set-param " + id + " Props '{ volume: 0.5 }' >/dev/null 2>&1");
    run_loop(3000, [&] { return events.volume_calls > 0; });
    EXPECT_EQ(events.volume_calls, 1);
    EXPECT_EQ(events.last_volume, 32767u);  // 32767.5, truncated
    EXPECT_EQ(pipewire_sink_get_volume(sink), 32767u);

    // PipeWire allows gains above unity; the sink's scale ends at 65535.
    pw_test_run("pw-cli set-param " + id + " Props '{ volume: 2.0 }' >/dev/null 2>&1");
    run_loop(3000, [&] { return events.volume_calls > 1; });
    EXPECT_EQ(events.volume_calls, 2);
    EXPECT_EQ(events.last_volume, 65535u);

    pw_test_run("pw-cli set-param " + id + " Props '{ mute: false }' >/dev/null 2>&1");
    run_loop(3000, [&] { return events.mute_calls > 0; });
    EXPECT_EQ(events.mute_calls, 1);
    EXPECT_FALSE(events.last_muted);
    EXPECT_FALSE(pipewire_sink_get_mute(sink));
    pipewire_sink_close(sink);
}

}  // namespace
