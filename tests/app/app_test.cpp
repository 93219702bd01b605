// The shutdown path on a private loop, in this process.
#include "app/app.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <string>

#include "app/config.h"
#include "capture.h"

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

}  // namespace
