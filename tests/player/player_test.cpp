// The Player's state machine, data path and track transitions on a real loop,
// with the real PipeWire sink and the stand-in SDK recording every call the
// Player makes. The SDK's delegates are driven directly by the test; the
// end-of-track timers are seen by what they do (the log, the SDK calls, the
// hand-over to the next stream).
#include <gtest/gtest.h>

#include <regex>
#include <thread>

#include "player_fixture.h"
#include "pw_capture.h"
#include "pw_private_server.h"

namespace {

// Milliseconds of ring-buffer audio at 44100 Hz.
uint64_t ms_at_44100(uint64_t frames) { return frames * 1000 / 44100; }

// The numbers of the log lines that match the pattern's one group.
std::vector<uint64_t> logged_values(const std::string &out, const std::string &pattern) {
    std::vector<uint64_t> values;
    std::regex re(pattern);
    for (auto it = std::sregex_iterator(out.begin(), out.end(), re); it != std::sregex_iterator(); ++it)
        values.push_back(std::stoull((*it)[1]));
    return values;
}

struct HookCalls {
    std::vector<uint32_t> volumes;
    std::vector<bool> mutes;
};

void record_volume(uint32_t volume, void *data) { static_cast<HookCalls *>(data)->volumes.push_back(volume); }
void record_mute(bool muted, void *data) { static_cast<HookCalls *>(data)->mutes.push_back(muted); }

TEST_F(PlayerTest, SdkLearnsTheSinksVolumeAndMuteAtOnceUnlessVolumeIsExternal) {
    player_set_sdk(player_, sdk());
    EXPECT_EQ(sdk_->calls(), (std::vector<std::string>{"set_volume 65535", "set_mute_state false"}));
    EXPECT_EQ(player_max_audio_quality(player_), static_cast<uint32_t>(ZRV_AUDIO_QUALITY_HIRES3));

    sdk_->clear();
    player_set_external_volume(player_, true);
    player_set_sdk(player_, sdk());
    EXPECT_TRUE(sdk_->calls().empty());
}

TEST_F(PlayerTest, ExternalVolumeGoesToTheHooksAndLeavesSinkAndSdkAlone) {
    HookCalls hooks;
    player_set_external_volume(player_, true);
    player_set_volume_hooks(player_, record_volume, record_mute, &hooks);
    attach_sdk();
    playback_.volume_changed(sdk(), 1234, playback_.user);
    playback_.mute_changed(sdk(), true, playback_.user);
    EXPECT_EQ(hooks.volumes, (std::vector<uint32_t>{1234}));
    EXPECT_EQ(hooks.mutes, (std::vector<bool>{true}));
    EXPECT_EQ(pipewire_sink_get_volume(sink()), 65535u);
    EXPECT_FALSE(pipewire_sink_get_mute(sink()));

    // A change on the audio server's side, made by another client on the
    // open stream's node, is not passed on either.
    announce(1);
    initiate(ZRV_PLAYBACK_STATE_PAUSED);
    int node = -1;
    ASSERT_TRUE(run_until([&] { return (node = pw_test_node_id("Jux-Zorva")) >= 0; }, 3000));
    const auto set_props = [&](const std::string &props) {
        pw_test_run("pw-cli set-param " + std::to_string(node) + " Props '" + props + "' >/dev/null 2>&1");
    };
    sdk_->clear();
    {
        StdoutLog log;
        set_props("{ volume: 0.5 }");
        EXPECT_TRUE(run_until_logged(log, "Volume changed: 32767", 3000));
        set_props("{ mute: true }");
        EXPECT_TRUE(run_until_logged(log, "Mute state changed: true", 3000));
    }
    EXPECT_TRUE(sdk_->calls().empty());

    player_set_external_volume(player_, false);
    set_props("{ volume: 0.25 }");
    EXPECT_TRUE(run_until([&] { return sdk_->count("set_volume 16383") == 1; }, 3000));
    set_props("{ mute: false }");
    EXPECT_TRUE(run_until([&] { return sdk_->count("set_mute_state false") == 1; }, 3000));
    EXPECT_EQ(sdk_->calls(), (std::vector<std::string>{"set_volume 16383", "set_mute_state false"}));

    playback_.volume_changed(sdk(), 30000, playback_.user);
    playback_.mute_changed(sdk(), true, playback_.user);
    EXPECT_EQ(pipewire_sink_get_volume(sink()), 30000u);
    EXPECT_TRUE(pipewire_sink_get_mute(sink()));
    EXPECT_EQ(hooks.volumes.size(), 1u);
}

TEST_F(PlayerTest, InitiateWithoutAStreamTakesTheErrorPath) {
    attach_sdk();
    initiate(ZRV_PLAYBACK_STATE_PLAYING);
    EXPECT_EQ(sdk_->calls(), (std::vector<std::string>{"notify_playback_error"}));
    EXPECT_EQ(state(), PLAYER_STATE_STOPPED);
    EXPECT_FALSE(pipewire_sink_is_open(sink()));
}

TEST_F(PlayerTest, InitiatePausedOpensAndPausesTheSinkAndTakesNoDataUntilResume) {
    attach_sdk();
    announce(1);
    initiate(ZRV_PLAYBACK_STATE_PAUSED);
    EXPECT_TRUE(pipewire_sink_is_open(sink()));
    EXPECT_EQ(state(), PLAYER_STATE_PAUSED);
    EXPECT_EQ(sdk_->calls(), (std::vector<std::string>{"notify_playback_initiated 44100 2 0"}));
    EXPECT_FALSE(audio_stream_is_delivering(stream(1)));
    EXPECT_EQ(push(1, 4096), 0u);

    sdk_->clear();
    resume();
    EXPECT_EQ(state(), PLAYER_STATE_PLAYING);
    EXPECT_EQ(sdk_->calls(), (std::vector<std::string>{"resume_audio_delivery 1", "notify_playback_resumed"}));
    EXPECT_EQ(push(1, 4096), 4096u);
}

TEST_F(PlayerTest, InitiatePlayingAfterAnEarlierPauseTakesDataAgain) {
    attach_sdk();
    announce(1);
    initiate(ZRV_PLAYBACK_STATE_PLAYING);
    EXPECT_EQ(push(1, 4096), 4096u);
    pause();
    EXPECT_EQ(state(), PLAYER_STATE_PAUSED);
    stop();
    EXPECT_EQ(state(), PLAYER_STATE_STOPPED);
    EXPECT_FALSE(pipewire_sink_is_open(sink()));

    hold_service_session();  // the stand-in ended its playback at the stop
    initiate(ZRV_PLAYBACK_STATE_PLAYING);
    EXPECT_EQ(state(), PLAYER_STATE_PLAYING);
    EXPECT_EQ(sdk_->calls(),
              (std::vector<std::string>{"resume_audio_delivery 1", "notify_playback_initiated 44100 2 0"}));
    EXPECT_EQ(push(1, 4096), 4096u) << "the sink's pause from before the stop must not refuse the new playback";
}

// The sink's pause outlives a stop, and an initiate with state 0 leaves the
// Player STOPPED on a paused sink: the track's end there is nobody's to follow,
// so it arms nothing and never reaches a drain of the paused sink.
TEST_F(PlayerTest, TheEndOfATrackOnASinkLeftPausedArmsNothingWhileStopped) {
    attach_sdk();
    announce(1);
    initiate(ZRV_PLAYBACK_STATE_PLAYING);
    pause();
    stop();
    hold_service_session();
    initiate(0);
    ASSERT_TRUE(pipewire_sink_is_open(sink()));
    ASSERT_EQ(state(), PLAYER_STATE_STOPPED);
    sdk_->clear();
    testing::internal::CaptureStdout();
    finished(1);
    run_for(300);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(pipewire_sink_is_open(sink()));
    EXPECT_EQ(out.find("drain"), std::string::npos) << out;
    EXPECT_EQ(sdk_->count("notify_playback_finished"), 0u) << testing::PrintToString(sdk_->calls());
}

TEST_F(PlayerTest, InitiateWhilePlayingStartsAfreshInsteadOfFailing) {
    attach_sdk();
    announce(1);
    initiate(ZRV_PLAYBACK_STATE_PLAYING);
    fill(1);
    sdk_->clear();
    initiate(ZRV_PLAYBACK_STATE_PLAYING);
    EXPECT_EQ(state(), PLAYER_STATE_PLAYING);
    EXPECT_EQ(sdk_->count("notify_playback_error"), 0u);
    EXPECT_EQ(sdk_->count("notify_playback_initiated 44100 2 0"), 1u);
    EXPECT_LT(buffered_frames(), 100u) << "the old playback's audio is gone";
}

TEST_F(PlayerTest, PauseOrResumeWhileStoppedReportAPlaybackError) {
    attach_sdk();
    pause();
    EXPECT_EQ(state(), PLAYER_STATE_STOPPED);
    resume();
    EXPECT_EQ(state(), PLAYER_STATE_STOPPED);
    EXPECT_EQ(sdk_->calls(), (std::vector<std::string>{"notify_playback_error", "notify_playback_error"}));

    // A seek start on a stopped Player flushes nothing, moves to
    // SEEKING_PAUSED and makes the current stream the flowing one: once the
    // seek report has resumed its delivery, the next playback error stops it.
    announce(1);
    seek_started();
    EXPECT_EQ(state(), PLAYER_STATE_SEEKING_PAUSED);
    EXPECT_EQ(position(), 0u) << "closed sink";
    seeked(1, 0);
    ASSERT_TRUE(delivering(1));
    pause();
    EXPECT_FALSE(delivering(1));
}

TEST_F(PlayerTest, WriteWhilePausedTakesNothingAndWriteToAClosedSinkStopsPlayback) {
    attach_sdk();
    announce(1);
    initiate(ZRV_PLAYBACK_STATE_PLAYING);
    pause();
    stream_manager_resume_delivery(stream(1));
    EXPECT_EQ(push(1, 4096), 0u);
    EXPECT_EQ(state(), PLAYER_STATE_PAUSED) << "no error while paused";

    stop();
    sdk_->clear();
    stream_manager_resume_delivery(stream(1));
    EXPECT_EQ(push(1, 4096), 0u);
    EXPECT_EQ(state(), PLAYER_STATE_STOPPED);
    EXPECT_EQ(sdk_->calls(), (std::vector<std::string>{"resume_audio_delivery 1", "notify_playback_error"}));
    EXPECT_FALSE(audio_stream_is_delivering(stream(1)));
}

TEST_F(PlayerTest, PositionIsPlayedMinusBuffered) {
    attach_sdk();
    // 9.5 s before the stream starts, then 0.5 s accepted: 10 s worth of bytes.
    announce(1, 44100, 2, 0, 9500);
    initiate(ZRV_PLAYBACK_STATE_PLAYING);
    size_t taken = fill(1);
    EXPECT_GE(taken, 88200u) << "the ring buffer holds 500 ms";
    EXPECT_EQ(audio_stream_position_bytes(stream(1)), 1675800u + taken);
    uint64_t played_ms = (1675800u + taken) / 4 * 1000 / 44100;  // 10000 when nothing played during the fill

    uint64_t before = buffered_frames();
    uint64_t pos = position();
    uint64_t after = buffered_frames();
    EXPECT_GE(pos, played_ms - ms_at_44100(before));
    EXPECT_LE(pos, played_ms - ms_at_44100(after));
    EXPECT_GE(pos, 9500u);

    // Once the ring buffer has played out, the position is what was taken.
    ASSERT_TRUE(run_until([&] { return buffered_frames() == 0; }, 3000));
    EXPECT_EQ(position(), played_ms);

    // While a seek is in progress: the position when it began, not the target.
    seek_started();
    EXPECT_EQ(state(), PLAYER_STATE_SEEKING_PLAYING);
    seeked(1, 60000);  // stands for the SDK's report, which sets the target position
    EXPECT_EQ(state(), PLAYER_STATE_PLAYING);
    seek_started();
    EXPECT_EQ(position(), 60000u);
    EXPECT_EQ(audio_stream_position_bytes(stream(1)), 60000u * 44100 / 1000 * 4);
}

TEST_F(PlayerTest, PositionIsZeroWhenTheBufferHoldsMoreThanThisTrackPlayed) {
    attach_sdk();
    announce(1);
    announce(2);
    initiate(ZRV_PLAYBACK_STATE_PLAYING);
    EXPECT_EQ(push(1, 4410 * 4), 17640u);  // a 100 ms track
    finished(1);
    ASSERT_TRUE(run_until([&] { return delivering(2); }, 1000))
        << "gapless hand-over at once: less than 500 ms buffered";
    fill(2);
    ASSERT_GT(ms_at_44100(buffered_frames()), 200u);
    EXPECT_EQ(position(), 0u);
}

TEST_F(PlayerTest, BackPressureStopsDeliveryUntilTheSinkAsksForData) {
    attach_sdk();
    announce(1);
    initiate(ZRV_PLAYBACK_STATE_PLAYING);
    size_t taken = fill(1, 10000);
    EXPECT_GE(taken, 88200u);
    EXPECT_FALSE(audio_stream_is_delivering(stream(1)));
    EXPECT_EQ(push(1, 10000), 0u);

    sdk_->clear();
    ASSERT_TRUE(run_until([&] { return audio_stream_is_delivering(stream(1)); }, 3000))
        << "the need-data notification resumes delivery";
    EXPECT_EQ(sdk_->count("resume_audio_delivery 1"), 1u);
    EXPECT_GT(push(1, 10000), 0u);
}

TEST_F(PlayerTest, EndOfDataArmsTheTimersFromTheBufferedAudio) {
    attach_sdk();
    announce(1);
    initiate(ZRV_PLAYBACK_STATE_PLAYING);
    EXPECT_EQ(push(1, 13230 * 4), 52920u);  // 300 ms
    sdk_->clear();
    std::string out;
    uint64_t before = 0, after = 0;
    {
        StdoutLog log;
        before = buffered_frames();
        finished(1);
        after = buffered_frames();
        // Nothing queued: finished with nothing queued, drained, closed, stopped.
        EXPECT_TRUE(run_until([&] { return state() == PLAYER_STATE_STOPPED; }, 3000));
        out = log.text();
    }
    EXPECT_EQ(logged_values(out, "Scheduling playback nearly finished timer: (\\d+)ms"), (std::vector<uint64_t>{0}));
    auto finished_ms = logged_values(out, "Scheduling playback finished timer for: (\\d+)ms");
    ASSERT_EQ(finished_ms.size(), 1u) << out;
    EXPECT_LE(finished_ms[0], ms_at_44100(before));
    EXPECT_GE(finished_ms[0], ms_at_44100(after));
    EXPECT_LE(finished_ms[0], 300u);
    // The nearly-finished moment first, then the finished one.
    const size_t nearly_at = out.find("Playback is nearly finished");
    ASSERT_NE(nearly_at, std::string::npos) << out;
    EXPECT_LT(nearly_at, out.find("Playback has finished")) << out;
    EXPECT_EQ(sdk_->calls(), (std::vector<std::string>{"notify_playback_finished true"}));
    EXPECT_FALSE(pipewire_sink_is_open(sink()));
    EXPECT_FALSE(delivering(1));
}

TEST_F(PlayerTest, EndOfDataOfAStreamThatIsNotCurrentArmsNothing) {
    attach_sdk();
    announce(1);
    announce(2);
    initiate(ZRV_PLAYBACK_STATE_PLAYING);
    sdk_->clear();
    StdoutLog log;
    finished(2);
    run_for(200);  // timers for the empty sink would have fired at once
    EXPECT_EQ(sdk_count_substr(log.text(), "Playback is nearly finished"), 0u);
    EXPECT_EQ(sdk_->count("notify_playback_finished false"), 0u);
}

TEST_F(PlayerTest, EndOfDataWhilePausedArmsPausedTimersThatRunAfterResume) {
    attach_sdk();
    announce(1);
    initiate(ZRV_PLAYBACK_STATE_PLAYING);
    push(1, 4096);
    pause();
    StdoutLog log;
    finished(1);
    EXPECT_EQ(sdk_count_substr(log.text(), "Scheduling playback finished timer"), 1u) << "armed";
    run_for(300);
    EXPECT_EQ(sdk_count_substr(log.text(), "Playback is nearly finished"), 0u) << "paused timers do not fire";
    EXPECT_EQ(sdk_->count("notify_playback_finished true"), 0u) << "paused timers do not fire";

    resume();
    ASSERT_TRUE(run_until([&] { return sdk_->count("notify_playback_finished true") == 1; }, 3000));
    EXPECT_EQ(sdk_count_substr(log.text(), "Playback is nearly finished"), 1u);
    EXPECT_EQ(state(), PLAYER_STATE_STOPPED);
}

TEST_F(PlayerTest, PauseBetweenTheTwoMomentsPausesTheFinishedTimerOnly) {
    attach_sdk();
    announce(1);
    initiate(ZRV_PLAYBACK_STATE_PLAYING);
    push(1, 13230 * 4);  // 300 ms
    StdoutLog log;
    finished(1);
    // Nearly-finished at 0 ms: one loop turn runs it, the finished timer is still due.
    ASSERT_TRUE(run_until_logged(log, "Playback is nearly finished", 1000));
    ASSERT_EQ(sdk_count_substr(log.text(), "Playback has finished"), 0u);
    pause();
    run_for(400);
    EXPECT_EQ(sdk_count_substr(log.text(), "Playback has finished"), 0u) << "the finished timer is paused";

    // A next stream of the same format announced now, while paused between
    // the two moments, is handed the sink at once (and takes data on resume).
    announce(2);
    EXPECT_TRUE(delivering(2));
    EXPECT_EQ(push(2, 4096), 0u) << "the sink is paused";
    sdk_->clear();
    resume();
    EXPECT_EQ(sdk_->count("resume_audio_delivery 2"), 1u);
    EXPECT_EQ(push(2, 4096), 4096u);
    EXPECT_TRUE(run_until_logged(log, "Playback has finished", 1000)) << "the finished timer runs again";
}

TEST_F(PlayerTest, HandOverOnlyBetweenTheTwoMomentsAndOnlyForTheSameFormat) {
    attach_sdk();
    announce(1);
    announce(2);  // announced early: waits
    EXPECT_FALSE(audio_stream_is_delivering(stream(2)));
    initiate(ZRV_PLAYBACK_STATE_PLAYING);
    EXPECT_FALSE(audio_stream_is_delivering(stream(2)));
    fill(1);
    EXPECT_FALSE(audio_stream_is_delivering(stream(2)));

    finished(1);
    ASSERT_TRUE(run_until([&] { return delivering(2); }, 1000));
    EXPECT_TRUE(stream_manager_is_current(streams(), stream(1))) << "the old stream keeps its role";

    // Gapless end: finished with something queued, initiated with the same format.
    sdk_->clear();
    ASSERT_TRUE(run_until([&] { return sdk_->count("notify_playback_initiated 44100 2 0") == 1; }, 3000));
    EXPECT_EQ(sdk_->calls()[0], "notify_playback_finished false");
    EXPECT_TRUE(pipewire_sink_is_open(sink()));
    EXPECT_EQ(state(), PLAYER_STATE_PLAYING);
    disposed(1);
    EXPECT_TRUE(stream_manager_is_current(streams(), stream(2)));
    EXPECT_TRUE(sink_asks_for(2)) << "the flowing next stream simply becomes current";
}

TEST_F(PlayerTest, AnotherFormatNeverStartsEarlyAndReopensTheSinkAtTheFinishedMoment) {
    attach_sdk();
    announce(1);
    announce(2, 96000, 2, ZRV_SAMPLE_FORMAT_S24_32);
    announce(3, 44100, 1, ZRV_SAMPLE_FORMAT_S16);
    initiate(ZRV_PLAYBACK_STATE_PLAYING);
    push(1, 8820 * 4);
    StdoutLog log;
    finished(1);
    ASSERT_TRUE(run_until_logged(log, "Playback is nearly finished", 1000));
    EXPECT_FALSE(delivering(2));
    EXPECT_TRUE(delivering(1));

    sdk_->clear();
    ASSERT_TRUE(run_until([&] { return sdk_->count("notify_playback_initiated 96000 2 1") == 1; }, 3000));
    EXPECT_EQ(sdk_->calls(), (std::vector<std::string>{"notify_playback_finished false", "resume_audio_delivery 2",
                                                       "notify_playback_initiated 96000 2 1"}));
    size_t taken = fill(2, 8192);
    EXPECT_GT(taken, 88200u) << "the sink was reopened for 96000 Hz, 4-byte samples";
    EXPECT_LT(taken, 384000u + 4 * 16384u * 4);

    // The mono 44100 Hz stream is a format change too, once it is next.
    disposed(1);
    EXPECT_TRUE(sink_asks_for(2)) << "the stream that became current still flows";
    finished(2);
    ASSERT_TRUE(run_until_logged(log, "Playback is nearly finished", 1000, 2));
    EXPECT_FALSE(delivering(3));
}

TEST_F(PlayerTest, ANextStreamAnnouncedAfterTheNearlyFinishedMomentFlowsAtOnce) {
    attach_sdk();
    announce(1);
    initiate(ZRV_PLAYBACK_STATE_PLAYING);
    fill(1);
    StdoutLog log;
    finished(1);
    ASSERT_TRUE(run_until_logged(log, "Playback is nearly finished", 1000));
    ASSERT_EQ(sdk_count_substr(log.text(), "Playback has finished"), 0u);
    sdk_->clear();
    announce(2);
    EXPECT_TRUE(delivering(2));
    EXPECT_EQ(sdk_->calls(), (std::vector<std::string>{"resume_audio_delivery 2"}));
    announce(3);  // neither current nor next: waits
    EXPECT_FALSE(delivering(3));
}

TEST_F(PlayerTest, AShortNextTrackGetsItsFinishedTimerAtTheOldTracksEnd) {
    attach_sdk();
    announce(1);
    announce(2);
    initiate(ZRV_PLAYBACK_STATE_PLAYING);
    push(1, 4410 * 4);
    finished(1);
    ASSERT_TRUE(run_until([&] { return audio_stream_is_delivering(stream(2)); }, 1000));
    push(2, 4410 * 4);
    finished(2);  // not current yet: arms nothing
    sdk_->clear();
    testing::internal::CaptureStdout();
    bool initiated = run_until([&] { return sdk_->count("notify_playback_initiated 44100 2 0") == 1; }, 3000);
    std::string out = testing::internal::GetCapturedStdout();
    ASSERT_TRUE(initiated) << out;
    EXPECT_EQ(logged_values(out, "Scheduling playback nearly finished timer: (\\d+)ms").size(), 0u) << out;
    auto finished_ms = logged_values(out, "Scheduling playback finished timer for: (\\d+)ms");
    ASSERT_EQ(finished_ms.size(), 1u) << out;
    // The 100 ms of the short track, plus what is left of the old one: the
    // sink reads the ring buffer a whole period at a time.
    EXPECT_GE(finished_ms[0], 90u);
    EXPECT_LE(finished_ms[0], 200u);
    // That finished timer runs (the test's SDK keeps the old stream, so the
    // track ends again as one with a next one); no nearly-finished moment comes.
    StdoutLog log;
    ASSERT_TRUE(run_until([&] { return sdk_->count("notify_playback_finished false") == 2; }, 1000));
    EXPECT_EQ(sdk_count_substr(log.text(), "Playback is nearly finished"), 0u) << log.text();
}

TEST_F(PlayerTest, ASeekStopsTheTimersAndTakesBackAnEarlyHandOver) {
    attach_sdk();
    announce(1);
    announce(2);
    initiate(ZRV_PLAYBACK_STATE_PLAYING);
    push(1, 4096);
    finished(1);
    ASSERT_TRUE(run_until([&] { return delivering(2); }, 1000));

    sdk_->clear();
    seek_started();
    EXPECT_EQ(state(), PLAYER_STATE_SEEKING_PLAYING);
    EXPECT_FALSE(delivering(2));
    EXPECT_EQ(buffered_frames(), 0u) << "flushed";
    run_for(200);  // the finished timer had some 23 ms left
    EXPECT_EQ(sdk_->count("notify_playback_finished false"), 0u) << "the seek stopped the finished timer";

    seeked(1, 1000);
    EXPECT_EQ(audio_stream_state(stream(1)), STREAM_STATE_ACTIVE);
    EXPECT_TRUE(delivering(1));
    EXPECT_EQ(state(), PLAYER_STATE_PLAYING);
    EXPECT_TRUE(sink_asks_for(1)) << "the hand-over was taken back";
    finished(1);  // armed again by the next end-of-data report
    EXPECT_TRUE(run_until([&] { return sdk_->count("notify_playback_finished false") == 1; }, 3000));
}

TEST_F(PlayerTest, DisposingOfTheFlowingStreams) {
    attach_sdk();
    announce(1);
    announce(2);
    announce(3);
    initiate(ZRV_PLAYBACK_STATE_PLAYING);

    // The flowing current stream goes: nothing flows until the next initiate,
    // though the playing sink asks for data all the while.
    sdk_->clear();
    disposed(1);
    EXPECT_EQ(stream_manager_current(streams()), stream(2));
    run_for(200);
    EXPECT_FALSE(delivering(2));
    EXPECT_TRUE(sdk_->calls().empty()) << testing::PrintToString(sdk_->calls());

    initiate(ZRV_PLAYBACK_STATE_PLAYING);
    fill(2);  // keeps the finished moment some 500 ms away
    finished(2);
    ASSERT_TRUE(run_until([&] { return delivering(3); }, 1000));
    announce(4);

    // The flowing next stream is withdrawn past the nearly-finished moment:
    // the one that becomes next is handed the sink at once.
    disposed(3);
    EXPECT_EQ(stream_manager_next(streams()), stream(4));
    EXPECT_TRUE(delivering(4));

    // With nothing behind it, the current stream flows again.
    disposed(4);
    EXPECT_EQ(stream_manager_next(streams()), nullptr);
    EXPECT_TRUE(sink_asks_for(2));
}

TEST_F(PlayerTest, StopResetsEverythingAndTellsTheSdk) {
    attach_sdk();
    announce(1);
    initiate(ZRV_PLAYBACK_STATE_PLAYING);
    push(1, 4096);
    finished(1);
    sdk_->clear();
    stop();
    EXPECT_EQ(sdk_->calls(), (std::vector<std::string>{"notify_playback_stopped"}));
    EXPECT_EQ(state(), PLAYER_STATE_STOPPED);
    EXPECT_FALSE(pipewire_sink_is_open(sink()));
    EXPECT_FALSE(delivering(1));
    run_for(200);
    EXPECT_EQ(sdk_->count("notify_playback_finished true"), 0u) << "the stop stopped the timers";
}

}  // namespace

