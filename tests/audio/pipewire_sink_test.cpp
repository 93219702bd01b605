// Runs the sink against the "pipewire" fixture's headless server and checks
// what reaches test_sink's monitor; the tests that stop a server or its
// session manager run a server of their own. The test thread is the sink's
// loop thread.
#include "audio/pipewire_sink.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "pw_capture.h"

namespace {

using Clock = std::chrono::steady_clock;
using testing::HasSubstr;
using testing::Not;

constexpr uint32_t quantum = 4096;  // the fixture's fixed graph quantum

AudioFormat s16_44100() { return AudioFormat{44100, 2, ZRV_SAMPLE_FORMAT_S16}; }
AudioFormat s24_96000() { return AudioFormat{96000, 2, ZRV_SAMPLE_FORMAT_S24_32}; }

size_t stride_of(AudioFormat format) { return format.channels * (format.sample_format == 0 ? 2 : 4); }

long elapsed_ms(Clock::time_point since) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

// Stands in for the Player: writes what fits and writes more on each
// need-data notification.
struct Feeder {
    PipeWireSink *sink = nullptr;
    std::vector<uint8_t> pcm;
    size_t offset = 0;
    size_t chunk = 64 * 1024;  // larger than the free space: writes come back short
    int need_data_calls = 0;
    int calls_off_loop_thread = 0;
    int short_writes = 0;
    std::thread::id loop_thread = std::this_thread::get_id();

    bool done() const { return offset >= pcm.size(); }

    void feed() {
        while (!done()) {
            const size_t want = std::min(chunk, pcm.size() - offset);
            bool ok = false;
            const size_t n = pipewire_sink_write(sink, pcm.data() + offset, want, &ok);
            EXPECT_TRUE(ok);
            offset += n;
            if (n < want) {
                ++short_writes;
                break;
            }
        }
    }
};

struct VolumeEvents {
    int volume_calls = 0;
    uint32_t last_volume = 0;
    int mute_calls = 0;
    bool last_muted = false;
};

void on_need_data(PipeWireSink * /*sink*/, void *user) {
    auto *feeder = static_cast<Feeder *>(user);
    ++feeder->need_data_calls;
    if (std::this_thread::get_id() != feeder->loop_thread) ++feeder->calls_off_loop_thread;
    feeder->feed();
}

void on_volume_changed(PipeWireSink * /*sink*/, uint32_t volume, void *user) {
    auto *events = static_cast<VolumeEvents *>(user);
    ++events->volume_calls;
    events->last_volume = volume;
}

void on_mute_changed(PipeWireSink * /*sink*/, bool muted, void *user) {
    auto *events = static_cast<VolumeEvents *>(user);
    ++events->mute_calls;
    events->last_muted = muted;
}

// Every frame of the capture that is not all zero bytes: the test PCM has no
// zero sample, so this is exactly the audio that was played, in order.
std::vector<uint8_t> sound_of(const std::vector<uint8_t> &bytes, size_t stride) {
    std::vector<uint8_t> sound;
    for (size_t offset = 0; offset + stride <= bytes.size(); offset += stride) {
        bool silent = true;
        for (size_t i = 0; i < stride && silent; ++i) silent = bytes[offset + i] == 0;
        if (!silent) sound.insert(sound.end(), bytes.begin() + offset, bytes.begin() + offset + stride);
    }
    return sound;
}

int count_of(const std::string &text, const std::string &part) {
    int count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++count;
    return count;
}

// Holds the fixture's graph at one rate for a scope, so that a test at a
// rate no other stream uses does not depend on when the graph switches.
class ForcedRate {
  public:
    explicit ForcedRate(uint32_t rate) { force(rate); }
    ~ForcedRate() { force(0); }
    ForcedRate(const ForcedRate &) = delete;
    ForcedRate &operator=(const ForcedRate &) = delete;

