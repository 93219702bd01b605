// The sink reconnecting after the loss of its stream: the ring buffer's
// audio survives the loss and plays on from where the lost stream stopped,
// on a new connection to a restarted server, with the volume and mute the
// sink had.
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "pipewire_sink_fixture.h"

namespace {

struct LossEvents {
    Feeder *feeder;
    int lost_calls = 0;
    VolumeEvents volume;
};

// Where the 1024 frames at `probe` lie in `pcm`, from `from` on; npos when
// nowhere.
size_t find_in(const std::vector<uint8_t> &pcm, const uint8_t *probe, size_t stride, size_t from = 0) {
    const size_t probe_bytes = 1024 * stride;
    for (size_t at = from; at + probe_bytes <= pcm.size(); at += stride)
        if (std::memcmp(pcm.data() + at, probe, probe_bytes) == 0) return at;
    return std::string::npos;
}

// The sink's reports of a lost stream are counted in `calls`; it asks for
// no data.
void count_losses(PipeWireSink *sink, int *calls) {
    SinkCallbacks callbacks{calls, nullptr, nullptr, nullptr,
                            [](PipeWireSink *, void *user) { ++*static_cast<int *>(user); }};
    pipewire_sink_set_callbacks(sink, &callbacks);
}

TEST_F(PipeWireSinkTest, AfterARestartAReconnectPlaysOnFromTheRing) {
    PrivateServer server;
    ASSERT_TRUE(server.run("start"));
    LossEvents events{&feeder, 0, {}};
    SinkCallbacks callbacks{
        &events, [](PipeWireSink *s, void *user) { on_need_data(s, static_cast<LossEvents *>(user)->feeder); },
        [](PipeWireSink *s, uint32_t volume, void *user) {
            on_volume_changed(s, volume, &static_cast<LossEvents *>(user)->volume);
        },
        [](PipeWireSink *s, bool muted, void *user) {
            on_mute_changed(s, muted, &static_cast<LossEvents *>(user)->volume);
        },
        [](PipeWireSink *, void *user) { ++static_cast<LossEvents *>(user)->lost_calls; }};
    pipewire_sink_set_callbacks(sink, &callbacks);
    const AudioFormat format = s16_44100();
    const size_t stride = stride_of(format);
    auto before = capture_and_open(format);
    ASSERT_TRUE(before);
    EXPECT_FALSE(pipewire_sink_reconnect(sink)) << "nothing was lost";
    feeder.pcm = pw_test_pcm(44100 * 4, 2, 0, 77);
    feeder.feed();
    run_loop(5000, [&] { return pipewire_sink_stream_ready(sink); });
    ASSERT_TRUE(pipewire_sink_stream_ready(sink));
    run_loop(1000);

    ASSERT_TRUE(server.terminate("pipewire"));
    run_loop(3000, [&] { return events.lost_calls > 0; });
    ASSERT_EQ(events.lost_calls, 1);
    EXPECT_FALSE(pipewire_sink_stream_ready(sink));
    run_loop(300);
    const auto heard_before = sound_of(before->bytes(), stride);
    before.reset();
    bool ok = false;
    const uint64_t buffered = pipewire_sink_buffered_frames(sink, &ok);
    EXPECT_GT(buffered, 0u) << "the ring buffer kept its audio";
    EXPECT_FALSE(pipewire_sink_reconnect(sink)) << "there is no server";
    EXPECT_TRUE(pipewire_sink_stream_lost(sink));
    EXPECT_EQ(pipewire_sink_buffered_frames(sink, &ok), buffered);

    ASSERT_TRUE(server.run("start"));
    std::string error;
    auto after = PwCapture::start(format.sample_rate, format.channels, format.sample_format, &error);
    ASSERT_TRUE(after) << error;
    ASSERT_TRUE(pipewire_sink_reconnect(sink));
    EXPECT_FALSE(pipewire_sink_stream_lost(sink));
    run_loop(5000, [&] { return pipewire_sink_stream_ready(sink); });
    ASSERT_TRUE(pipewire_sink_stream_ready(sink));
    run_loop(30000, [&] { return feeder.done(); });
    ASSERT_TRUE(feeder.done());
    EXPECT_TRUE(pipewire_sink_drain(sink));
    run_loop(500);

    pipewire_sink_close(sink);
    EXPECT_EQ(events.lost_calls, 1);

    // Heard before the loss: the start of the PCM. Heard after it: the rest,
    // from at most two periods (what PipeWire held) further on. A period the
    // timer-driven null sink drops under load shows as a gap inside a part:
    // reported, and tolerated up to two quanta in all.
    const auto heard_after = sound_of(after->bytes(), stride);
    const size_t probe = 1024 * stride;
    ASSERT_GE(heard_before.size(), probe);
    ASSERT_GE(heard_after.size(), probe);
    EXPECT_EQ(find_in(feeder.pcm, heard_before.data(), stride), 0u);
    const size_t before_end = find_in(feeder.pcm, heard_before.data() + heard_before.size() - probe, stride);
    const size_t after_start = find_in(feeder.pcm, heard_after.data(), stride);
    ASSERT_NE(before_end, std::string::npos);
    ASSERT_NE(after_start, std::string::npos) << "what was heard after the restart is no piece of the PCM";
    EXPECT_EQ(find_in(feeder.pcm, heard_after.data() + heard_after.size() - probe, stride, after_start) + probe,
              feeder.pcm.size())
        << "the rest did not play";
    const long inside = static_cast<long>(before_end + probe - heard_before.size()) +
                        static_cast<long>(feeder.pcm.size() - after_start - heard_after.size());
    EXPECT_LE(std::labs(inside), static_cast<long>(2 * quantum * stride)) << inside / 4 << " frames lost inside";
    const long missing = static_cast<long>(after_start) - static_cast<long>(before_end + probe);
    EXPECT_GE(missing, 0) << "audio was heard twice";
    EXPECT_LE(missing, static_cast<long>(2 * quantum * stride)) << missing / 4 << " frames missing";
    std::fprintf(stderr, "frames missing over the restart: %ld (inside the parts: %ld)\n", missing / 4, inside / 4);
}

// A connection made while the server goes down may be taken and then never
// answered, and nothing tells it that it is dead: a reconnect whose stream
// does not run is made again on a new connection, which finds the server
// once it is back.
TEST_F(PipeWireSinkTest, AReconnectWhoseStreamNeverRunsIsMadeAgainOnANewConnection) {
    PrivateServer server;
    ASSERT_TRUE(server.run("start"));
    int lost_calls = 0;
    count_losses(sink, &lost_calls);
    ASSERT_TRUE(pipewire_sink_open(sink, s16_44100()));
    run_loop(5000, [&] { return pipewire_sink_stream_ready(sink); });
    ASSERT_TRUE(pipewire_sink_stream_ready(sink));
    ASSERT_TRUE(server.terminate("pipewire"));
    run_loop(3000, [&] { return lost_calls > 0; });
    ASSERT_EQ(lost_calls, 1);

    // A listener that takes the connection and never answers stands where
    // the server's socket was.
    const std::string path = server.runtime_dir() + "/pipewire-0";
    run_loop(300);
    unlink(path.c_str());
    const int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address), 0) << std::strerror(errno);
    ASSERT_EQ(listen(listener, 4), 0);
    ASSERT_TRUE(pipewire_sink_reconnect(sink));
    pollfd waiting{listener, POLLIN, 0};
    ASSERT_EQ(poll(&waiting, 1, 3000), 1);
    const int silent = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    ASSERT_GE(silent, 0);
    close(listener);
    unlink(path.c_str());
    run_loop(300);
    EXPECT_FALSE(pipewire_sink_stream_lost(sink)) << "nothing told the connection that it is dead";
    EXPECT_FALSE(pipewire_sink_reconnect(sink)) << "given up before its time";

    ASSERT_TRUE(server.run("start"));
    run_loop(1500);
    EXPECT_TRUE(pipewire_sink_reconnect(sink)) << "a reconnect that never ran was not made again";
    run_loop(5000, [&] { return pipewire_sink_stream_ready(sink); });
    EXPECT_TRUE(pipewire_sink_stream_ready(sink));
    pipewire_sink_close(sink);
    close(silent);
}