namespace {

TEST_F(PlayerTest, AFailedInitiatedNotificationStopsPlaybackAgain) {
    attach_sdk();
    announce(1);
    zrv_standin_inject_error("zrv_connect_notify_playback_initiated", ZRV_ERROR_INTERNAL, 1);
    testing::internal::CaptureStdout();
    initiate(ZRV_PLAYBACK_STATE_PLAYING);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("ERROR JuxApp: Failed to notify Zorva Connect of initiating playback: Internal error"),
              std::string::npos)
        << out;
    EXPECT_EQ(state(), PLAYER_STATE_STOPPED);
    EXPECT_FALSE(pipewire_sink_is_open(sink()));
    EXPECT_FALSE(delivering(1));
    EXPECT_EQ(sdk_->count("notify_playback_error"), 1u);
}

TEST_F(PlayerTest, AFailedFinishedNotificationAbandonsTheTransition) {
    attach_sdk();
    announce(1);
    announce(2, 48000, 2, ZRV_SAMPLE_FORMAT_S24_32);
    initiate(ZRV_PLAYBACK_STATE_PLAYING);
    push(1, 4096);
    zrv_standin_inject_error("zrv_connect_notify_playback_finished", ZRV_ERROR_NETWORK, 1);
    testing::internal::CaptureStdout();
    finished(1);
    bool fired = run_until([&] { return sdk_->count("notify_playback_finished false") == 1; }, 2000);
    run_for(50);
    std::string out = testing::internal::GetCapturedStdout();
    ASSERT_TRUE(fired);
    EXPECT_NE(out.find("Failed to notify Zorva Connect of playback finishing: Network error"), std::string::npos);
    EXPECT_EQ(state(), PLAYER_STATE_PLAYING);
    EXPECT_EQ(sdk_->count("notify_playback_initiated 48000 2 1"), 0u) << "no reopen for the next format";
    EXPECT_TRUE(sink_asks_for(1)) << "the old stream still flows";
}

