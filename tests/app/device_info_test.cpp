// DeviceInfo: the identity accessors and the renderer-activity event, read
// back from a real nats-server by a cnats peer.
#include "app/device_info.h"

#include <gtest/gtest.h>

#include "../messaging/test_support.h"
#include "messaging/event_publisher.h"
#include "messaging/messaging_connection.h"

namespace {

DeviceInfo *make_device() {
    return device_info_new("Living Room", ZRV_DEVICE_TYPE_STREAMER, "Jux", "J-1", "SN-42", "app-7", "secret");
}

TEST(DeviceInfo, HoldsTheSevenValuesAndNoPublisher) {
    DeviceInfo *info = make_device();
    LogCapture log;
    EXPECT_STREQ(device_info_name(info), "Living Room");
    EXPECT_STREQ(device_info_name(info), "Living Room");
    EXPECT_EQ(device_info_type(info), ZRV_DEVICE_TYPE_STREAMER);
    EXPECT_STREQ(device_info_manufacturer(info), "Jux");
    EXPECT_STREQ(device_info_model(info), "J-1");
    EXPECT_STREQ(device_info_serial_number(info), "SN-42");
    EXPECT_STREQ(device_info_app_id(info), "app-7");
    EXPECT_STREQ(info->app_secret, "secret");
    EXPECT_EQ(info->publisher, nullptr);
    // Only reading the name logs, once per read.
    EXPECT_TRUE(log.has_line("INFO", "Device name requested: Living Room"));
    EXPECT_EQ(log.line_count(), 2u);

    const DeviceDelegate delegate = device_info_delegate(info);
    EXPECT_EQ(delegate.user, info);
    EXPECT_NE(delegate.renderer_active_changed, nullptr);
    device_info_free(info);
    device_info_free(nullptr);
}

TEST(DeviceInfo, WithoutMessagingAnActiveChangeOnlyLogs) {
    DeviceInfo *info = make_device();
    const DeviceDelegate delegate = device_info_delegate(info);
    LogCapture log;
    delegate.renderer_active_changed(nullptr, true, delegate.user);
    delegate.renderer_active_changed(nullptr, false, delegate.user);
    EXPECT_TRUE(log.has_line("INFO", "Renderer is now active"));
    EXPECT_TRUE(log.has_line("INFO", "Renderer is now inactive"));
    EXPECT_EQ(log.line_count(), 2u);
    device_info_free(info);
}

TEST(DeviceInfo, ConnectionEventGoesOutUnderTheFixedSubject) {
    const std::string url = fixture_url("nats");
    MessagingConnectionConfig config{};
    config.backend = MESSAGING_BACKEND_NATS;
    config.nats.url = url;
    config.nats.subscribe_subject = "zrv.device.ignored";
    config.nats.publish_subject = "zrv.device.configured";
    MessagingConnection *connection = messaging_connection_new(&config);
    ASSERT_TRUE(wait_until([&] { return messaging_connection_is_connected(connection); }));
    EventPublisher *publisher = event_publisher_new(connection, "zrv.device.configured");
    NatsPeer peer(url);
    peer.subscribe(outgoing_events_subject);
    peer.subscribe("zrv.device.configured");

    DeviceInfo *info = make_device();
    device_info_set_publisher(info, publisher);
    EXPECT_EQ(info->publisher, publisher);
    const DeviceDelegate delegate = device_info_delegate(info);
    {
        LogCapture log;
        delegate.renderer_active_changed(nullptr, true, delegate.user);
        delegate.renderer_active_changed(nullptr, false, delegate.user);
        EXPECT_TRUE(log.has_line("INFO", "Renderer is now active"));
        EXPECT_TRUE(log.has_line("INFO", "Renderer is now inactive"));
    }
    ASSERT_TRUE(peer.wait_for_count(2));
    const auto messages = peer.messages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0].subject, outgoing_events_subject);
    EXPECT_EQ(messages[0].data, R"({"event_type":"zorva_connection","connected":true})");
    EXPECT_EQ(messages[1].subject, outgoing_events_subject);
    EXPECT_EQ(messages[1].data, R"({"event_type":"zorva_connection","connected":false})");

    device_info_free(info);
    event_publisher_free(publisher);
    messaging_connection_free(connection);
}

}  // namespace