  private:
    static void force(uint32_t rate) {
        pw_test_run("pw-metadata -n settings 0 clock.force-rate " + std::to_string(rate) + " >/dev/null 2>&1");
    }
};

// A PipeWire server of the test's own (scripts/services/pipewire.sh in a
// temporary directory) that the test may stop and start; the clients this
// process connects while it exists use it.
class PrivateServer {
  public:
    PrivateServer() {
        char dir[] = "/tmp/zrv-sink-server.XXXXXX";
        if (mkdtemp(dir)) dir_ = dir;
        if (const char *runtime = getenv("XDG_RUNTIME_DIR")) fixture_runtime_ = runtime;
        setenv("XDG_RUNTIME_DIR", (dir_ + "/run").c_str(), 1);
    }
    ~PrivateServer() {
        run("stop");
        setenv("XDG_RUNTIME_DIR", fixture_runtime_.c_str(), 1);
        pw_test_run("rm -rf " + dir_);
    }
    PrivateServer(const PrivateServer &) = delete;
    PrivateServer &operator=(const PrivateServer &) = delete;

    bool run(const std::string &action) {
        return !dir_.empty() && std::system((std::string(ZRV_SOURCE_DIR) + "/scripts/services/pipewire.sh " + action +
                                             " " + dir_ + " >/dev/null")
                                                .c_str()) == 0;
    }
    // Sends SIGTERM to its "pipewire" or its "wireplumber".
    bool terminate(const std::string &process) {
        std::ifstream file(dir_ + "/" + process + ".pid");
        pid_t pid = 0;
        return file >> pid && pid > 0 && kill(pid, SIGTERM) == 0;
    }

