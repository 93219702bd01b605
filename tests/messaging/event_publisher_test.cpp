// The events' exact bytes and subjects, read back by a cnats peer from a
// private nats-server.
#include "messaging/event_publisher.h"

#include <gtest/gtest.h>

#include <ctime>
#include <map>
#include <memory>

#include "messaging/messaging_connection.h"
#include "test_support.h"

namespace {

constexpr const char *routing_key = "zrv.events.routed";

// The body must be prefix + a timestamp taken within [before, after] + "}".
void expect_timestamped(const std::string &body, const std::string &prefix, time_t before, time_t after) {
    ASSERT_GT(body.size(), prefix.size() + 1) << body;
    EXPECT_EQ(body.substr(0, prefix.size()), prefix) << body;
    EXPECT_EQ(body.back(), '}') << body;
    std::string digits = body.substr(prefix.size(), body.size() - prefix.size() - 1);
    ASSERT_FALSE(digits.empty());
    EXPECT_EQ(digits.find_first_not_of("0123456789"), std::string::npos) << body;
    long long timestamp = std::stoll(digits);
    EXPECT_GE(timestamp, static_cast<long long>(before));
    EXPECT_LE(timestamp, static_cast<long long>(after));
}

class EventPublisherTest : public ::testing::Test {
  protected:
    void SetUp() override {
        server_.start();
        MessagingConnectionConfig config{};
        config.backend = MESSAGING_BACKEND_NATS;
        std::string url = server_.url();
        config.nats.url = url;
        config.nats.subscribe_subject = "zrv.events.ignored";
        connection_ = messaging_connection_new(&config);
        ASSERT_TRUE(messaging_connection_is_connected(connection_));
        publisher_ = event_publisher_new(connection_, routing_key);
        ASSERT_NE(publisher_, nullptr);
        peer_ = std::make_unique<NatsPeer>(url);
        peer_->subscribe(outgoing_events_subject);
        peer_->subscribe(routing_key);
        peer_->subscribe("zrv.events.custom");
    }
    void TearDown() override {
        peer_.reset();
        event_publisher_free(publisher_);
        messaging_connection_free(connection_);
    }
    // The next message the peer got, in arrival order.
    ReceivedMessage next() {
        EXPECT_TRUE(peer_->wait_for_count(seen_ + 1));
        auto messages = peer_->messages();
        return seen_ < messages.size() ? messages[seen_++] : ReceivedMessage{};
    }

