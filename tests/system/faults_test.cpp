// Faults the daemon process must survive: SIGINT at awkward moments (during
// playback, during the drain at a format change, while an HTTP client holds
// a half-sent request), the PipeWire server going away and coming back, and
// avahi-daemon restarting. Runs on the test's thread; the capture has its
// own PipeWire thread.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <thread>

#include "../app/fake_service_manager.h"
#include "pw_capture.h"
#include "system_support.h"
#include "zorva_standin.h"

namespace {

std::unique_ptr<PrivateService> pipewire;

const std::vector<std::string> shutdown_lines = {"Ctrl+C detected, quitting main loop",
                                                 "Stopping Avahi advertiser",
                                                 "Stopping Local configuration server",
                                                 "Zorva Connect stopped",
                                                 "Event loop has finished",
                                                 "Sample application finished"};

class Faults : public ::testing::Test {
  public:
    // A PipeWire of this suite's own: one test stops and restarts it.
    static void SetUpTestSuite() {
        pipewire = std::make_unique<PrivateService>("pipewire.sh", "system_faults_pipewire");
        ASSERT_TRUE(pipewire->start());
    }
    static void TearDownTestSuite() { pipewire.reset(); }

    static Daemon::Options options(int port, const std::string &connect = "", const std::string &bus = "") {
        std::map<std::string, std::string> environment;
        if (!connect.empty()) environment["ZRV_STANDIN_CONNECT"] = connect;
        return {daemon_config(port), environment, false, bus, pipewire->dir()};
    }

