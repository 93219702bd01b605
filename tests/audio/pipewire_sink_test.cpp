// The sink against the "pipewire" fixture's headless server: opening and
// its refusals, the output device, and what reaches test_sink's monitor, bit
// for bit, at several rates and formats. The test thread is the sink's loop
// thread.
#include "pipewire_sink_fixture.h"

namespace {

TEST_F(PipeWireSinkTest, OperationsOnAClosedSinkFailWithTheirErrorLine) {
    bool ok = true;
    uint8_t byte = 1;
    testing::internal::CaptureStdout();
    EXPECT_EQ(pipewire_sink_write(sink, &byte, 1, &ok), 0u);
    EXPECT_FALSE(ok);
    ok = true;
    EXPECT_EQ(pipewire_sink_buffered_frames(sink, &ok), 0u);
    EXPECT_FALSE(ok);
    EXPECT_FALSE(pipewire_sink_pause(sink));
    EXPECT_FALSE(pipewire_sink_resume(sink));
    EXPECT_FALSE(pipewire_sink_flush(sink));
    EXPECT_FALSE(pipewire_sink_drain(sink));
    pipewire_sink_close(sink);
    pipewire_sink_set_volume(sink, 1234);
    pipewire_sink_set_mute(sink, true);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_THAT(out, HasSubstr("ERROR JuxApp: Unable to write to PipeWire audio sink: device is not open"));
    EXPECT_THAT(out, HasSubstr("ERROR JuxApp: Unable to get buffered frame count: device is not open"));
    EXPECT_THAT(out, HasSubstr("ERROR JuxApp: Unable to pause PipeWire audio sink: device is not open"));
    EXPECT_THAT(out, HasSubstr("ERROR JuxApp: Unable to resume PipeWire audio sink: device is not open"));
    EXPECT_THAT(out, HasSubstr("ERROR JuxApp: Unable to flush PipeWire audio sink: device is not open"));
    EXPECT_THAT(out, HasSubstr("ERROR JuxApp: Unable to drain PipeWire audio sink: device is not open"));
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 6);  // close and the setters log nothing
    EXPECT_EQ(pipewire_sink_get_volume(sink), 1234u);
    EXPECT_TRUE(pipewire_sink_get_mute(sink));
    EXPECT_EQ(pipewire_sink_max_audio_quality(sink), 3u);
    EXPECT_FALSE(pipewire_sink_is_open(sink));
}

