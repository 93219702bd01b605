// The bridge against the stand-in SDK (calls read from its record), a local
// REST service and a private nats-server.
#include "volume/volume_bridge.h"

#include <gtest/gtest.h>
#include <uv.h>

#include <chrono>
#include <memory>
#include <string>

#include "../messaging/test_support.h"
#include "messaging/messaging_connection.h"
#include "rest_fixture.h"
#include "zorva_standin.h"

namespace {

constexpr const char *routing_key = "zrv.volume.events";

std::vector<std::string> sdk_calls() {
    std::vector<std::string> calls;
    for (size_t i = 0; i < zrv_standin_call_count(); ++i) {
        ZrvStandinCall call{};
        zrv_standin_call_at(i, &call);
        std::string name = call.operation;
        if (name == "zrv_connect_set_volume" || name == "zrv_connect_set_mute_state")
            calls.push_back(name + "(" + call.arguments + ")");
    }
    return calls;
}

class VolumeBridgeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        uv_loop_init(&loop_);
        zrv_standin_reset();
        ZrvConnectConfig config{};
        config.version = ZRV_CONNECT_CONFIG_VERSION;
        config.device_name = "Test device";
        config.manufacturer = "Maker";
        config.model = "Model";
        config.serial_number = "SN-1";
        config.unique_device_id = "volume-test";
        config.app_id = "app";
        config.app_secret = "00ff";
        ZrvError error = ZRV_OK;
        sdk_ = zrv_connect_create(&loop_, &config, &error);
        ASSERT_NE(sdk_, nullptr) << zrv_error_to_string(error);
        zrv_standin_clear_calls();
    }
    void TearDown() override {
        volume_bridge_free(bridge_);
        messaging_connection_free(connection_);
        zrv_connect_free(sdk_);
        uv_run(&loop_, UV_RUN_NOWAIT);
        EXPECT_EQ(uv_loop_close(&loop_), 0);
    }
    void make_bridge(const std::string &url, bool with_bus = false) {
        if (with_bus) {
            MessagingConnectionConfig config{};
            config.backend = MESSAGING_BACKEND_NATS;
            url_ = fixture_url("nats");
            config.nats.url = url_;
            config.nats.subscribe_subject = "zrv.volume.ignored";
            connection_ = messaging_connection_new(&config);
            ASSERT_TRUE(messaging_connection_is_connected(connection_));
        }
        bridge_ = volume_bridge_new(sdk_, connection_, url.c_str(), routing_key);
        ASSERT_NE(bridge_, nullptr);
    }
    bool offer(const std::string &message, bool *handled) {
        return volume_bridge_handle_message(bridge_, message.data(), message.size(), handled);
    }

    uv_loop_t loop_{};
    ZrvConnect *sdk_ = nullptr;
    MessagingConnection *connection_ = nullptr;
    VolumeBridge *bridge_ = nullptr;
    std::string url_;
};

TEST_F(VolumeBridgeTest, RestSyncAppliesPercentAndMuteToTheSdk) {
    VolumeRestFixture rest;
    rest.answer(200, R"({"volumePercent":35,"volume":80,"isMuted":true})");
    make_bridge(rest.url());
    LogCapture log;
    EXPECT_TRUE(volume_bridge_sync_from_rest(bridge_));
    EXPECT_EQ(log.line_count(), 0u) << log.text();
    EXPECT_EQ(sdk_calls(),
              (std::vector<std::string>{"zrv_connect_set_volume(35)", "zrv_connect_set_mute_state(true)"}));
    EXPECT_TRUE(volume_bridge_state_known(bridge_));
    EXPECT_EQ(volume_bridge_volume(bridge_), 35u);
    EXPECT_TRUE(volume_bridge_muted(bridge_));
    EXPECT_EQ(rest.requests(), 1);
}