TEST_F(PlayerTest, AFailedGaplessNotificationIsOnlyLogged) {
    attach_sdk();
    announce(1);
    announce(2);
    initiate(ZRV_PLAYBACK_STATE_PLAYING);
    push(1, 4096);
    sdk_->clear();
    zrv_standin_inject_error("zrv_connect_notify_playback_initiated", ZRV_ERROR_INTERNAL, 1);
    testing::internal::CaptureStdout();
    finished(1);
    bool fired = run_until([&] { return sdk_->count("notify_playback_initiated 44100 2 0") == 1; }, 2000);
    std::string out = testing::internal::GetCapturedStdout();
    ASSERT_TRUE(fired);
    EXPECT_NE(out.find("Failed to notify Zorva Connect of initiating playback (gapless): Internal error"),
              std::string::npos);
    EXPECT_EQ(state(), PLAYER_STATE_PLAYING);
    EXPECT_TRUE(delivering(2));
}

TEST_F(PlayerTest, AFailedReopenForTheNextFormatStopsWithAPlaybackError) {
    attach_sdk();
    announce(1);
    announce(2, 44100, 2, ZRV_SAMPLE_FORMAT_S32);  // a format the sink refuses
    initiate(ZRV_PLAYBACK_STATE_PLAYING);
    push(1, 4096);
    finished(1);
    ASSERT_TRUE(run_until([&] { return state() == PLAYER_STATE_STOPPED; }, 3000));
    EXPECT_EQ(sdk_->calls(), (std::vector<std::string>{"resume_audio_delivery 1", "notify_playback_initiated 44100 2 0",
                                                       "notify_playback_finished false", "notify_playback_error"}));
    EXPECT_FALSE(pipewire_sink_is_open(sink()));
    EXPECT_FALSE(delivering(1));
    EXPECT_FALSE(delivering(2));
}

