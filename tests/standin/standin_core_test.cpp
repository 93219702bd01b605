// The stand-in SDK's core: configuration checks, call record, error injection,
// texts, device UUID, log delegate and session basics. Loop thread only.
#include <gtest/gtest.h>
#include <uv.h>

#include <string>
#include <thread>
#include <vector>

#include "standin_test_support.h"

namespace {

class StandinCore : public ::testing::Test {
  protected:
    void SetUp() override {
        zrv_standin_reset();
        ASSERT_EQ(uv_loop_init(&loop), 0);
    }
    void TearDown() override {
        drop_log();
        uv_run(&loop, UV_RUN_DEFAULT);
        EXPECT_EQ(uv_loop_close(&loop), 0);
        zrv_standin_reset();
    }
    ZrvConnect *create(ZrvError *error = nullptr) {
        ZrvConnectConfig config = make_config(identity, &events);
        ZrvError local = ZRV_ERROR_INTERNAL;
        ZrvConnect *sdk = zrv_connect_create(&loop, &config, error ? error : &local);
        return sdk;
    }

    uv_loop_t loop{};
    TestIdentity identity;
    DelegateEvents events;
};

TEST_F(StandinCore, RejectsAnIncompleteOrUnknownConfiguration) {
    const ZrvConnectConfig good = make_config(identity, &events);
    std::vector<ZrvConnectConfig> bad(10, good);
    bad[0].version = 2;
    bad[1].device_name = nullptr;
    bad[2].manufacturer = nullptr;
    bad[3].model = nullptr;
    bad[4].serial_number = nullptr;
    bad[5].unique_device_id = nullptr;
    bad[6].app_id = nullptr;
    bad[7].app_secret = nullptr;
    bad[8].max_audio_quality = 4;
    bad[9].version = 0;
    for (size_t i = 0; i < bad.size(); ++i) {
        ZrvError error = ZRV_OK;
        EXPECT_EQ(zrv_connect_create(&loop, &bad[i], &error), nullptr) << "case " << i;
        EXPECT_EQ(error, ZRV_ERROR_INVALID_ARGUMENT) << "case " << i;
    }
    ZrvError error = ZRV_OK;
    EXPECT_EQ(zrv_connect_create(nullptr, &good, &error), nullptr);
    EXPECT_EQ(error, ZRV_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(zrv_connect_create(&loop, nullptr, &error), nullptr);
    EXPECT_EQ(error, ZRV_ERROR_INVALID_ARGUMENT);

    // Empty strings are values like any other: the daemon's configuration
    // may legitimately hold them.
    ZrvConnectConfig empty = good;
    empty.device_name = "";
    empty.unique_device_id = "";
    empty.app_secret = "";
    ZrvConnect *sdk = zrv_connect_create(&loop, &empty, &error);
    ASSERT_NE(sdk, nullptr);
    EXPECT_EQ(error, ZRV_OK);
    zrv_connect_free(sdk);
    EXPECT_TRUE(events.events.empty()) << "the freed instance never ran its start-up work";
}

TEST_F(StandinCore, RecordsEveryOperationInOrderWithItsArguments) {
    ZrvConnect *sdk = create();
    ASSERT_NE(sdk, nullptr);
    const char *text = nullptr;
    EXPECT_EQ(zrv_connect_get_device_uuid(sdk, &text), ZRV_OK);
    EXPECT_STREQ(zrv_connect_get_sdk_version(), "1.0.0-standin");
    EXPECT_EQ(zrv_connect_set_volume(sdk, 65535), ZRV_OK);
    EXPECT_EQ(zrv_connect_set_mute_state(sdk, true), ZRV_OK);
    EXPECT_STREQ(zrv_audio_quality_to_string(1), "HIRES1");  // helpers are not recorded
    EXPECT_EQ(zrv_audio_sample_format_size(ZRV_SAMPLE_FORMAT_S16), 2u);
    EXPECT_EQ(zrv_connect_seek_time(sdk, 1500), ZRV_ERROR_NOT_CONNECTED);
    EXPECT_EQ(zrv_connect_notify_playback_initiated(sdk, AudioFormat{48000, 2, 1}), ZRV_ERROR_NOT_CONNECTED);
    SessionToken api{"https://api.invalid", "jwt-a", 111};
    SessionToken zc{"wss://zc.invalid", "jwt-z", 222};
    EXPECT_EQ(zrv_connect_connect(sdk, "session-9", &api, &zc, false), ZRV_OK);
    zrv_connect_free(sdk);

    const std::vector<std::string> expected{"zrv_connect_create",
                                            "zrv_connect_get_device_uuid",
                                            "zrv_connect_get_sdk_version",
                                            "zrv_connect_set_volume",
                                            "zrv_connect_set_mute_state",
                                            "zrv_connect_seek_time",
                                            "zrv_connect_notify_playback_initiated",
                                            "zrv_connect_connect",
                                            "zrv_connect_free"};
    EXPECT_EQ(recorded_operations(), expected);
    EXPECT_EQ(recorded_arguments("zrv_connect_create"),
              "1, Test Renderer, 1, Acme, R1, SN-0001, device-0001, app-42, a1b2, 2, 1");
    EXPECT_EQ(recorded_arguments("zrv_connect_set_volume"), "65535");
    EXPECT_EQ(recorded_arguments("zrv_connect_set_mute_state"), "true");
    EXPECT_EQ(recorded_arguments("zrv_connect_seek_time"), "1500");
    EXPECT_EQ(recorded_arguments("zrv_connect_notify_playback_initiated"), "48000, 2, 1");
    EXPECT_EQ(recorded_arguments("zrv_connect_connect"),
              "session-9, https://api.invalid, jwt-a, 111, wss://zc.invalid, jwt-z, 222, false");
    EXPECT_EQ(recorded_arguments("zrv_connect_get_device_uuid"), "");
    EXPECT_EQ(zrv_standin_count_calls("zrv_connect_set_volume"), 1u);
    EXPECT_EQ(zrv_standin_find_call("zrv_connect_set_volume", 4), static_cast<size_t>(-1));

    zrv_standin_clear_calls();
    EXPECT_EQ(zrv_standin_call_count(), 0u);
    ZrvStandinCall call;
    EXPECT_FALSE(zrv_standin_call_at(0, &call));
}

TEST_F(StandinCore, InjectedErrorsFailNCallsOrAlwaysAndAreStillRecorded) {
    ZrvConnect *sdk = create();
    ASSERT_NE(sdk, nullptr);
    zrv_standin_inject_error("zrv_connect_set_volume", ZRV_ERROR_NETWORK, 2);
    EXPECT_EQ(zrv_connect_set_volume(sdk, 10), ZRV_ERROR_NETWORK);
    EXPECT_EQ(zrv_connect_set_volume(sdk, 20), ZRV_ERROR_NETWORK);
    EXPECT_EQ(zrv_connect_set_volume(sdk, 30), ZRV_OK);
    EXPECT_EQ(zrv_standin_count_calls("zrv_connect_set_volume"), 3u);

    zrv_standin_inject_error("zrv_connect_get_session_id", ZRV_ERROR_INTERNAL, -1);
    const char *session = "untouched";
    for (int i = 0; i < 5; ++i) EXPECT_EQ(zrv_connect_get_session_id(sdk, &session), ZRV_ERROR_INTERNAL);
    EXPECT_STREQ(session, "untouched") << "a failing call has no effect";
    zrv_standin_inject_error("zrv_connect_get_session_id", ZRV_ERROR_INTERNAL, 0);
    EXPECT_EQ(zrv_connect_get_session_id(sdk, &session), ZRV_OK);
    EXPECT_STREQ(session, "") << "no session yet";

    zrv_standin_inject_error("zrv_connect_set_mute_state", ZRV_ERROR_NOT_SUPPORTED, -1);
    zrv_standin_clear_errors();
    EXPECT_EQ(zrv_connect_set_mute_state(sdk, false), ZRV_OK);
    zrv_connect_free(sdk);

    zrv_standin_inject_error("zrv_connect_create", ZRV_ERROR_NOT_SUPPORTED, 1);
    ZrvError error = ZRV_OK;
    EXPECT_EQ(create(&error), nullptr);
    EXPECT_EQ(error, ZRV_ERROR_NOT_SUPPORTED);
    sdk = create(&error);
    ASSERT_NE(sdk, nullptr);
    EXPECT_EQ(error, ZRV_OK);
    zrv_connect_free(sdk);
}

TEST_F(StandinCore, TextsOfEveryEnumerationAndOutOfRangeValues) {
    EXPECT_STREQ(zrv_audio_quality_to_string(ZRV_AUDIO_QUALITY_CD), "CD");
    EXPECT_STREQ(zrv_audio_quality_to_string(ZRV_AUDIO_QUALITY_HIRES2), "HIRES2");
    EXPECT_STREQ(zrv_audio_quality_to_string(ZRV_AUDIO_QUALITY_HIRES3), "HIRES3");
    EXPECT_STREQ(zrv_audio_quality_to_string(4), "UNKNOWN");
    EXPECT_STREQ(zrv_device_type_to_string(ZRV_DEVICE_TYPE_SPEAKER), "SPEAKER");
    EXPECT_STREQ(zrv_device_type_to_string(ZRV_DEVICE_TYPE_AV_RECEIVER), "AV_RECEIVER");
    EXPECT_STREQ(zrv_device_type_to_string(ZRV_DEVICE_TYPE_HEADPHONES), "HEADPHONES");
    EXPECT_STREQ(zrv_device_type_to_string(-1), "UNKNOWN");
    EXPECT_STREQ(zrv_device_type_to_string(6), "UNKNOWN");
    EXPECT_STREQ(zrv_playback_state_to_string(ZRV_PLAYBACK_STATE_STOPPED), "STOPPED");
    EXPECT_STREQ(zrv_playback_state_to_string(ZRV_PLAYBACK_STATE_PAUSED), "PAUSED");
    EXPECT_STREQ(zrv_playback_state_to_string(ZRV_PLAYBACK_STATE_BUFFERING), "BUFFERING");
    EXPECT_STREQ(zrv_playback_state_to_string(4), "UNKNOWN");
    EXPECT_STREQ(zrv_loop_mode_to_string(ZRV_LOOP_MODE_OFF), "OFF");
    EXPECT_STREQ(zrv_loop_mode_to_string(ZRV_LOOP_MODE_QUEUE), "QUEUE");
    EXPECT_STREQ(zrv_loop_mode_to_string(3), "UNKNOWN");
    EXPECT_STREQ(zrv_error_to_string(ZRV_OK), "OK");
    EXPECT_STREQ(zrv_error_to_string(ZRV_ERROR_NOT_CONNECTED), "Not connected");
    EXPECT_STREQ(zrv_error_to_string(ZRV_ERROR_INTERNAL), "Internal error");
    EXPECT_STREQ(zrv_error_to_string(11), "Unknown error");
    EXPECT_STREQ(zrv_error_to_string(-3), "Unknown error");
    EXPECT_EQ(zrv_audio_sample_format_size(ZRV_SAMPLE_FORMAT_S24_32), 4u);
    EXPECT_EQ(zrv_audio_sample_format_size(ZRV_SAMPLE_FORMAT_S32), 4u);
    EXPECT_EQ(zrv_audio_sample_format_size(3), 0u);
}

TEST_F(StandinCore, DeviceUuidIsStablePerIdAndDistinctAcrossIds) {
    auto uuid_for = [&](const std::string &unique_id) {
        identity.unique_device_id = unique_id;
        ZrvConnect *sdk = create();
        const char *text = nullptr;
        EXPECT_EQ(zrv_connect_get_device_uuid(sdk, &text), ZRV_OK);
        std::string uuid = text ? text : "";
        zrv_connect_free(sdk);
        return uuid;
    };
    const std::string a = uuid_for("device-0001");
    // 8-4-4-4-12 lowercase hex, version 8, RFC variant.
    ASSERT_EQ(a.size(), 36u) << a;
    for (size_t i = 0; i < a.size(); ++i) {
        if (i == 8 || i == 13 || i == 18 || i == 23)
            EXPECT_EQ(a[i], '-') << a;
        else
            EXPECT_TRUE((a[i] >= '0' && a[i] <= '9') || (a[i] >= 'a' && a[i] <= 'f')) << a;
    }
    EXPECT_EQ(a[14], '8') << a;
    EXPECT_NE(std::string("89ab").find(a[19]), std::string::npos) << a;
    EXPECT_EQ(uuid_for("device-0001"), a);
    EXPECT_NE(uuid_for("device-0002"), a);
    EXPECT_NE(uuid_for("device-000"), a);
    EXPECT_NE(uuid_for(""), a);
    EXPECT_EQ(uuid_for(""), uuid_for(""));
}

TEST_F(StandinCore, LogDelegateReceivesStartUpLinesIncludingAFilteredComponent) {
    collect_log(&events);
    ZrvConnect *sdk = create();
    ASSERT_NE(sdk, nullptr);
    zrv_connect_free(sdk);
    drop_log();
    bool startup = false, http_debug = false;
    for (const auto &line : events.log_lines) {
        startup |= line.rfind("INFO ZorvaConnect: Zorva Connect 1.0.0-standin starting for 'Test Renderer'", 0) == 0;
        http_debug |= line.rfind("DEBUG HttpClient: ", 0) == 0;
    }
    EXPECT_TRUE(startup);
    EXPECT_TRUE(http_debug);
    EXPECT_EQ(zrv_standin_count_calls("zrv_connect_set_log_delegate"), 2u);
    EXPECT_EQ(zrv_connect_set_log_delegate(nullptr), ZRV_ERROR_INVALID_ARGUMENT);
}

TEST_F(StandinCore, StartsAdvertisingAndConfigServerFromTheLoopAndStopsThemAtFree) {
    ZrvConnect *sdk = create();
    ASSERT_NE(sdk, nullptr);
    EXPECT_TRUE(events.events.empty()) << "nothing is called back from inside create";
    uv_run(&loop, UV_RUN_NOWAIT);
    ASSERT_EQ(events.events,
              (std::vector<std::string>{"start_advertising Test Renderer _zorva-connect._tcp", "config_start"}));
    zrv_connect_free(sdk);
    EXPECT_EQ(events.events, (std::vector<std::string>{"start_advertising Test Renderer _zorva-connect._tcp",
                                                       "config_start", "stop_advertising", "config_stop"}));
}

TEST_F(StandinCore, SessionNeedsValidArgumentsAndOperationsNeedASession) {
    ZrvConnect *sdk = create();
    ASSERT_NE(sdk, nullptr);
    ZrvPlaybackState state = 99;
    EXPECT_EQ(zrv_connect_get_playback_state(sdk, &state), ZRV_ERROR_NOT_CONNECTED);
    EXPECT_EQ(zrv_connect_start_playback(sdk), ZRV_ERROR_NOT_CONNECTED);
    EXPECT_EQ(zrv_connect_pause_playback(sdk), ZRV_ERROR_NOT_CONNECTED);
    EXPECT_EQ(zrv_connect_next_track(sdk), ZRV_ERROR_NOT_CONNECTED);
    EXPECT_EQ(zrv_connect_deactivate_and_disconnect_renderer(sdk), ZRV_ERROR_NOT_CONNECTED);
    EXPECT_EQ(zrv_connect_notify_playback_finished(sdk, true), ZRV_ERROR_NOT_CONNECTED);
    EXPECT_EQ(zrv_connect_resume_audio_delivery(sdk, 1), ZRV_ERROR_UNKNOWN_STREAM);
    EXPECT_EQ(zrv_connect_set_volume(sdk, 65536), ZRV_ERROR_INVALID_ARGUMENT);

    SessionToken api{"https://api.invalid", "jwt-a", 1};
    SessionToken zc{"wss://zc.invalid", "jwt-z", 2};
    SessionToken no_token{"wss://zc.invalid", nullptr, 2};
    EXPECT_EQ(zrv_connect_connect(sdk, "", &api, &zc, true), ZRV_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(zrv_connect_connect(sdk, nullptr, &api, &zc, true), ZRV_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(zrv_connect_connect(sdk, "s", nullptr, &zc, true), ZRV_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(zrv_connect_connect(sdk, "s", &api, &no_token, true), ZRV_ERROR_INVALID_ARGUMENT);
    const char *session = nullptr;
    EXPECT_EQ(zrv_connect_get_session_id(sdk, &session), ZRV_OK);
    EXPECT_STREQ(session, "");

    EXPECT_EQ(zrv_connect_connect(sdk, "session-1", &api, &zc, false), ZRV_OK);
    EXPECT_EQ(zrv_connect_get_session_id(sdk, &session), ZRV_OK);
    EXPECT_STREQ(session, "session-1");
    EXPECT_EQ(zrv_connect_get_playback_state(sdk, &state), ZRV_OK);
    EXPECT_EQ(state, ZRV_PLAYBACK_STATE_STOPPED);
    EXPECT_EQ(zrv_connect_pause_playback(sdk), ZRV_ERROR_NO_PLAYBACK);
    EXPECT_EQ(zrv_connect_seek_time(sdk, 10), ZRV_ERROR_NO_PLAYBACK);
    EXPECT_EQ(zrv_connect_notify_playback_paused(sdk), ZRV_ERROR_NO_PLAYBACK);

    EXPECT_EQ(zrv_connect_deactivate_and_disconnect_renderer(sdk), ZRV_OK);
    uv_run(&loop, UV_RUN_NOWAIT);
    EXPECT_EQ(zrv_connect_get_session_id(sdk, &session), ZRV_OK);
    EXPECT_STREQ(session, "");
    zrv_connect_free(sdk);
}

TEST_F(StandinCore, RefusesOperationsFromAnotherThreadThanTheLoops) {
    collect_log(&events);
    ZrvConnect *sdk = create();
    ASSERT_NE(sdk, nullptr);
    ZrvError off_thread = ZRV_OK;
    std::thread([&] { off_thread = zrv_connect_set_volume(sdk, 100); }).join();
    EXPECT_EQ(off_thread, ZRV_ERROR_INVALID_STATE);
    EXPECT_EQ(zrv_connect_set_volume(sdk, 100), ZRV_OK);
    zrv_connect_free(sdk);
    drop_log();
    bool logged = false;
    for (const auto &line : events.log_lines)
        logged |= line == "ERROR ZorvaConnect: zrv_connect_set_volume called off the loop thread; refused";
    EXPECT_TRUE(logged);
}

}  // namespace