  private:
    std::string dir_;
    std::string fixture_runtime_;
};

class PipeWireSinkTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(pw_test_use_server(&error)) << error;
        ASSERT_EQ(uv_loop_init(&loop), 0);
        ASSERT_EQ(uv_timer_init(&loop, &tick), 0);
        sink = pipewire_sink_new(&loop, "plug:default");
        feeder.sink = sink;
        SinkCallbacks callbacks{&feeder, on_need_data, nullptr, nullptr, nullptr};
        pipewire_sink_set_callbacks(sink, &callbacks);
    }

    void use_output_device(const char *device) {
        pipewire_sink_free(sink);
        sink = pipewire_sink_new(&loop, device);
        feeder.sink = sink;
        SinkCallbacks callbacks{&feeder, on_need_data, nullptr, nullptr, nullptr};
        pipewire_sink_set_callbacks(sink, &callbacks);
    }

    void TearDown() override {
        if (sink) pipewire_sink_free(sink);
        uv_close(reinterpret_cast<uv_handle_t *>(&tick), nullptr);
        uv_run(&loop, UV_RUN_DEFAULT);
        EXPECT_EQ(uv_loop_close(&loop), 0);
    }

    // Runs the loop for about `ms` milliseconds, or until `until` holds.
    template <typename Predicate>
    void run_loop(long ms, Predicate until) {
        uv_timer_start(
            &tick, [](uv_timer_t *) {}, 5, 5);
        const auto start = Clock::now();
        while (!until() && elapsed_ms(start) < ms) uv_run(&loop, UV_RUN_ONCE);
        uv_timer_stop(&tick);
    }
    void run_loop(long ms) {
        run_loop(ms, [] { return false; });
    }

    // Plays `pcm` through the open sink, drains, and compares what test_sink
    // played: every frame, the last partial period included. Empty on
    // success.
    std::string play_and_compare(AudioFormat format, const std::vector<uint8_t> &pcm, long *drain_ms) {
        std::string error;
        auto capture = PwCapture::start(format.sample_rate, format.channels, format.sample_format, &error);
        if (!capture) return error;
        const size_t stride = stride_of(format);
        feeder.pcm = pcm;
        feeder.offset = 0;
        feeder.feed();
        run_loop(30000, [&] { return feeder.done(); });
        if (!feeder.done()) return "the sink took only " + std::to_string(feeder.offset) + " bytes";
        const auto drain_start = Clock::now();
        if (!pipewire_sink_drain(sink)) return "drain failed";
        *drain_ms = elapsed_ms(drain_start);
        bool ok = false;
        if (pipewire_sink_buffered_frames(sink, &ok) != 0) return "drain returned with audio left in the ring";
        // The monitor delivers a cycle after the sink played it.
        const auto wait_start = Clock::now();
        std::vector<uint8_t> captured;
        do {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            captured = capture->bytes();
        } while (captured.size() < pw_first_sound(captured, stride) + pcm.size() + quantum * stride &&
                 elapsed_ms(wait_start) < 3000);
        return pw_compare_capture(captured, pcm, stride);
    }

    // Records test_sink's monitor and opens the sink, both in `format`; null
    // (with the test failed) when either does not work.
    std::unique_ptr<PwCapture> capture_and_open(AudioFormat format) {
        std::string error;
        auto capture = PwCapture::start(format.sample_rate, format.channels, format.sample_format, &error);
        EXPECT_TRUE(capture) << error;
        if (!capture) return nullptr;
        if (!pipewire_sink_open(sink, format)) {
            ADD_FAILURE() << "the sink did not open";
            return nullptr;
        }
        return capture;
    }

    void expect_bit_exact(AudioFormat format, size_t frames) {
        const auto pcm = pw_test_pcm(frames, format.channels, format.sample_format, format.sample_rate);
        long drain_ms = 0;
        std::string result = play_and_compare(format, pcm, &drain_ms);
        if (!result.empty()) {
            // A rare one-quantum glitch of the timer-driven null sink.
            std::fprintf(stderr, "capture differs (%s); retrying once\n", result.c_str());
            result = play_and_compare(format, pcm, &drain_ms);
        }
        EXPECT_EQ(result, "");
        EXPECT_GT(feeder.short_writes, 0);
        EXPECT_GT(feeder.need_data_calls, 0);
        EXPECT_EQ(feeder.calls_off_loop_thread, 0);
        EXPECT_LT(drain_ms, 1500);
    }

    uv_loop_t loop{};
    uv_timer_t tick{};
    PipeWireSink *sink = nullptr;
    Feeder feeder;
};

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
    feeder.pcm = kept;
    feeder.pcm.resize(kept.size() + quantum * stride, 0);
    feeder.feed();
    run_loop(30000, [&] { return feeder.done(); });
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
        feeder.pcm = *part;
        feeder.pcm.resize(part->size() + quantum * stride, 0);
        feeder.offset = 0;
        feeder.feed();
        run_loop(30000, [&] { return feeder.done(); });
        ASSERT_TRUE(pipewire_sink_drain(sink));
    }
    run_loop(3000, [&] { return sound_of(capture->bytes(), stride).size() >= first.size() + second.size(); });
    auto expected = first;
    expected.insert(expected.end(), second.begin(), second.end());
    EXPECT_TRUE(sound_of(capture->bytes(), stride) == expected);
    pipewire_sink_close(sink);
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
    EXPECT_TRUE(pipewire_sink_drain(sink));
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
    EXPECT_TRUE(sound_of(capture->bytes(), stride) == held);

    // Resumed, it plays on as before.
    ASSERT_TRUE(pipewire_sink_resume(sink));
    const auto after = pw_test_pcm(4410, 2, 0, 32);
    ASSERT_EQ(pipewire_sink_write(sink, after.data(), after.size(), &ok), after.size());
    ASSERT_TRUE(pipewire_sink_drain(sink));
    auto expected = held;
    expected.insert(expected.end(), after.begin(), after.end());
    run_loop(3000, [&] { return sound_of(capture->bytes(), stride).size() >= expected.size(); });
    EXPECT_TRUE(sound_of(capture->bytes(), stride) == expected);
    pipewire_sink_close(sink);
}

// At 11025 Hz, S16 stereo, 500 ms are 5512.5 frames: the ring holds 5512
// (22048 bytes). Kept full by writes in pieces that end inside frames, it
// still never splits one.
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
    EXPECT_THAT(out, HasSubstr("ERROR JuxApp: PipeWire audio sink lost its stream"));
    EXPECT_EQ(lost.calls, 1);
    EXPECT_LT(ms, 1000);
    EXPECT_TRUE(pipewire_sink_is_open(sink));  // closing is the user's decision
    const auto drain_start = Clock::now();
    EXPECT_TRUE(pipewire_sink_drain(sink));  // does not wait for a server that is gone
    EXPECT_LT(elapsed_ms(drain_start), 1000);
    pipewire_sink_close(sink);

    // A new server in the same place: the next open plays on it.
    ASSERT_TRUE(server.run("start"));
    feeder.need_data_calls = 0;
    feeder.offset = 0;
    ASSERT_TRUE(pipewire_sink_open(sink, s16_44100()));
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
