// Wiring, its failure and the shutdown path on a private loop, in this
// process. A handle left open fails uv_loop_close; a component left allocated
// fails the sanitizer build's leak check.
#include "app/app.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <string>

#include "app/config.h"
#include "capture.h"
#include "zorva_standin.h"

namespace {

// Every component is wired for real; the HTTP server takes a free port and
// there is neither a bus nor an external volume controller.
AppConfig test_config() {
    AppConfig config;
    config.app_id = "app";
    config.app_secret = "00ff";
    config.device_name = "Test device";
    config.manufacturer = "Maker";
    config.model = "Model";
    config.serial_number = "SN-1";
    config.output_device = "plug:default";
    config.volume_device = "default";
    config.volume_element = "Master";
    config.external_volume = false;
    config.port = 0;
    config.quality_follows_output = true;
    config.max_audio_quality = 3;
    return config;
}

const std::string device_id = "app-test-device";

class AppShutdown : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(uv_loop_init(&loop), 0); }
    void TearDown() override {
        struct sigaction restore {};
        restore.sa_handler = SIG_DFL;
        sigemptyset(&restore.sa_mask);
        sigaction(SIGINT, &restore, nullptr);
        sigaction(SIGTERM, &restore, nullptr);
    }
    uv_loop_t loop{};
};

size_t count(const std::string &text, const std::string &what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

TEST_F(AppShutdown, SigintStopsTheLoopAndLaterSignalsTouchNothing) {
    AppConfig config = test_config();
    AppState state;
    ASSERT_TRUE(app_wire(&state, &loop, config, device_id));
    ASSERT_NE(state.shutdown_async, nullptr);

    StreamCapture out(STDOUT_FILENO);
    // Merged into one wake-up: the handler runs once.
    raise(SIGINT);
    raise(SIGINT);
    EXPECT_EQ(uv_run(&loop, UV_RUN_DEFAULT), 0);
    EXPECT_EQ(state.shutdown_async, nullptr);
    // The handle is gone; these must neither crash nor wake anything.
    raise(SIGINT);
    raise(SIGINT);
    EXPECT_EQ(uv_run(&loop, UV_RUN_NOWAIT), 0);
    std::string text = out.finish();
    EXPECT_EQ(count(text, "DEBUG JuxApp: Ctrl+C detected, quitting main loop\n"), 1u) << text;
    EXPECT_EQ(uv_loop_close(&loop), 0);
}

TEST_F(AppShutdown, WiringAgainAfterShutdownWorks) {
    AppConfig config = test_config();
    for (int round = 0; round < 2; ++round) {
        AppState state;
        ASSERT_TRUE(app_wire(&state, &loop, config, device_id));
        StreamCapture out(STDOUT_FILENO);
        raise(SIGINT);
        uv_run(&loop, UV_RUN_DEFAULT);
        EXPECT_EQ(count(out.finish(), "Ctrl+C detected"), 1u);
    }
    EXPECT_EQ(uv_loop_close(&loop), 0);
}

TEST_F(AppShutdown, RefusedSdkCreationLeavesNothingBehind) {
    AppConfig config = test_config();
    zrv_standin_reset();
    zrv_standin_inject_error("zrv_connect_create", ZRV_ERROR_AUTHENTICATION, 1);
    AppState state;
    StreamCapture out(STDOUT_FILENO);
    EXPECT_FALSE(app_wire(&state, &loop, config, device_id));
    std::string text = out.finish();

    EXPECT_FALSE(state.sdk || state.shutdown_async || state.advertiser || state.config_server || state.player ||
                 state.device_info);
    // The components went before the reason was logged, which stays the
    // last word of the failed start.
    const std::string last = std::string("ERROR JuxApp: Unable to create Zorva Connect: ") +
                             zrv_error_to_string(ZRV_ERROR_AUTHENTICATION) + "\n";
    ASSERT_GE(text.size(), last.size()) << text;
    EXPECT_EQ(text.substr(text.size() - last.size()), last) << text;
    // The handles of the Player's sink and timers and of the ConfigServer
    // close on this run; one left open would keep the loop busy.
    EXPECT_EQ(uv_run(&loop, UV_RUN_NOWAIT), 0);
    EXPECT_EQ(uv_loop_close(&loop), 0);
}

TEST_F(AppShutdown, AStateDroppedWithoutSigintReleasesEverythingSdkFirst) {
    AppConfig config = test_config();
    zrv_standin_reset();
    StreamCapture out(STDOUT_FILENO);
    {
        AppState state;
        ASSERT_TRUE(app_wire(&state, &loop, config, device_id));
        // The SDK starts the HTTP server from the loop.
        for (int i = 0; i < 100 && !config_server_is_running(state.config_server.get()); ++i)
            uv_run(&loop, UV_RUN_NOWAIT);
        ASSERT_TRUE(config_server_is_running(state.config_server.get()));
    }
    std::string text = out.finish();
    EXPECT_EQ(zrv_standin_count_calls("zrv_connect_free"), 1u);
    // The SDK instance went first: it stopped the server it had started,
    // and the server's owner then found it stopped.
    size_t sdk_stopped = text.find("INFO ZorvaConnect: Zorva Connect stopped\n");
    ASSERT_NE(sdk_stopped, std::string::npos) << text;
    EXPECT_LT(text.find("INFO JuxApp: Stopping Local configuration server\n"), sdk_stopped) << text;
    size_t found_stopped = text.find("TRACE JuxApp: Local configuration server is already stopped\n");
    EXPECT_NE(found_stopped, std::string::npos) << text;
    EXPECT_GT(found_stopped, sdk_stopped) << text;

    // The handler stays installed, with nothing left to wake.
    StreamCapture after(STDOUT_FILENO);
    raise(SIGINT);
    EXPECT_EQ(uv_run(&loop, UV_RUN_NOWAIT), 0);
    EXPECT_EQ(after.finish().find("Ctrl+C detected"), std::string::npos);
    EXPECT_EQ(uv_loop_close(&loop), 0);
}

}  // namespace