// The server destroys the stream's node while the sink drains the old track
// at a change of format: the close that follows must not hide the loss,
// which ends the playback with an error like any other loss, although the
// server is still there to reopen on. A server of the test's own without
// its session manager links nothing, so the drain waits for the loss rather
// than for the audio.
TEST_F(PlayerTest, AStreamLostDuringTheDrainOfAFormatChangeIsAPlaybackError) {
    PrivateServer server;
    ASSERT_TRUE(server.run("start"));
    ASSERT_TRUE(server.terminate("wireplumber"));
    run_for(300);
    attach_sdk();
    announce(1);
    announce(2, 48000, 2, ZRV_SAMPLE_FORMAT_S24_32);
    initiate(ZRV_PLAYBACK_STATE_PLAYING);
    push(1, 4096);
    int node = -1;
    ASSERT_TRUE(run_until([&] { return (node = pw_test_node_id("Jux-Zorva")) >= 0; }, 3000));
    StdoutLog log;
    std::thread destroy_node([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(1000));
        pw_test_run("pw-cli destroy " + std::to_string(node) + " >/dev/null 2>&1");
    });
    finished(1);
    const auto start = std::chrono::steady_clock::now();
    const bool stopped = run_until([&] { return state() == PLAYER_STATE_STOPPED; }, 8000);
    const auto took = std::chrono::steady_clock::now() - start;
    destroy_node.join();
    run_for(100);  // the sink's own report of the loss comes after the close
    ASSERT_TRUE(stopped);
    EXPECT_LT(took, std::chrono::milliseconds(4000)) << "the drain ended with the loss, not at its time-out";
    EXPECT_NE(log.text().find("Unable to change the audio format: the PipeWire audio sink lost its stream"),
              std::string::npos);
    EXPECT_EQ(sdk_->calls(), (std::vector<std::string>{"resume_audio_delivery 1", "notify_playback_initiated 44100 2 0",
                                                       "notify_playback_finished false", "notify_playback_error"}));
    EXPECT_FALSE(pipewire_sink_is_open(sink()));
}

}  // namespace