// PipeWire starts the new stream at unity volume: the sink's own volume and
// mute go to it, and that is no news for the sink's user.
TEST_F(PipeWireSinkTest, AReconnectedStreamTakesTheStoredVolumeAndMute) {
    PrivateServer server;
    ASSERT_TRUE(server.run("start"));
    LossEvents events{&feeder, 0, {}};
    SinkCallbacks callbacks{&events, nullptr,
                            [](PipeWireSink *s, uint32_t volume, void *user) {
                                on_volume_changed(s, volume, &static_cast<LossEvents *>(user)->volume);
                            },
                            [](PipeWireSink *s, bool muted, void *user) {
                                on_mute_changed(s, muted, &static_cast<LossEvents *>(user)->volume);
                            },
                            [](PipeWireSink *, void *user) { ++static_cast<LossEvents *>(user)->lost_calls; }};
    pipewire_sink_set_callbacks(sink, &callbacks);
    ASSERT_TRUE(pipewire_sink_open(sink, s16_44100()));
    run_loop(5000, [&] { return pipewire_sink_stream_ready(sink); });
    run_loop(500);
    pipewire_sink_set_volume(sink, 30000);
    pipewire_sink_set_mute(sink, true);
    run_loop(500);

    ASSERT_TRUE(server.terminate("pipewire"));
    run_loop(3000, [&] { return events.lost_calls > 0; });
    ASSERT_EQ(events.lost_calls, 1);
    ASSERT_TRUE(server.run("start"));
    ASSERT_TRUE(pipewire_sink_reconnect(sink));
    run_loop(5000, [&] { return pipewire_sink_stream_ready(sink); });
    ASSERT_TRUE(pipewire_sink_stream_ready(sink));
    run_loop(1000);

    EXPECT_EQ(pipewire_sink_get_volume(sink), 30000u);
    EXPECT_TRUE(pipewire_sink_get_mute(sink));
    EXPECT_EQ(events.volume.volume_calls, 0);
    EXPECT_EQ(events.volume.mute_calls, 0);
    const int node = pw_test_node_id("Jux-Zorva");
    ASSERT_GE(node, 0);
    const std::string props = pw_test_run("pw-dump | jq -c '.[] | select(.id == " + std::to_string(node) +
                                          ") | .info.params.Props[0] | [.volume, .mute]' 2>/dev/null");
    EXPECT_EQ(props.substr(0, props.find_last_not_of('\n') + 1), "[0.457771,true]");
    pipewire_sink_close(sink);
}

