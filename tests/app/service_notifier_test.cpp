// The service manager's notifications on a private loop in this process,
// with a socket of the test's own standing in for the service manager.
#include "app/service_notifier.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "app/status_reporter.h"
#include "capture.h"
#include "fake_service_manager.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::system_clock;

class ServiceNotifierTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(manager.bound());
        ASSERT_EQ(uv_loop_init(&loop), 0);
    }
    void TearDown() override { EXPECT_EQ(uv_loop_close(&loop), 0) << "a handle was left open"; }

    // Runs the loop for about `duration`; `at` (if given) runs once after
    // `at_delay` on the loop.
    void run_for(std::chrono::milliseconds duration, void (*at)(uv_timer_t *) = nullptr,
                 std::chrono::milliseconds at_delay = 0ms) {
        uv_timer_t stop{}, event{};
        uv_timer_init(&loop, &stop);
        uv_timer_start(
            &stop, [](uv_timer_t *t) { uv_stop(t->loop); }, static_cast<uint64_t>(duration.count()), 0);
        uv_timer_init(&loop, &event);
        if (at) uv_timer_start(&event, at, static_cast<uint64_t>(at_delay.count()), 0);
        uv_run(&loop, UV_RUN_DEFAULT);
        uv_close(reinterpret_cast<uv_handle_t *>(&stop), nullptr);
        uv_close(reinterpret_cast<uv_handle_t *>(&event), nullptr);
        uv_run(&loop, UV_RUN_NOWAIT);
    }

    // Releases the notifier and lets its timer's close callback run.
    void finish(ServiceNotifier *notifier) {
        service_notifier_stopping_free(notifier);
        uv_run(&loop, UV_RUN_NOWAIT);
    }

    static std::vector<std::string> states(const std::vector<Notification> &all) {
        std::vector<std::string> result;
        for (const Notification &n : all) result.push_back(n.state);
        return result;
    }

    FakeServiceManager manager;
    uv_loop_t loop{};
};

TEST_F(ServiceNotifierTest, WithoutServiceManagerNothingIsSentOrCreated) {
    unsetenv("NOTIFY_SOCKET");
    setenv("WATCHDOG_USEC", "100000", 1);
    StreamCapture out(STDOUT_FILENO);
    ServiceNotifier *notifier = service_notifier_new(&loop);
    ASSERT_NE(notifier, nullptr);
    EXPECT_EQ(uv_run(&loop, UV_RUN_NOWAIT), 0) << "no handle may be active";
    finish(notifier);
    EXPECT_EQ(out.finish(), "");
    EXPECT_TRUE(manager.receive_all().empty());
}

TEST_F(ServiceNotifierTest, ReadyOnceTheLoopRunsThenKeepAlivesAtHalfTheInterval) {
    manager.export_environment(100ms);
    StreamCapture out(STDOUT_FILENO);
    ServiceNotifier *notifier = service_notifier_new(&loop);
    ASSERT_NE(notifier, nullptr);
    EXPECT_TRUE(manager.receive_all().empty()) << "ready before the loop runs";

    run_for(520ms);
    std::vector<Notification> sent = manager.receive_all();
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(sent.front().state, "READY=1");
    sent.erase(sent.begin());
    // Every 50 ms for about half a second; a busy machine may lose a few.
    EXPECT_GE(sent.size(), 4u) << testing::PrintToString(states(sent));
    EXPECT_LE(sent.size(), 11u) << testing::PrintToString(states(sent));
    for (const Notification &n : sent) EXPECT_EQ(n.state, "WATCHDOG=1");

    finish(notifier);
    EXPECT_EQ(states(manager.receive_all()), std::vector<std::string>{"STOPPING=1"});
    EXPECT_NE(out.finish().find("DEBUG JuxApp: Service manager watchdog on: keep-alive every 50 ms\n"),
              std::string::npos);
}

Clock::time_point hang_start, hang_end;