namespace {

// The seek report ends only a seek in progress.
TEST_F(PlayerTest, ASeekReportLeavesEveryStateButTheTwoSeekingOnesAlone) {
    attach_sdk();
    announce(1);
    seeked(1, 0);
    EXPECT_EQ(state(), PLAYER_STATE_STOPPED) << "no seek started";

    initiate(ZRV_PLAYBACK_STATE_PLAYING);
    seeked(1, 0);
    EXPECT_EQ(state(), PLAYER_STATE_PLAYING) << "no seek started";

    seek_started();
    pause();  // between the seek start and its report
    seeked(1, 0);
    EXPECT_EQ(state(), PLAYER_STATE_PAUSED);
    seek_started();
    EXPECT_EQ(state(), PLAYER_STATE_SEEKING_PAUSED);
    seeked(1, 0);
    EXPECT_EQ(state(), PLAYER_STATE_PAUSED);
}

// Two seek starts before the first one's report: the second replaces the
// target only. The state to return to and the position reported stay those
// the first one found, whichever of the two reports comes first.
TEST_F(PlayerTest, ASeekStartDuringASeekKeepsTheStateAndPositionTheFirstOneFound) {
    attach_sdk();
    announce(1, 44100, 2, 0, 10000);
    initiate(ZRV_PLAYBACK_STATE_PLAYING);
    fill(1);
    seek_started();
    EXPECT_EQ(state(), PLAYER_STATE_SEEKING_PLAYING);
    const uint64_t at_first = position();
    EXPECT_GE(at_first, 9500u);
    // The first seek start flushed what was buffered: a position taken now
    // would be larger by all of it.
    seek_started();
    EXPECT_EQ(state(), PLAYER_STATE_SEEKING_PLAYING);
    EXPECT_EQ(position(), at_first) << "the position the first seek reported";
    EXPECT_EQ(buffered_frames(), 0u) << "each seek start flushes";
    seeked(1, 30000);
    EXPECT_EQ(state(), PLAYER_STATE_PLAYING);
    seeked(1, 60000);
    EXPECT_EQ(state(), PLAYER_STATE_PLAYING);

    pause();
    seek_started();
    seek_started();
    EXPECT_EQ(state(), PLAYER_STATE_SEEKING_PAUSED);
    seeked(1, 0);
    EXPECT_EQ(state(), PLAYER_STATE_PAUSED);
}

// A late end of data: the stream stays current after a stop or a playback
// error until the SDK disposes of it, and its end-of-data report must not
// start a track end nobody plays.
TEST_F(PlayerTest, AnEndOfDataReportAfterAStopOrAPlaybackErrorArmsNothing) {
    attach_sdk();
    announce(1);
    initiate(ZRV_PLAYBACK_STATE_PLAYING);
    push(1, 4096);
    stop();
    sdk_->clear();
    finished(1);
    run_for(100);  // timers for the closed sink would have fired at once
    EXPECT_EQ(sdk_->count("notify_playback_finished true"), 0u);

    hold_service_session();  // the stand-in ended its playback at the stop
    disposed(1);
    announce(2);
    zrv_standin_inject_error("zrv_connect_notify_playback_initiated", ZRV_ERROR_INTERNAL, 1);
    initiate(ZRV_PLAYBACK_STATE_PLAYING);
    ASSERT_EQ(sdk_->count("notify_playback_error"), 1u);
    sdk_->clear();
    finished(2);
    run_for(300);
    EXPECT_TRUE(sdk_->calls().empty()) << "no finished notification, no drain or write on the closed sink";
}

TEST_F(PlayerTest, AnEndOfDataReportDuringASeekWaitsForTheOneAfterTheSeek) {
    attach_sdk();
    announce(1);
    initiate(ZRV_PLAYBACK_STATE_PLAYING);
    push(1, 4096);
    seek_started();
    finished(1);  // the end of the data from before the seek
    run_for(100);
    EXPECT_EQ(sdk_->count("notify_playback_finished true"), 0u);
    seeked(1, 1000);
    push(1, 4096);
    finished(1);
    ASSERT_TRUE(run_until([&] { return state() == PLAYER_STATE_STOPPED; }, 3000));
    EXPECT_EQ(sdk_->count("notify_playback_finished true"), 1u);
}

// A next track whose data is complete only after the old track's finished
// moment, but before the SDK disposed of the old stream, reported its end
// while it was not current yet: it is followed once it becomes current.
TEST_F(PlayerTest, ANextTracksEndReportedBeforeItBecameCurrentIsStillFollowed) {
    attach_sdk();
    announce(1);
    announce(2);
    initiate(ZRV_PLAYBACK_STATE_PLAYING);
    push(1, 4410 * 4);
    finished(1);
    ASSERT_TRUE(run_until([&] { return sdk_->count("notify_playback_initiated 44100 2 0") == 2; }, 3000));
    push(2, 4410 * 4);
    finished(2);   // not current yet
    run_for(300);  // what is left of both tracks has played by now
    EXPECT_EQ(sdk_->count("notify_playback_finished true"), 0u);
    hold_service_session();  // the stand-in knows no next track: it ended its playback
    disposed(1);
    ASSERT_TRUE(run_until([&] { return state() == PLAYER_STATE_STOPPED; }, 3000)) << "the queue stalled";
    EXPECT_EQ(sdk_->count("notify_playback_finished true"), 1u);
}

}  // namespace
