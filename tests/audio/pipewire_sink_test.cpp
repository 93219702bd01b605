// The sink against the "pipewire" fixture's headless server: opening and
// its refusals, the output device, and what reaches test_sink's monitor, bit
// for bit, at several rates and formats. The test thread is the sink's loop
// thread.
#include <cstring>

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

// A close keeps a stream that runs, stopped and emptied: an open in the same
// format soon after plays on that node, with nothing of the old audio after
// the new audio's start, and with the volume set while it was closed. An
// open in another format, or none within the time it is kept, takes it out
// of the graph.
TEST_F(PipeWireSinkTest, AReopenInTheSameFormatSoonAfterACloseStartsTheKeptStream) {
    const AudioFormat format = s16_44100();
    const size_t stride = stride_of(format);
    auto capture = capture_and_open(format);
    ASSERT_TRUE(capture);
    feeder.pcm = pw_test_pcm(44100 * 2, 2, 0, 11);
    feeder.feed();
    run_loop(5000, [&] { return pipewire_sink_stream_ready(sink); });
    run_loop(600);
    const int node = pw_test_node_id("Jux-Zorva");
    ASSERT_GE(node, 0);
    bool ok = false;
    ASSERT_GT(pipewire_sink_buffered_frames(sink, &ok), quantum) << "closed with audio still in the ring";
    testing::internal::CaptureStdout();
    pipewire_sink_close(sink);
    run_loop(300);
    EXPECT_EQ(pw_test_node_id("Jux-Zorva"), node) << "the stream left the graph at close";
    pipewire_sink_set_volume(sink, 30000);

    ASSERT_TRUE(pipewire_sink_open(sink, format));
    EXPECT_TRUE(pipewire_sink_stream_ready(sink));
    const std::vector<uint8_t> second = pw_test_pcm(44100, 2, 0, 12);
    feeder.pcm = second;
    feeder.pcm.resize(second.size() + quantum * stride, 0);
    feeder.offset = 0;
    feeder.feed();
    run_loop(10000, [&] { return feeder.done(); });
    ASSERT_TRUE(pipewire_sink_drain(sink));
    run_loop(300);
    EXPECT_EQ(count_of(testing::internal::GetCapturedStdout(), "PipeWire stream connecting"), 0)
        << "the reopen connected a new stream";
    const std::string props = pw_test_run("pw-dump | jq -c '.[] | select(.id == " + std::to_string(node) +
                                          ") | .info.params.Props[0].volume' 2>/dev/null");
    EXPECT_EQ(props.substr(0, props.find_last_not_of('\n') + 1), "0.457771");
    pipewire_sink_set_volume(sink, 65535);
    run_loop(100);

    // What was heard: the start of the first track, up to the close, then
    // the second track (at the lowered volume) and nothing else.
    const std::vector<uint8_t> heard = sound_of(capture->bytes(), stride);
    const size_t probe = 1024 * stride;
    size_t start = std::string::npos;
    const std::vector<uint8_t> first = pw_test_pcm(44100 * 2, 2, 0, 11);
    for (size_t at = 0; at + probe <= heard.size() && start == std::string::npos; at += stride)
        if (std::memcmp(heard.data() + at, first.data(), probe) == 0) start = at;
    ASSERT_NE(start, std::string::npos) << "the first track was not heard";
    size_t old_end = start;
    while (old_end + stride <= heard.size() && old_end - start + stride <= first.size() &&
           std::memcmp(heard.data() + old_end, first.data() + (old_end - start), stride) == 0)
        old_end += stride;
    EXPECT_LT(old_end - start, first.size()) << "the whole first track played: the close stopped nothing";
    const size_t rest = heard.size() - old_end;
    EXPECT_GE(rest, second.size() - quantum * stride) << "the second track did not play";
    EXPECT_LE(rest, second.size()) << "more than the second track was heard after the first";

    pipewire_sink_close(sink);
    capture.reset();
    run_loop(4000, [&] { return pw_test_node_id("Jux-Zorva") < 0; });
    EXPECT_LT(pw_test_node_id("Jux-Zorva"), 0) << "the kept stream stayed in the graph";

    testing::internal::CaptureStdout();
    ASSERT_TRUE(pipewire_sink_open(sink, format));
    run_loop(5000, [&] { return pipewire_sink_stream_ready(sink); });
    pipewire_sink_close(sink);
    ASSERT_TRUE(pipewire_sink_open(sink, s24_96000()));
    EXPECT_FALSE(pipewire_sink_stream_ready(sink)) << "another format reused the kept stream";
    EXPECT_EQ(count_of(testing::internal::GetCapturedStdout(), "PipeWire stream connecting"), 2);
    expect_bit_exact(s24_96000(), 48000);
    pipewire_sink_close(sink);
}

}  // namespace