TEST_F(VolumeBridgeTest, RestSyncClampsTheVolume) {
    VolumeRestFixture rest;
    rest.answer(200, R"({"volume":150,"isMuted":false})");
    make_bridge(rest.url());
    EXPECT_TRUE(volume_bridge_sync_from_rest(bridge_));
    EXPECT_EQ(sdk_calls()[0], "zrv_connect_set_volume(100)");
    rest.answer(200, R"({"volume":-5,"isMuted":false})");
    zrv_standin_clear_calls();
    EXPECT_TRUE(volume_bridge_sync_from_rest(bridge_));
    EXPECT_EQ(sdk_calls()[0], "zrv_connect_set_volume(0)");
}

TEST_F(VolumeBridgeTest, EveryRestFailureWarnsAndTouchesNothing) {
    VolumeRestFixture rest;
    make_bridge(rest.url());
    struct Case {
        int status;
        std::string body;
        std::string line;
    } cases[] = {
        {503, R"({"volume":10,"isMuted":false})", "Volume REST request returned HTTP status 503"},
        {200, R"({"volumePercent":35})", "Volume REST response did not contain a valid volume state"},
        {200, "", "Volume REST response did not contain a valid volume state"},
        {200, "<html>", "Volume REST response did not contain a valid volume state"},
    };
    for (const auto &c : cases) {
        rest.answer(c.status, c.body);
        LogCapture log;
        EXPECT_FALSE(volume_bridge_sync_from_rest(bridge_));
        EXPECT_TRUE(log.has_line("WARNING", c.line)) << log.text();
    }
    EXPECT_TRUE(sdk_calls().empty());
    EXPECT_FALSE(volume_bridge_state_known(bridge_));
}

TEST_F(VolumeBridgeTest, AbsentSlowOrOversizedServiceFailsTheTransfer) {
    {
        make_bridge("http://127.0.0.1:" + std::to_string(free_loopback_port()) + "/api/volume/percent");
        LogCapture log;
        EXPECT_FALSE(volume_bridge_sync_from_rest(bridge_));
        EXPECT_NE(log.text().find("WARNING JuxApp: Volume REST request failed: "), std::string::npos) << log.text();
        volume_bridge_free(bridge_);
        bridge_ = nullptr;
    }
    VolumeRestFixture rest;
    make_bridge(rest.url());
    {
        // A service that hangs must not hold start-up past the 2 s limit.
        rest.answer(200, R"({"volume":10,"isMuted":false})", 4000);
        auto start = std::chrono::steady_clock::now();
        LogCapture log;
        EXPECT_FALSE(volume_bridge_sync_from_rest(bridge_));
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(3500));
        EXPECT_TRUE(log.has_line("WARNING", "Volume REST request failed: Timeout was reached")) << log.text();
    }
    {
        rest.answer(200, "{\"volume\":10,\"isMuted\":false,\"pad\":\"" + std::string(100000, 'x') + "\"}");
        LogCapture log;
        EXPECT_FALSE(volume_bridge_sync_from_rest(bridge_));
        EXPECT_NE(log.text().find("WARNING JuxApp: Volume REST request failed: "), std::string::npos) << log.text();
    }
    EXPECT_TRUE(sdk_calls().empty());
}

TEST_F(VolumeBridgeTest, RejectedValuesAreNotStored) {
    VolumeRestFixture rest;
    rest.answer(200, R"({"volume":40,"isMuted":true})");
    make_bridge(rest.url());
    zrv_standin_inject_error("zrv_connect_set_mute_state", ZRV_ERROR_INVALID_STATE, 1);
    LogCapture log;
    EXPECT_FALSE(volume_bridge_sync_from_rest(bridge_));
    std::string expected =
        std::string("Failed to set Zorva mute state to true: ") + zrv_error_to_string(ZRV_ERROR_INVALID_STATE);
    EXPECT_TRUE(log.has_line("ERROR", expected)) << log.text();
    EXPECT_FALSE(volume_bridge_state_known(bridge_));
    EXPECT_EQ(volume_bridge_volume(bridge_), 100u);

    zrv_standin_inject_error("zrv_connect_set_volume", ZRV_ERROR_INVALID_ARGUMENT, 1);
    bool handled = false;
    EXPECT_FALSE(offer(R"({"volume":20})", &handled));
    EXPECT_TRUE(handled);
    EXPECT_EQ(volume_bridge_volume(bridge_), 100u);
}

