// The events the Player and its StreamManager publish, received by a plain
// cnats subscriber from the fixture's nats-server. The test drives the
// delegates itself; the test thread runs the loop.
#include <gtest/gtest.h>

#include <algorithm>

#include "messaging/event_publisher.h"
#include "messaging/messaging_connection.h"
#include "player_fixture.h"
#include "test_support.h"

namespace {

constexpr const char *routing_key = "zorva.test.player";

class PlayerEventsTest : public PlayerTest {
  protected:
    void SetUp() override {
        PlayerTest::SetUp();
        if (HasFatalFailure()) return;
        url_ = fixture_url("nats");
        peer_ = std::make_unique<NatsPeer>(url_);
        peer_->subscribe(routing_key);
        peer_->subscribe(outgoing_events_subject);
        peer_->flush();
        MessagingConnectionConfig config{};
        config.backend = MESSAGING_BACKEND_NATS;
        config.nats.url = url_;
        config.nats.publish_subject = routing_key;
        connection_ = messaging_connection_new(&config);
        ASSERT_TRUE(connection_);
        ASSERT_TRUE(run_until([&] { return messaging_connection_is_connected(connection_); }, 5000));
        publisher_ = event_publisher_new(connection_, routing_key);
        ASSERT_TRUE(publisher_);
        player_set_publisher(player_, publisher_);
        attach_sdk();
    }
    void TearDown() override {
        event_publisher_free(publisher_);
        messaging_connection_free(connection_);
        peer_.reset();
        PlayerTest::TearDown();
    }

    // The bodies received, "subject body" each, once `count` have come.
    std::vector<std::string> received(size_t count) {
        EXPECT_TRUE(peer_->wait_for_count(count)) << "only " << peer_->messages().size() << " messages";
        std::vector<std::string> result;
        for (const auto &message : peer_->messages()) result.push_back(message.subject + " " + message.data);
        return result;
    }

    std::string url_;
    std::unique_ptr<NatsPeer> peer_;
    MessagingConnection *connection_ = nullptr;
    EventPublisher *publisher_ = nullptr;
};

// The body without its timestamp value, which the clock decides.
std::string without_time(const std::string &text) {
    auto at = text.find(",\"timestamp\":");
    if (at == std::string::npos) return text;
    auto end = text.find('}', at);
    return text.substr(0, at) + ",\"timestamp\":T" + text.substr(end);
}

TEST_F(PlayerEventsTest, RendererAndTrackEventsArePublishedInOrder) {
    playback_.volume_changed(sdk(), 1234, playback_.user);
    playback_.mute_changed(sdk(), true, playback_.user);
    playback_.playback_state_changed(sdk(), ZRV_PLAYBACK_STATE_PLAYING, playback_.user);
    playback_.max_quality_changed(sdk(), ZRV_AUDIO_QUALITY_HIRES2, playback_.user);
    playback_.controls_changed(sdk(), ZRV_LOOP_MODE_QUEUE, true, playback_.user);
    playback_.actions_availability_changed(sdk(), false, playback_.user);
    announce(7, 96000, 2, ZRV_SAMPLE_FORMAT_S24_32, 0);
    StreamMetadata metadata{"Title", "Artist", "Album", "https://art.invalid/7.png"};
    audio_.metadata(sdk(), 7, &metadata, audio_.user);
    seeked(7, 30000);
    finished(7);

    // The order holds per subject; the subscriber may interleave the two.
    auto messages = received(10);
    std::vector<std::string> bodies;
    for (const auto &message : messages) bodies.push_back(without_time(message));
    std::stable_partition(bodies.begin(), bodies.end(),
                          [](const std::string &body) { return body.rfind(routing_key, 0) == 0; });
    EXPECT_EQ(
        bodies,
        (std::vector<std::string>{
            "zorva.test.player {\"event_type\":\"volume_changed\",\"volume\":1234,\"timestamp\":T}",
            "zorva.test.player {\"event_type\":\"mute_changed\",\"muted\":true,\"timestamp\":T}",
            "zorva.test.player {\"event_type\":\"playback_state_changed\",\"state\":\"PLAYING\",\"timestamp\":T}",
            "zorva.test.player {\"event_type\":\"max_quality_changed\",\"max_quality\":\"HIRES2\",\"timestamp\":T}",
            "zorva.test.player {\"event_type\":\"controls_changed\",\"loop_mode\":\"QUEUE\",\"shuffle_enabled\":true,"
            "\"timestamp\":T}",
            "zorva.test.player "
            "{\"event_type\":\"actions_availability_changed\",\"next_available\":false,\"timestamp\":T}",
            "zorva.test.player {\"event_type\":\"seek\",\"stream_id\":7,\"position_ms\":30000,\"timestamp\":T}",
            "zorva.outgoing.events {\"event_type\":\"track_started\",\"stream_id\":7,\"title\":\"\",\"artist\":\"\","
            "\"album\":\"\",\"duration_ms\":180000,\"timestamp\":T}",
            "zorva.outgoing.events {\"event_type\":\"track_metadata\",\"stream_id\":\"7\",\"title\":\"Title\","
            "\"artist\":\"Artist\",\"album\":\"Album\",\"duration\":180000,\"albumArt\":\"https://art.invalid/7.png\","
            "\"bitrate\":4608000,\"genre\":\"\",\"source\":\"zorva\",\"lossless\":true,\"sampleRate\":96000,"
            "\"bitDepth\":24}",
            "zorva.outgoing.events {\"event_type\":\"track_finished\",\"stream_id\":7,\"timestamp\":T}",
        }));
}

TEST_F(PlayerEventsTest, ExternalVolumeModePublishesNoVolumeOrMuteEvent) {
    player_set_external_volume(player_, true);
    playback_.volume_changed(sdk(), 1234, playback_.user);
    playback_.mute_changed(sdk(), true, playback_.user);
    playback_.playback_state_changed(sdk(), ZRV_PLAYBACK_STATE_PAUSED, playback_.user);
    auto messages = received(1);
    run_for(200);
    messages = received(1);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(without_time(messages[0]),
              "zorva.test.player {\"event_type\":\"playback_state_changed\",\"state\":\"PAUSED\",\"timestamp\":T}");
}

}  // namespace