TEST_F(PipeWireSinkTest, OpenRejectsUnsupportedFormatsAndASecondOpen) {
    testing::internal::CaptureStdout();
    EXPECT_FALSE(pipewire_sink_open(sink, AudioFormat{44100, 2, ZRV_SAMPLE_FORMAT_S32}));
    EXPECT_FALSE(pipewire_sink_is_open(sink));
    ASSERT_TRUE(pipewire_sink_open(sink, s16_44100()));
    EXPECT_FALSE(pipewire_sink_open(sink, s24_96000()));
    bool ok = false;
    uint8_t bytes[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(pipewire_sink_write(sink, bytes, sizeof bytes, &ok), sizeof bytes);  // still open as before
    EXPECT_TRUE(ok);
    pipewire_sink_close(sink);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_THAT(out, HasSubstr("ERROR JuxApp: Unsupported audio sample format: 2"));
    EXPECT_THAT(out, HasSubstr("ERROR JuxApp: Unable to open PipeWire audio sink: sink is already open"));
    EXPECT_THAT(out, HasSubstr("PipeWire audio sink opened: 44100 Hz, 2 ch, 16 bits, ring buffer 88200 bytes"));
    EXPECT_THAT(out, Not(HasSubstr("Failed to initialize ring buffer")));
}

TEST_F(PipeWireSinkTest, OpenRejectsMoreChannelsThanAFormatCanDescribe) {
    testing::internal::CaptureStdout();
    EXPECT_FALSE(pipewire_sink_open(sink, AudioFormat{44100, 65, ZRV_SAMPLE_FORMAT_S16}));
    EXPECT_FALSE(pipewire_sink_open(sink, AudioFormat{4000000000u, 4000000000u, ZRV_SAMPLE_FORMAT_S24_32}));
    EXPECT_FALSE(pipewire_sink_is_open(sink));
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(count_of(out, "ERROR JuxApp: Failed to build SPA audio format params"), 2);
    EXPECT_EQ(count_of(out, "\n"), 2);  // no ring buffer failure: nothing was allocated
    ASSERT_TRUE(pipewire_sink_open(sink, AudioFormat{44100, 64, ZRV_SAMPLE_FORMAT_S16}));
    pipewire_sink_close(sink);
}

// Without a server the connect fails; the same sink opens once one is there.
TEST_F(PipeWireSinkTest, AFailedConnectLeavesTheSinkClosedAndUsable) {
    const std::string runtime_dir = getenv("XDG_RUNTIME_DIR");
    char empty_dir[] = "/tmp/zrv-no-pipewire.XXXXXX";
    ASSERT_NE(mkdtemp(empty_dir), nullptr);
    setenv("XDG_RUNTIME_DIR", empty_dir, 1);
    testing::internal::CaptureStdout();
    const bool opened = pipewire_sink_open(sink, s16_44100());
    const std::string out = testing::internal::GetCapturedStdout();
    setenv("XDG_RUNTIME_DIR", runtime_dir.c_str(), 1);
    rmdir(empty_dir);
    EXPECT_FALSE(opened);
    EXPECT_FALSE(pipewire_sink_is_open(sink));
    EXPECT_THAT(out, HasSubstr("ERROR JuxApp: Failed to connect PipeWire stream: "));
    EXPECT_THAT(out, Not(HasSubstr("opened")));

    ASSERT_TRUE(pipewire_sink_open(sink, s16_44100()));
    expect_bit_exact(s16_44100(), 44100);
    pipewire_sink_close(sink);
}

TEST_F(PipeWireSinkTest, BufferedFramesCountWholeFramesInTheRing) {
    ASSERT_TRUE(pipewire_sink_open(sink, s16_44100()));
    ASSERT_TRUE(pipewire_sink_pause(sink));
    bool ok = false;
    std::vector<uint8_t> pcm = pw_test_pcm(4410, 2, 0, 1);
    // Nothing is stored while paused.
    EXPECT_EQ(pipewire_sink_write(sink, pcm.data(), pcm.size(), &ok), 0u);
    EXPECT_TRUE(ok);
    EXPECT_EQ(pipewire_sink_buffered_frames(sink, &ok), 0u);
    ASSERT_TRUE(pipewire_sink_resume(sink));
    ASSERT_EQ(pipewire_sink_write(sink, pcm.data(), 17640, &ok), 17640u);
    // Paused, the ring is no longer read; one period may have gone before.
    ASSERT_TRUE(pipewire_sink_pause(sink));
    const uint64_t frames = pipewire_sink_buffered_frames(sink, &ok);
    EXPECT_TRUE(ok);
    EXPECT_TRUE(frames == 4410 || frames == 4410 - quantum) << frames;
    run_loop(300);
    EXPECT_EQ(pipewire_sink_buffered_frames(sink, &ok), frames);  // paused: nothing consumed
    pipewire_sink_close(sink);
}

// The lead-in of silence after a change of rate counts as buffered until it
// has played, and a paused sink plays none of it. The first open has no rate
// to change from, and the same rate again gets none.
TEST_F(PipeWireSinkTest, ALeadInOfSilenceFollowsOnlyAChangeOfRate) {
    pipewire_sink_set_rate_change_silence(sink, 500);
    bool ok = false;
    ASSERT_TRUE(pipewire_sink_open(sink, s24_96000()));
    EXPECT_EQ(pipewire_sink_buffered_frames(sink, &ok), 0u);
    pipewire_sink_close(sink);

    testing::internal::CaptureStdout();
    ASSERT_TRUE(pipewire_sink_open(sink, s16_44100()));
    ASSERT_TRUE(pipewire_sink_pause(sink));
    const uint64_t frames = pipewire_sink_buffered_frames(sink, &ok);
    EXPECT_TRUE(frames == 22050 || frames == 22050 - quantum) << frames;
    run_loop(300);
    EXPECT_EQ(pipewire_sink_buffered_frames(sink, &ok), frames) << "paused: none of it played";
    ASSERT_TRUE(pipewire_sink_resume(sink));
    std::vector<uint8_t> pcm = pw_test_pcm(4410, 2, 0, 1);
    ASSERT_EQ(pipewire_sink_write(sink, pcm.data(), pcm.size(), &ok), pcm.size());
    EXPECT_GE(pipewire_sink_buffered_frames(sink, &ok), 4410u);
    run_loop(1500);
    EXPECT_EQ(pipewire_sink_buffered_frames(sink, &ok), 0u) << "the lead-in and the audio behind it played";
    pipewire_sink_close(sink);
    EXPECT_THAT(testing::internal::GetCapturedStdout(),
                HasSubstr("Playing 500 ms of silence before the track: the rate changed from 96000 to 44100 Hz"));

    ASSERT_TRUE(pipewire_sink_open(sink, s16_44100()));
    EXPECT_EQ(pipewire_sink_buffered_frames(sink, &ok), 0u) << "the same rate again";
    pipewire_sink_close(sink);
}

TEST_F(PipeWireSinkTest, S16At44100IsPlayedBitExact) {
    testing::internal::CaptureStdout();
    ASSERT_TRUE(pipewire_sink_open(sink, s16_44100()));
    expect_bit_exact(s16_44100(), 44100);
    pipewire_sink_close(sink);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_THAT(out, HasSubstr("PipeWire stream streaming (node-id="));
    EXPECT_THAT(out, HasSubstr("DEBUG JuxApp: PipeWire negotiated format: S16 44100 Hz 2 channels"));
    EXPECT_THAT(out, HasSubstr("DEBUG JuxApp: PipeWire stream drained"));
    EXPECT_THAT(out, Not(HasSubstr("drain timed out")));
    EXPECT_THAT(out, Not(HasSubstr("out of buffers")));
}

TEST_F(PipeWireSinkTest, S24In32At96000IsPlayedBitExact) {
    testing::internal::CaptureStdout();
    ASSERT_TRUE(pipewire_sink_open(sink, s24_96000()));
    expect_bit_exact(s24_96000(), 96000);
    pipewire_sink_close(sink);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_THAT(out, HasSubstr("PipeWire audio sink opened: 96000 Hz, 2 ch, 32 bits, ring buffer 384000 bytes"));
    EXPECT_THAT(out, HasSubstr("DEBUG JuxApp: PipeWire negotiated format: S24_32 96000 Hz 2 channels"));
}

// The one stream object is connected again by each open, in a new format.
TEST_F(PipeWireSinkTest, CloseAndReopenReconnectTheSameStream) {
    ASSERT_TRUE(pipewire_sink_open(sink, s24_96000()));
    run_loop(200);
    pipewire_sink_close(sink);
    EXPECT_FALSE(pipewire_sink_is_open(sink));
    testing::internal::CaptureStdout();
    pipewire_sink_close(sink);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

    ASSERT_TRUE(pipewire_sink_open(sink, s16_44100()));
    EXPECT_TRUE(pipewire_sink_is_open(sink));
    expect_bit_exact(s16_44100(), 33075);
    pipewire_sink_close(sink);
    ASSERT_TRUE(pipewire_sink_open(sink, s16_44100()));
    pipewire_sink_close(sink);
}

TEST_F(PipeWireSinkTest, ANamedOutputDeviceIsThePipeWireTarget) {
    use_output_device("test_sink");
    ASSERT_TRUE(pipewire_sink_open(sink, s16_44100()));
    expect_bit_exact(s16_44100(), 44100);
    pipewire_sink_close(sink);
}

TEST_F(PipeWireSinkTest, TheStreamGoesToTheNamedNodeOnly) {
    std::string error;
    auto capture = PwCapture::start(44100, 2, 0, &error);
    ASSERT_TRUE(capture) << error;

    use_output_device("test_sink_2");
    ASSERT_TRUE(pipewire_sink_open(sink, s16_44100()));
    feeder.pcm = pw_test_pcm(22050, 2, 0, 5);
    feeder.feed();
    std::string links;
    const auto start = Clock::now();
    while (links.find("test_sink_2:playback_FL") == std::string::npos && elapsed_ms(start) < 3000) {
        run_loop(50);
        links = pw_test_run("pw-link -l -o Jux-Zorva 2>/dev/null");
    }
    run_loop(500);
    bool ok = false;
    EXPECT_LT(pipewire_sink_buffered_frames(sink, &ok), 22050u);  // it does play, elsewhere
    pipewire_sink_close(sink);
    EXPECT_THAT(links, HasSubstr("test_sink_2:playback_FL"));
    EXPECT_THAT(links, HasSubstr("test_sink_2:playback_FR"));
    EXPECT_THAT(links, Not(HasSubstr("test_sink:")));
    EXPECT_TRUE(sound_of(capture->bytes(), 4).empty());
}

TEST_F(PipeWireSinkTest, S16At11025WithTheRingKeptFullIsPlayedBitExact) {
    const AudioFormat format{11025, 2, ZRV_SAMPLE_FORMAT_S16};
    ForcedRate forced(format.sample_rate);
    testing::internal::CaptureStdout();
    ASSERT_TRUE(pipewire_sink_open(sink, format));
    feeder.chunk = 4001;
    expect_bit_exact(format, 11025 * 8);
    pipewire_sink_close(sink);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_THAT(out, HasSubstr("PipeWire audio sink opened: 11025 Hz, 2 ch, 16 bits, ring buffer 22048 bytes"));
    EXPECT_THAT(out, HasSubstr("PipeWire negotiated format: S16 11025 Hz 2 channels"));
}

// A quantum of 4096 frames at 11025 Hz lasts 371 ms, more than a quarter of
// the ring: two periods of room never come, half the ring does.
TEST_F(PipeWireSinkTest, APeriodLongerThanAQuarterOfTheRingStillPlaysToTheEnd) {
    const AudioFormat format{11025, 2, ZRV_SAMPLE_FORMAT_S24_32};
    ForcedRate forced(format.sample_rate);
    ASSERT_TRUE(pipewire_sink_open(sink, format));
    expect_bit_exact(format, 11025 * 3);
    pipewire_sink_close(sink);
}

// The server goes away under an open sink: the loop hears of it within a
// second, and once the sink is closed the next open connects to whatever
// server runs then.

}  // namespace