// A stream that a close kept is gone with its server; the next open, in the
// same format, makes a new one on a new connection, which plays.
TEST_F(PipeWireSinkTest, AStreamKeptByACloseAndLostWithItsServerIsReplacedAtTheNextOpen) {
    PrivateServer server;
    ASSERT_TRUE(server.run("start"));
    int lost_calls = 0;
    count_losses(sink, &lost_calls);
    const AudioFormat format = s16_44100();
    ASSERT_TRUE(pipewire_sink_open(sink, format));
    run_loop(5000, [&] { return pipewire_sink_stream_ready(sink); });
    ASSERT_TRUE(pipewire_sink_stream_ready(sink));
    pipewire_sink_close(sink);
    ASSERT_TRUE(server.terminate("pipewire"));
    run_loop(1000);
    ASSERT_TRUE(server.run("start"));

    std::string error;
    auto capture = PwCapture::start(format.sample_rate, format.channels, format.sample_format, &error);
    ASSERT_TRUE(capture) << error;
    ASSERT_TRUE(pipewire_sink_open(sink, format));
    run_loop(5000, [&] { return pipewire_sink_stream_ready(sink); });
    EXPECT_TRUE(pipewire_sink_stream_ready(sink));
    const std::vector<uint8_t> pcm = pw_test_pcm(22050, 2, 0, 31);
    bool ok = false;
    ASSERT_EQ(pipewire_sink_write(sink, pcm.data(), pcm.size(), &ok), pcm.size());
    run_loop(2000, [&] { return sound_of(capture->bytes(), stride_of(format)).size() >= pcm.size() / 2; });
    EXPECT_GE(sound_of(capture->bytes(), stride_of(format)).size(), pcm.size() / 2) << "the new stream plays nothing";
    pipewire_sink_close(sink);
    EXPECT_EQ(lost_calls, 0) << "a loss while closed is no news";
}

}  // namespace