    NatsServerProcess server_{free_loopback_port()};
    MessagingConnection *connection_ = nullptr;
    EventPublisher *publisher_ = nullptr;
    std::unique_ptr<NatsPeer> peer_;
    size_t seen_ = 0;
};

TEST_F(EventPublisherTest, TrackEventsGoToTheFixedSubjectWithTheirExactBodies) {
    LogCapture log;
    time_t before = std::time(nullptr);
    EXPECT_TRUE(event_publisher_track_started(publisher_, 7, "", "", "", 215000));
    time_t after = std::time(nullptr);
    ReceivedMessage started = next();
    EXPECT_EQ(started.subject, outgoing_events_subject);
    expect_timestamped(
        started.data,
        "{\"event_type\":\"track_started\",\"stream_id\":7,\"title\":\"\",\"artist\":\"\",\"album\":\"\","
        "\"duration_ms\":215000,\"timestamp\":",
        before, after);

    EXPECT_TRUE(event_publisher_track_metadata(publisher_, 7, "Café \"Live\"", "Ärtist", "Album", 215000,
                                               "http://art/1.jpg", 2116800, "", "zorva", true, 44100, 24));
    ReceivedMessage metadata = next();
    EXPECT_EQ(metadata.subject, outgoing_events_subject);
    EXPECT_EQ(metadata.data,
              "{\"event_type\":\"track_metadata\",\"stream_id\":\"7\",\"title\":\"Café \\\"Live\\\"\",\"artist\":"
              "\"Ärtist\",\"album\":\"Album\",\"duration\":215000,\"albumArt\":\"http://art/1.jpg\",\"bitrate\":"
              "2116800,\"genre\":\"\",\"source\":\"zorva\",\"lossless\":true,\"sampleRate\":44100,\"bitDepth\":24}");

    before = std::time(nullptr);
    EXPECT_TRUE(event_publisher_track_finished(publisher_, 18446744073709551ULL));
    after = std::time(nullptr);
    ReceivedMessage finished = next();
    EXPECT_EQ(finished.subject, outgoing_events_subject);
    expect_timestamped(finished.data,
                       "{\"event_type\":\"track_finished\",\"stream_id\":18446744073709551,\"timestamp\":", before,
                       after);

    EXPECT_TRUE(log.has_line("DEBUG", "Published track_started event (stream: 7)"));
    EXPECT_TRUE(log.has_line("INFO",
                             "Publishing track update: id='7', title='Café \"Live\"', artist='Ärtist', "
                             "album='Album'"));
    EXPECT_TRUE(log.has_line("DEBUG", "Published track_metadata event (stream: 7)"));
    EXPECT_TRUE(log.has_line("DEBUG", "Published track_finished event (stream: 18446744073709551)"));
}

TEST_F(EventPublisherTest, SeekAndPlaybackStateGoToTheRoutingKey) {
    LogCapture log;
    time_t before = std::time(nullptr);
    EXPECT_TRUE(event_publisher_seek(publisher_, 7, 30000));
    EXPECT_TRUE(event_publisher_playback_state(publisher_, "PLAYING"));
    time_t after = std::time(nullptr);
    ReceivedMessage seek = next();
    EXPECT_EQ(seek.subject, routing_key);
    expect_timestamped(seek.data,
                       "{\"event_type\":\"seek\",\"stream_id\":7,\"position_ms\":30000,\"timestamp\":", before, after);
    ReceivedMessage state = next();
    EXPECT_EQ(state.subject, routing_key);
    expect_timestamped(
        state.data, "{\"event_type\":\"playback_state_changed\",\"state\":\"PLAYING\",\"timestamp\":", before, after);
    EXPECT_TRUE(log.has_line("DEBUG", "Published seek event (stream: 7, position: 30000ms)"));
    EXPECT_TRUE(log.has_line("DEBUG", "Published playback_state event: PLAYING"));
}

TEST_F(EventPublisherTest, RejectedStringsLeaveOnlyTheirKeyOut) {
    time_t before = std::time(nullptr);
    EXPECT_TRUE(event_publisher_track_started(publisher_, 3, nullptr, "bad \xff utf-8", "ok", 1));
    time_t after = std::time(nullptr);
    expect_timestamped(
        next().data,
        "{\"event_type\":\"track_started\",\"stream_id\":3,\"album\":\"ok\",\"duration_ms\":1,\"timestamp\":", before,
        after);
}

TEST_F(EventPublisherTest, RawBodiesGoToTheGivenSubjectOrTheRoutingKey) {
    LogCapture log;
    std::string connection_body = event_body_zorva_connection(true);
    EXPECT_TRUE(event_publisher_publish_raw(publisher_, connection_body.c_str(), outgoing_events_subject));
    EXPECT_TRUE(event_publisher_publish_raw(publisher_, "{\"x\":1}", nullptr));
    EXPECT_TRUE(event_publisher_publish_raw(publisher_, "custom", "zrv.events.custom"));
    ASSERT_TRUE(peer_->wait_for_count(3));
    // Each subject has its own subscription, so only the contents are fixed.
    auto messages = peer_->messages();
    std::map<std::string, std::string> by_subject;
    for (const auto &message : messages) by_subject[message.subject] = message.data;
    EXPECT_EQ(by_subject, (std::map<std::string, std::string>{
                              {outgoing_events_subject, "{\"event_type\":\"zorva_connection\",\"connected\":true}"},
                              {routing_key, "{\"x\":1}"},
                              {"zrv.events.custom", "custom"}}));
    EXPECT_TRUE(log.has_line("DEBUG", "Published custom message"));
}

TEST_F(EventPublisherTest, NothingIsPublishedOrClaimedWhileTheServerIsDown) {
    server_.kill();
    ASSERT_TRUE(wait_until([&] { return !messaging_connection_is_connected(connection_); }));
    LogCapture log;
    EXPECT_FALSE(event_publisher_seek(publisher_, 1, 2));
    EXPECT_FALSE(event_publisher_track_started(publisher_, 1, "", "", "", 0));
    EXPECT_FALSE(event_publisher_publish_raw(publisher_, "{}", nullptr));
    EXPECT_TRUE(log.has_line("WARNING", "Cannot publish message: NATS not connected"));
    EXPECT_FALSE(log.has_line("DEBUG", "Published seek event (stream: 1, position: 2ms)"));
    EXPECT_FALSE(log.has_line("DEBUG", "Published custom message"));
}

TEST(EventBodies, CompactWithKeysInOrderAndTimestampsOnlyWhereTheyBelong) {
    EXPECT_EQ(event_body_zorva_connection(false), "{\"event_type\":\"zorva_connection\",\"connected\":false}");
    EXPECT_EQ(event_body_volume(42, true), "{\"event_type\":\"volume\",\"volume\":42,\"isMuted\":true}");
    time_t before = std::time(nullptr);
    std::string mute = event_body_mute_changed(true);
    std::string volume = event_body_volume_changed(4294967295u);
    std::string actions = event_body_actions_availability_changed(false);
    std::string quality = event_body_max_quality_changed("LOSSLESS");
    std::string controls = event_body_controls_changed("REPEAT_ALL", true);
    time_t after = std::time(nullptr);
    expect_timestamped(mute, "{\"event_type\":\"mute_changed\",\"muted\":true,\"timestamp\":", before, after);
    expect_timestamped(volume, "{\"event_type\":\"volume_changed\",\"volume\":4294967295,\"timestamp\":", before,
                       after);
    expect_timestamped(
        actions, "{\"event_type\":\"actions_availability_changed\",\"next_available\":false,\"timestamp\":", before,
        after);
    expect_timestamped(
        quality, "{\"event_type\":\"max_quality_changed\",\"max_quality\":\"LOSSLESS\",\"timestamp\":", before, after);
    expect_timestamped(controls,
                       "{\"event_type\":\"controls_changed\",\"loop_mode\":\"REPEAT_ALL\",\"shuffle_enabled\":true,"
                       "\"timestamp\":",
                       before, after);
    expect_timestamped(event_body_max_quality_changed(nullptr),
                       "{\"event_type\":\"max_quality_changed\",\"timestamp\":", before, std::time(nullptr));
}

TEST(EventPublisher, CreationAndNullPublisher) {
    LogCapture log;
    EventPublisher *publisher = event_publisher_new(nullptr, "some.key");
    ASSERT_NE(publisher, nullptr);
    EXPECT_FALSE(event_publisher_seek(publisher, 1, 1));
    event_publisher_free(publisher);
    event_publisher_free(nullptr);
    EXPECT_FALSE(event_publisher_track_finished(nullptr, 1));
    EXPECT_FALSE(event_publisher_publish_raw(nullptr, "{}", nullptr));
    EXPECT_TRUE(log.has_line("DEBUG", "Nats publisher created (routing_key: some.key)"));
    EXPECT_TRUE(log.has_line("DEBUG", "Nats publisher freed"));
}

}  // namespace
