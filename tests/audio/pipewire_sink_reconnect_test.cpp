// The sink reconnecting after the loss of its stream: the ring buffer's
// audio survives the loss and plays on from where the lost stream stopped,
// on a new connection to a restarted server, with the volume and mute the
// sink had.
#include <cstdlib>
#include <cstring>

#include "pipewire_sink_fixture.h"

namespace {

struct LossEvents {
    Feeder *feeder;
    int lost_calls = 0;
    VolumeEvents volume;
};

// Where `part` lies in `pcm`, as a contiguous piece at least a quantum
// long; npos when it is not one.
size_t piece_of(const std::vector<uint8_t> &pcm, const std::vector<uint8_t> &part, size_t stride) {
    const size_t probe = quantum * stride;
    if (part.size() < probe || part.size() > pcm.size()) return std::string::npos;
    for (size_t at = 0; at + part.size() <= pcm.size(); at += stride)
        if (std::memcmp(pcm.data() + at, part.data(), probe) == 0)
            return std::equal(part.begin(), part.end(), pcm.begin() + static_cast<long>(at)) ? at : std::string::npos;
    return std::string::npos;
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
    // from at most two periods (what PipeWire held) further on.
    const auto heard_after = sound_of(after->bytes(), stride);
    ASSERT_LE(heard_before.size(), feeder.pcm.size());
    EXPECT_TRUE(std::equal(heard_before.begin(), heard_before.end(), feeder.pcm.begin()));
    const size_t start = piece_of(feeder.pcm, heard_after, stride);
    ASSERT_NE(start, std::string::npos) << "what was heard after the restart is no piece of the PCM";
    EXPECT_EQ(start + heard_after.size(), feeder.pcm.size()) << "the rest did not play";
    EXPECT_GE(start, heard_before.size()) << "audio was heard twice";
    EXPECT_LE(start - std::min(start, heard_before.size()), 2 * quantum * stride)
        << (start - heard_before.size()) / stride << " frames missing";
    std::fprintf(stderr, "frames missing over the restart: %zu\n", (start - heard_before.size()) / stride);
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

}  // namespace