// The keep-alives come from the loop itself: while a callback holds the
// loop, none may arrive, and they resume once it lets go.
TEST_F(ServiceNotifierTest, AHungLoopSendsNoKeepAlives) {
    manager.export_environment(100ms);
    ServiceNotifier *notifier = service_notifier_new(&loop);
    ASSERT_NE(notifier, nullptr);
    run_for(
        900ms,
        [](uv_timer_t *) {
            hang_start = Clock::now();
            usleep(450000);
            hang_end = Clock::now();
        },
        200ms);
    finish(notifier);

    size_t during = 0, after = 0;
    for (const Notification &n : manager.receive_all()) {
        if (n.state != "WATCHDOG=1") continue;
        if (n.received > hang_start + 10ms && n.received < hang_end - 10ms) ++during;
        if (n.received > hang_end) ++after;
    }
    EXPECT_EQ(during, 0u);
    EXPECT_GE(after, 2u);
}

TEST_F(ServiceNotifierTest, WatchdogOfAnotherProcessOrNoneSendsReadyOnly) {
    for (const char *watchdog_pid : {"1", ""}) {
        manager.export_environment(100ms);
        if (*watchdog_pid)
            setenv("WATCHDOG_PID", watchdog_pid, 1);
        else
            unsetenv("WATCHDOG_USEC");
        ServiceNotifier *notifier = service_notifier_new(&loop);
        ASSERT_NE(notifier, nullptr);
        run_for(250ms);
        EXPECT_EQ(states(manager.receive_all()), std::vector<std::string>{"READY=1"}) << watchdog_pid;
        finish(notifier);
        EXPECT_EQ(states(manager.receive_all()), std::vector<std::string>{"STOPPING=1"});
    }
}

}  // namespace

namespace {

// The line `systemctl status` shows, for what a person at the console
// wants to know.
TEST(StatusText, SaysWhatTheRendererIsDoing) {
    StatusSnapshot idle;
    EXPECT_EQ(status_text(idle), "Waiting for a controller");
    idle.active = true;
    idle.session_id = "s-42";
    EXPECT_EQ(status_text(idle), "Idle, controller connected (session s-42)");

    StatusSnapshot playing = idle;
    playing.player_state = PLAYER_STATE_PLAYING;
    playing.has_format = true;
    playing.format = {44100, 2, ZRV_SAMPLE_FORMAT_S16};
    EXPECT_EQ(status_text(playing), "Playing 44100 Hz, 16-bit, stereo (session s-42)");
    playing.player_state = PLAYER_STATE_SEEKING_PLAYING;
    playing.format = {96000, 6, ZRV_SAMPLE_FORMAT_S24_32};
    EXPECT_EQ(status_text(playing), "Playing 96000 Hz, 24-bit, 6 channels (session s-42)");
    playing.format = {48000, 1, ZRV_SAMPLE_FORMAT_S16};
    playing.has_format = false;
    EXPECT_EQ(status_text(playing), "Playing (session s-42)");

    StatusSnapshot paused = playing;
    for (PlayerState state : {PLAYER_STATE_PAUSED, PLAYER_STATE_SEEKING_PAUSED}) {
        paused.player_state = state;
        EXPECT_EQ(status_text(paused), "Paused (session s-42)");
    }

    // The bus and the HTTP API follow.
    StatusSnapshot bus = idle;
    bus.active = false;
    bus.session_id.clear();
    bus.bus_configured = true;
    EXPECT_EQ(status_text(bus), "Waiting for a controller; bus connecting");
    bus.bus_connected = bus.bus_was_connected = true;
    EXPECT_EQ(status_text(bus), "Waiting for a controller; bus connected");
    bus.bus_connected = false;
    EXPECT_EQ(status_text(bus), "Waiting for a controller; bus lost, reconnecting");
    bus.http_waiting_for_port = true;
    bus.port = 8000;
    EXPECT_EQ(
        status_text(bus),
        "Waiting for a controller; bus lost, reconnecting; HTTP API not listening: port 8000 is in use, retrying");
}

}  // namespace