TEST_F(VolumeBridgeTest, InboundMessagesAreConsumedOrPassedOn) {
    make_bridge("http://127.0.0.1:1/unused");
    bool handled = false;

    EXPECT_TRUE(offer(R"({"volume":30})", &handled));
    EXPECT_TRUE(handled);
    EXPECT_EQ(sdk_calls(), std::vector<std::string>{"zrv_connect_set_volume(30)"});
    EXPECT_TRUE(volume_bridge_state_known(bridge_));

    // The same volume again changes nothing and is still consumed.
    zrv_standin_clear_calls();
    EXPECT_TRUE(offer(R"({"volume":30})", &handled));
    EXPECT_TRUE(handled);
    EXPECT_TRUE(offer(R"({"volume":30,"command":"pause"})", &handled));
    EXPECT_TRUE(handled);
    EXPECT_TRUE(sdk_calls().empty());

    // The same volume with a new mute flag applies both.
    EXPECT_TRUE(offer(R"({"volume":30,"isMuted":true})", &handled));
    EXPECT_EQ(sdk_calls(),
              (std::vector<std::string>{"zrv_connect_set_volume(30)", "zrv_connect_set_mute_state(true)"}));
    EXPECT_TRUE(volume_bridge_muted(bridge_));

    zrv_standin_clear_calls();
    EXPECT_TRUE(offer(R"({"isMuted":false})", &handled));
    EXPECT_TRUE(handled);
    EXPECT_EQ(sdk_calls(), std::vector<std::string>{"zrv_connect_set_mute_state(false)"});

    // Neither field, or no JSON at all: for the command parser.
    zrv_standin_clear_calls();
    EXPECT_TRUE(offer(R"({"isMuted":1})", &handled));
    EXPECT_FALSE(handled);
    EXPECT_FALSE(offer("pause", &handled));
    EXPECT_FALSE(handled);
    EXPECT_TRUE(sdk_calls().empty());
}

TEST_F(VolumeBridgeTest, HooksPublishOnlyChangesOnTheBus) {
    make_bridge("http://127.0.0.1:1/unused", true);
    NatsPeer peer(url_);
    peer.subscribe(routing_key);
    peer.flush();

    // The first change after start-up always goes out, even at the initial 100.
    volume_bridge_on_volume_changed(bridge_, 100);
    ASSERT_TRUE(peer.wait_for_count(1));
    volume_bridge_on_volume_changed(bridge_, 100);
    volume_bridge_on_volume_changed(bridge_, 250);  // limited to 100: no change
    volume_bridge_on_mute_changed(bridge_, true);
    volume_bridge_on_volume_changed(bridge_, 42);
    ASSERT_TRUE(peer.wait_for_count(3));
    auto messages = peer.messages();
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_EQ(messages[0].subject, routing_key);
    EXPECT_EQ(messages[0].data, R"({"event_type":"volume","volume":100,"isMuted":false})");
    EXPECT_EQ(messages[1].data, R"({"event_type":"volume","volume":100,"isMuted":true})");
    EXPECT_EQ(messages[2].data, R"({"event_type":"volume","volume":42,"isMuted":true})");
    // The hooks only report what the SDK did: they never call back into it.
    EXPECT_TRUE(sdk_calls().empty());
}

TEST_F(VolumeBridgeTest, HooksWithoutABusWarnButKeepTheState) {
    make_bridge("http://127.0.0.1:1/unused");
    LogCapture log;
    volume_bridge_on_volume_changed(bridge_, 55);
    volume_bridge_on_mute_changed(bridge_, true);
    EXPECT_TRUE(log.has_line("WARNING", "Cannot publish volume update: NATS connection is not configured"));
    EXPECT_TRUE(log.has_line("WARNING", "Failed to publish volume update to NATS"));
    EXPECT_TRUE(log.has_line("WARNING", "Failed to publish mute update to NATS"));
    EXPECT_EQ(volume_bridge_volume(bridge_), 55u);
    EXPECT_TRUE(volume_bridge_muted(bridge_));
}

}  // namespace