    static void expect_clean_exit(Daemon &daemon) {
        const auto result = daemon.interrupt();
        ASSERT_TRUE(result.exited) << "no exit within 6 s\n" << daemon.log();
        EXPECT_EQ(result.status, 0) << daemon.log();
        std::printf("exit after SIGINT: %lld ms\n", static_cast<long long>(result.took.count()));
        const auto order = line_order(daemon.log(), shutdown_lines);
        for (size_t i = 0; i < order.size(); ++i)
            EXPECT_GE(order[i], 0) << "missing or out of order: " << shutdown_lines[i] << "\n" << daemon.log();
        EXPECT_EQ(daemon.sanitizer_report(), "");
    }
};

// What `systemctl status` shows follows the playback: the format of each
// track as it plays, with the session, and a pause.
TEST_F(Faults, TheServiceStatusFollowsPlayback) {
    const auto statuses_until = [](FakeServiceManager &manager, const std::string &wanted,
                                   std::vector<std::string> *seen) {
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        while (std::chrono::steady_clock::now() < deadline) {
            const Notification n = manager.receive(200ms);
            if (!n.state.starts_with("STATUS=")) continue;
            seen->push_back(n.state.substr(7));
            if (seen->back() == wanted) return true;
        }
        return false;
    };
    {
        FakeServiceManager manager;
        ASSERT_TRUE(manager.bound());
        manager.export_environment();
        Daemon daemon(options(free_port(), "standin:queue=44100/16/2/3000,48000/24/2/30000"));
        daemon.start();
        unsetenv("NOTIFY_SOCKET");
        std::vector<std::string> seen;
        EXPECT_TRUE(statuses_until(manager, "Playing 44100 Hz, 16-bit, stereo (session standin-session)", &seen))
            << ::testing::PrintToString(seen) << "\n"
            << daemon.log();
        EXPECT_TRUE(statuses_until(manager, "Playing 48000 Hz, 24-bit, stereo (session standin-session)", &seen))
            << ::testing::PrintToString(seen) << "\n"
            << daemon.log();
        expect_clean_exit(daemon);
    }
    {
        FakeServiceManager manager;
        manager.export_environment();
        Daemon daemon(options(free_port(), "standin:queue=44100/16/2/30000;paused"));
        daemon.start();
        unsetenv("NOTIFY_SOCKET");
        std::vector<std::string> seen;
        EXPECT_TRUE(statuses_until(manager, "Paused (session standin-session)", &seen))
            << ::testing::PrintToString(seen) << "\n"
            << daemon.log();
        expect_clean_exit(daemon);
    }
}

TEST_F(Faults, SigintDuringPlayback) {
    Daemon daemon(options(free_port(), "standin:queue=44100/16/2/30000"));
    daemon.start();
    ASSERT_TRUE(daemon.wait_for_log("PipeWire stream streaming")) << daemon.log();
    std::this_thread::sleep_for(500ms);
    expect_clean_exit(daemon);
    EXPECT_EQ(daemon.count_record("zrv_connect_free("), 1u);
}

TEST_F(Faults, SigintDuringTheDrainAtAFormatChange) {
    // The first track's end: the sink drains (the loop waits until the
    // graph has played what the ring held, up to two quanta: 743 ms at
    // 11025 Hz) before it reopens at 48000 Hz. A busy machine may let the test see the
    // end too late; it then tries again.
    for (int attempt = 0; attempt < 3; ++attempt) {
        Daemon daemon(options(free_port(), "standin:queue=11025/16/2/1500,48000/16/2/1500"));
        daemon.start();
        ASSERT_TRUE(daemon.wait_for_log("Playback has finished", 6s)) << daemon.log();
        daemon.signal(SIGINT);
        if (daemon.count_log("PipeWire stream drained") != 0) {
            daemon.wait_exit(6s);
            continue;
        }
        const auto result = daemon.wait_exit(6s);
        ASSERT_TRUE(result.exited) << "no exit within 6 s\n" << daemon.log();
        EXPECT_EQ(result.status, 0) << daemon.log();
        std::printf("exit after SIGINT during the drain: %lld ms\n", static_cast<long long>(result.took.count()));
        const auto order = line_order(daemon.log(), shutdown_lines);
        for (size_t i = 0; i < order.size(); ++i)
            EXPECT_GE(order[i], 0) << "missing or out of order: " << shutdown_lines[i] << "\n" << daemon.log();
        EXPECT_EQ(daemon.sanitizer_report(), "");
        return;
    }
    FAIL() << "the drain was over before the signal each time";
}

// The client sent its headers and half its body, then either goes silent
// or trickles the rest a byte at a time: neither may hold the shutdown up.
void sigint_with_a_half_sent_request(const Daemon::Options &options, int port, bool trickle) {
    Daemon daemon(options);
    daemon.start();
    ASSERT_TRUE(daemon.wait_for_log("Starting Local configuration server")) << daemon.log();
    ASSERT_TRUE(eventually([&] { return http_get(port, "/get-connect-info").status == 200; }, 5s));

    const int client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(client, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    const std::string body = connect_request("slow-session", "standin:queue=");
    const std::string head =
        "POST /connect-to-zconnect HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: "
        "application/json\r\nContent-Length: " +
        std::to_string(body.size()) + "\r\n\r\n" + body.substr(0, body.size() / 2);
    ASSERT_EQ(send(client, head.data(), head.size(), MSG_NOSIGNAL), static_cast<ssize_t>(head.size()));
    ASSERT_TRUE(daemon.wait_for_log("API endpoint invoked: connect-to-zconnect")) << daemon.log();
    std::this_thread::sleep_for(200ms);

    std::atomic<bool> done{false};
    std::thread trickler([&] {
        for (size_t at = body.size() / 2; trickle && at < body.size() && !done; ++at) {
            if (send(client, body.data() + at, 1, MSG_NOSIGNAL) != 1) break;
            std::this_thread::sleep_for(250ms);
        }
    });
    Faults::expect_clean_exit(daemon);
    done = true;
    trickler.join();
    close(client);
}

TEST_F(Faults, SigintWhileAClientHoldsAHalfSentRequest) {
    const int port = free_port();
    sigint_with_a_half_sent_request(options(port), port, false);
}

TEST_F(Faults, SigintWhileAClientTricklesItsRequest) {
    const int port = free_port();
    sigint_with_a_half_sent_request(options(port), port, true);
}

// The server goes away under the playing daemon and stays away: the daemon
// waits five seconds for it, then tells the SDK of a playback error (the
// track cannot be heard any more), goes on serving, and once a server is
// back a new session plays on it.
TEST_F(Faults, PipewireStoppedForLongerThanTheWaitIsAPlaybackErrorAndANewSessionPlaysOnceItIsBack) {
    const int port = free_port();
    Daemon daemon(options(port, "standin:queue=44100/16/2/30000"));
    daemon.start();
    ASSERT_TRUE(daemon.wait_for_log("PipeWire stream streaming")) << daemon.log();
    std::this_thread::sleep_for(500ms);
    const size_t streaming_before = daemon.count_log("PipeWire stream streaming");
    ASSERT_EQ(daemon.count_record("zrv_connect_notify_playback_error("), 0u);

    std::ifstream pid_file(pipewire->dir() + "/pipewire.pid");
    pid_t server = 0;
    ASSERT_TRUE(pid_file >> server);
    ASSERT_EQ(kill(server, SIGTERM), 0);
    const auto killed = std::chrono::steady_clock::now();
    ASSERT_TRUE(pipewire->run("stop"));  // its session manager too
    EXPECT_TRUE(daemon.wait_for_log("WARNING JuxApp: Lost the PipeWire stream at ", 2s)) << daemon.log();
    EXPECT_TRUE(daemon.wait_for_record("zrv_connect_notify_playback_error(", 1, 9s))
        << "no playback error after the wait for the server\n"
        << daemon.log();
    EXPECT_GE(std::chrono::steady_clock::now() - killed, 4500ms) << "the error came before the wait was over";
    EXPECT_EQ(daemon.count_log("ERROR JuxApp: No PipeWire stream for 5000 ms, ending playback"), 1u) << daemon.log();
    std::this_thread::sleep_for(500ms);
    ASSERT_TRUE(pipewire->start());
    std::this_thread::sleep_for(1s);
    ASSERT_TRUE(daemon.running()) << "the daemon ended when PipeWire went away\n" << daemon.log();
    // It still serves its HTTP API: the loop is not stuck.
    EXPECT_EQ(http_get(port, "/get-connect-info").status, 200) << daemon.log();

    // The next playback the service initiates plays on the new server, bit for bit.
    setenv("XDG_RUNTIME_DIR", pipewire->env()["XDG_RUNTIME_DIR"].c_str(), 1);
    constexpr AudioFormat format{44100, 2, 0};
    std::string error;
    auto capture = PwCapture::start(format.sample_rate, format.channels, format.sample_format, &error);
    ASSERT_TRUE(capture) << error;
    const size_t initiated_before = daemon.count_record("zrv_connect_notify_playback_initiated(");
    const auto reply =
        http_post(port, "/connect-to-zconnect", connect_request("after-restart", "standin:queue=44100/16/2/2000"));
    EXPECT_EQ(reply.status, 200) << daemon.log();
    EXPECT_TRUE(daemon.wait_for_record("zrv_connect_notify_playback_initiated(", initiated_before + 1)) << daemon.log();
    EXPECT_TRUE(eventually([&] { return daemon.count_log("PipeWire stream streaming") > streaming_before; }, 5s))
        << daemon.log();

    const uint64_t frames = zrv_standin_frames_for_ms(format.sample_rate, 1000);
    std::vector<uint8_t> reference(frames * 4);
    ASSERT_EQ(zrv_standin_generate_pcm(1, format, 0, frames, reference.data(), reference.size()), reference.size());
    size_t start = 0;
    ASSERT_TRUE(eventually(
        [&] {
            const auto bytes = capture->bytes();
            start = pw_first_sound(bytes, 4);
            return start < bytes.size() && bytes.size() - start >= reference.size();
        },
        8s))
        << "nothing heard after the restart\n"
        << daemon.log();
    const auto bytes = capture->bytes();
    EXPECT_TRUE(std::equal(reference.begin(), reference.end(), bytes.begin() + static_cast<long>(start)))
        << "the new session's first second differs from its track";
    capture.reset();

    expect_clean_exit(daemon);
}

// PipeWire crashes under the playing daemon and is started again at once:
// the track plays on on the new server, and the SDK hears of no error.
TEST_F(Faults, PipewireRestartedDuringPlaybackPlaysOnWithoutAnError) {
    const int port = free_port();
    Daemon daemon(options(port, "standin:queue=44100/16/2/30000"));
    daemon.start();
    ASSERT_TRUE(daemon.wait_for_log("PipeWire stream streaming")) << daemon.log();
    std::this_thread::sleep_for(1s);
    std::ifstream pid_file(pipewire->dir() + "/pipewire.pid");
    pid_t server = 0;
    ASSERT_TRUE(pid_file >> server);
    ASSERT_EQ(kill(server, SIGKILL), 0);
    ASSERT_TRUE(daemon.wait_for_log("WARNING JuxApp: Lost the PipeWire stream at ", 2s)) << daemon.log();
    ASSERT_TRUE(pipewire->start());
    EXPECT_TRUE(daemon.wait_for_log("INFO JuxApp: Playback resumed on a new PipeWire stream after ", 3s))
        << daemon.log();

    setenv("XDG_RUNTIME_DIR", pipewire->env()["XDG_RUNTIME_DIR"].c_str(), 1);
    std::string error;
    auto capture = PwCapture::start(44100, 2, 0, &error);
    ASSERT_TRUE(capture) << error;
    EXPECT_TRUE(eventually(
        [&] {
            const auto bytes = capture->bytes();
            return pw_first_sound(bytes, 4) + 44100 * 4 <= bytes.size();
        },
        5s))
        << "the track did not play on after the restart\n"
        << daemon.log();
    capture.reset();
    EXPECT_EQ(daemon.count_record("zrv_connect_notify_playback_error("), 0u) << daemon.log();
    expect_clean_exit(daemon);
}

TEST_F(Faults, PipewireAbsentAPlaybackFailsAndSigintStillEndsTheDaemon) {
    const int port = free_port();
    Daemon daemon(options(port, "standin:queue=44100/16/2/30000"));
    daemon.start();
    ASSERT_TRUE(daemon.wait_for_log("PipeWire stream streaming")) << daemon.log();
    ASSERT_TRUE(pipewire->run("stop"));
    // The playing track ends in a playback error once the wait for a server
    // is over.
    ASSERT_TRUE(daemon.wait_for_record("zrv_connect_notify_playback_error(", 1, 9s)) << daemon.log();
    std::this_thread::sleep_for(500ms);

    // A playback initiated while there is no server cannot open the sink; the
    // daemon says so and goes on serving.
    const auto reply =
        http_post(port, "/connect-to-zconnect", connect_request("no-server", "standin:queue=44100/16/2/2000"));
    EXPECT_EQ(reply.status, 200) << daemon.log();
    EXPECT_TRUE(daemon.wait_for_record("zrv_connect_notify_playback_error(", 2)) << daemon.log();
    EXPECT_EQ(daemon.count_log("ERROR JuxApp: Failed to connect PipeWire stream"), 1u) << daemon.log();
    EXPECT_TRUE(daemon.running()) << daemon.log();
    EXPECT_EQ(http_get(port, "/get-connect-info").status, 200) << daemon.log();

    expect_clean_exit(daemon);
    ASSERT_TRUE(pipewire->start());
}

TEST_F(Faults, AvahiDaemonRestartedTheServiceComesBack) {
    PrivateService avahi("avahi.sh", "system_faults_avahi");
    ASSERT_TRUE(avahi.start());
    const std::string bus = avahi.env()["DBUS_SYSTEM_BUS_ADDRESS"];
    ASSERT_FALSE(bus.empty());
    const int port = free_port();
    Daemon daemon(options(port, "", bus));
    daemon.start();
    const auto registered = [&] {
        for (const auto &service : browse("_zorva-connect._tcp", bus))
            if (service.name == "System\\032Test\\032Renderer" && service.port == port) return true;
        return false;
    };
    ASSERT_TRUE(eventually(registered, 15s)) << daemon.log();
    ASSERT_TRUE(daemon.wait_for_log("Avahi entry group state changed: ESTABLISHED")) << daemon.log();

    ASSERT_TRUE(avahi.run("restart-daemon"));
    EXPECT_TRUE(eventually([&] { return daemon.count_log("Avahi entry group state changed: ESTABLISHED") >= 2; }, 20s))
        << daemon.log();
    EXPECT_TRUE(eventually(registered, 15s)) << "not found after the restart\n" << daemon.log();
    EXPECT_TRUE(daemon.running());
    expect_clean_exit(daemon);
}

}  // namespace
