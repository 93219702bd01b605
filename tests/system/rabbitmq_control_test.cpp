// The device's control plane over RabbitMQ, with the daemon as a process:
// commands from a rabbitmq-c peer become SDK calls, the daemon's own events
// that come back on the default binding are dropped, and a broker restarted
// mid-playback neither interrupts the audio nor loses the connection for
// good. Runs on the test's thread; the capture has its own PipeWire thread.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <set>
#include <thread>

#include "../messaging/rabbitmq_support.h"
#include "pw_capture.h"
#include "system_support.h"
#include "zorva_standin.h"

namespace {

const std::string exchange = "system.audio";
const std::string key = "zorva.incoming.events";

std::unique_ptr<PrivateService> pipewire;

class RabbitmqControlPlane : public ::testing::Test {
  protected:
    // A PipeWire of this suite's own, so the capture hears this daemon alone.
    static void SetUpTestSuite() {
        pipewire = std::make_unique<PrivateService>("pipewire.sh", "system_rabbitmq_pipewire");
        ASSERT_TRUE(pipewire->start());
    }
    static void TearDownTestSuite() { pipewire.reset(); }

    // Binding key and routing key alike: the daemon hears its own events.
    static std::string bus_config(int port) {
        return "\"rabbitmq\":{\"host\":\"127.0.0.1\",\"port\":" + std::to_string(port) +
               ",\"username\":\"guest\",\"password\":\"guest\",\"exchange\":\"" + exchange +
               "\",\"exchangeType\":\"topic\",\"bindingKey\":\"" + key + "\",\"routingKey\":\"" + key + "\"}";
    }

    static Daemon::Options options(int broker_port, const std::string &connect) {
        return {daemon_config(free_port(), bus_config(broker_port)),
                {{"ZRV_STANDIN_CONNECT", connect}},
                false,
                "",
                pipewire->dir()};
    }

    static std::vector<std::string> command_calls(const Daemon &daemon) {
        static const std::set<std::string> operations = {
            "zrv_connect_resume_playback", "zrv_connect_pause_playback",
            "zrv_connect_seek_time",       "zrv_connect_stop_playback",
            "zrv_connect_start_playback",  "zrv_connect_set_volume",
            "zrv_connect_set_mute_state",  "zrv_connect_next_track",
            "zrv_connect_previous_track",  "zrv_connect_deactivate_and_disconnect_renderer"};
        std::vector<std::string> calls;
        for (const auto &line : daemon.record())
            if (operations.count(line.substr(0, line.find('(')))) calls.push_back(line);
        return calls;
    }
};

TEST_F(RabbitmqControlPlane, CommandsBecomeSdkCallsAndOwnEventsAreDropped) {
    const int port = rabbitmq_fixture_port();
    Daemon daemon(options(port, "standin:queue=44100/16/2/20000;paused"));
    daemon.start();
    ASSERT_TRUE(daemon.wait_for_log("Successfully connected to RabbitMQ", 10s)) << daemon.log();
    ASSERT_TRUE(daemon.wait_for_log("Initiating playback, initial state: PAUSED")) << daemon.log();

    // The events of the paused start (none if the connection came after
    // them) come back to the daemon alone: the peer is not listening yet.
    // Once they are back the daemon is quiet.
    const std::string dropped_line = "DEBUG JuxApp: No command-like field found in message";
    const auto published = [&] { return daemon.count_log("Published message to RabbitMQ (routing_key: " + key + ")"); };
    const auto all_back = [&] { return daemon.count_log(dropped_line) == published(); };
    ASSERT_TRUE(eventually(
        [&] {
            if (!all_back()) return false;
            std::this_thread::sleep_for(300ms);
            return all_back();
        },
        5s))
        << daemon.log();
    const size_t dropped_before = daemon.count_log(dropped_line);

    AmqpPeer peer(port);
    peer.listen(exchange, key);
    const auto send = [&](const std::string &message, const std::string &call, size_t count = 1) {
        peer.publish(exchange, key, message);
        EXPECT_TRUE(daemon.wait_for_record(call, count)) << message << " did not give " << call << "\n" << daemon.log();
    };
    size_t playing = daemon.count_log("Playback state changed: PLAYING");
    send("play", "zrv_connect_resume_playback(");
    EXPECT_TRUE(eventually([&] { return daemon.count_log("Playback state changed: PLAYING") > playing; }, 5s));
    send("{\"action\":\"seek\",\"positionMs\":3000}", "zrv_connect_seek_time(");
    send("{\"volume\":30}", "zrv_connect_set_volume(");
    send("{\"command\":\"play\"}", "zrv_connect_pause_playback(");
    send("disconnect", "zrv_connect_deactivate_and_disconnect_renderer(");
    EXPECT_EQ(command_calls(daemon),
              (std::vector<std::string>{"zrv_connect_resume_playback()", "zrv_connect_seek_time(3000)",
                                        "zrv_connect_set_volume(30)", "zrv_connect_pause_playback()",
                                        "zrv_connect_deactivate_and_disconnect_renderer()"}));

    // Every event the daemon published came back to it on the same binding
    // and was dropped by the parser: no SDK call for any of them.
    std::vector<std::string> events;
    while (auto delivery = peer.receive(1500ms))
        if (delivery->body.rfind("{\"event_type\":", 0) == 0) events.push_back(delivery->body);
    ASSERT_FALSE(events.empty());
    EXPECT_TRUE(eventually([&] { return daemon.count_log(dropped_line) - dropped_before == events.size(); }, 5s))
        << events.size() << " events, " << daemon.count_log(dropped_line) - dropped_before << " dropped\n"
        << daemon.log();
    EXPECT_EQ(command_calls(daemon).size(), 5u);

    const auto result = daemon.interrupt();
    ASSERT_TRUE(result.exited) << daemon.log();
    EXPECT_EQ(result.status, 0);
}

TEST_F(RabbitmqControlPlane, BrokerRestartMidPlaybackKeepsTheAudioAndReconnects) {
    RabbitmqBroker broker("system_rabbitmq_restart");
    broker.start();

    setenv("XDG_RUNTIME_DIR", pipewire->env()["XDG_RUNTIME_DIR"].c_str(), 1);
    constexpr AudioFormat format{44100, 2, 0};
    std::string error;
    auto capture = PwCapture::start(format.sample_rate, format.channels, format.sample_format, &error);
    ASSERT_TRUE(capture) << error;

    Daemon daemon(options(broker.port(), "standin:queue=44100/16/2/60000"));
    daemon.start();
    ASSERT_TRUE(daemon.wait_for_log("Successfully connected to RabbitMQ", 10s)) << daemon.log();
    ASSERT_TRUE(daemon.wait_for_log("PipeWire stream streaming")) << daemon.log();

    const auto stopped_at = std::chrono::steady_clock::now();
    broker.stop();
    EXPECT_TRUE(daemon.wait_for_log("Lost the connection to RabbitMQ", 10s)) << daemon.log();
    broker.start();
    ASSERT_TRUE(eventually([&] { return daemon.count_log("Successfully connected to RabbitMQ") >= 2; }, 30s))
        << daemon.log();
    const double outage_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - stopped_at).count();

    // Commands and events flow again; the audio plays on for a second more
    // first, so what is heard must outlast the outage.
    std::this_thread::sleep_for(1s);
    AmqpPeer peer(broker.port());
    peer.listen(exchange, key);
    peer.publish(exchange, key, "pause");
    ASSERT_TRUE(daemon.wait_for_record("zrv_connect_pause_playback(", 1)) << daemon.log();
    bool event_seen = false;
    while (auto delivery = peer.receive(3s))
        if (delivery->body.rfind("{\"event_type\":", 0) == 0) {
            event_seen = true;
            break;
        }
    EXPECT_TRUE(event_seen) << "no event after the reconnection";

    // The audio up to the pause is the track from its first frame, without a
    // gap: the broker's absence never held up the loop.
    const auto bytes = capture->bytes();
    const size_t start = pw_first_sound(bytes, 4);
    ASSERT_LT(start, bytes.size());
    size_t end = bytes.size();
    while (end > start && bytes[end - 1] == 0 && bytes[end - 2] == 0 && bytes[end - 3] == 0 && bytes[end - 4] == 0)
        end -= 4;  // the silence after the pause
    const uint64_t frames = (end - start) / 4;
    const double heard_s = static_cast<double>(frames) / 44100;
    std::printf("heard %.1f s of audio across a broker outage of %.1f s\n", heard_s, outage_s);
    EXPECT_GT(heard_s, outage_s) << "the audio did not go on through the broker's absence";
    std::vector<uint8_t> reference(frames * 4);
    ASSERT_EQ(zrv_standin_generate_pcm(1, format, 0, frames, reference.data(), reference.size()), reference.size());
    const auto differs = std::mismatch(reference.begin(), reference.end(), bytes.begin() + static_cast<long>(start));
    if (differs.first != reference.end()) {
        const size_t frame = static_cast<size_t>(differs.first - reference.begin()) / 4;
        size_t zeros = 0;
        for (size_t at = start + frame * 4;
             at + 4 <= bytes.size() && !bytes[at] && !bytes[at + 1] && !bytes[at + 2] && !bytes[at + 3]; at += 4)
            ++zeros;
        // Where the audio after the break is found in the track tells a gap from a skip.
        const size_t probe_at = start + (frame + zeros) * 4;
        size_t resumes = std::string::npos;
        if (probe_at + 256 <= bytes.size()) {
            std::vector<uint8_t> track(zrv_standin_frames_for_ms(44100, 60000) * 4);
            zrv_standin_generate_pcm(1, format, 0, track.size() / 4, track.data(), track.size());
            const std::vector<uint8_t> probe(bytes.begin() + static_cast<long>(probe_at),
                                             bytes.begin() + static_cast<long>(probe_at + 256));
            resumes = find_aligned(track, probe, 4);
        }
        ADD_FAILURE() << "the capture is not the track played through without a gap: it breaks at frame " << frame
                      << " (" << static_cast<double>(frame) / 44100 << " s) with " << zeros
                      << " silent frames, and goes on at track frame "
                      << (resumes == std::string::npos ? -1L : static_cast<long>(resumes / 4));
    }

    const auto result = daemon.interrupt();
    ASSERT_TRUE(result.exited) << daemon.log();
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(daemon.sanitizer_report(), "");
}

// examples/config-rabbitmq.json as shipped, with this test's ports: a stock
// broker lets its guest user in from the loopback, the events go out under
// the outgoing routing key without coming back, and a command sent on the
// incoming key is executed.
TEST_F(RabbitmqControlPlane, ShippedExampleWorksWithAStockBroker) {
    RabbitmqBroker broker("system_rabbitmq_example");
    broker.start();
    const std::string config =
        shipped_example("config-rabbitmq.json", {{"\"port\": 8000", "\"port\": " + std::to_string(free_port())},
                                                 {"\"port\": 5672", "\"port\": " + std::to_string(broker.port())}});
    AmqpPeer peer(broker.port());
    peer.declare_exchange("zorva.audio");
    peer.listen("zorva.audio", "zorva.outgoing.events");

    Daemon daemon(
        {config, {{"ZRV_STANDIN_CONNECT", "standin:queue=44100/16/2/20000;paused"}}, false, "", pipewire->dir()});
    daemon.start();
    ASSERT_TRUE(daemon.wait_for_log("Successfully connected to RabbitMQ", 10s)) << daemon.log();
    ASSERT_TRUE(daemon.wait_for_log("Initiating playback, initial state: PAUSED")) << daemon.log();

    // The session started while the connection was still being made; the
    // state change the command causes is published on a live connection.
    peer.publish("zorva.audio", "zorva.incoming.events", "play");
    EXPECT_TRUE(daemon.wait_for_record("zrv_connect_resume_playback(", 1)) << daemon.log();
    std::optional<AmqpDelivery> event;
    while ((event = peer.receive(5s)) && event->body.find("\"PLAYING\"") == std::string::npos) {
    }
    ASSERT_TRUE(event) << "no PLAYING event under the outgoing key\n" << daemon.log();
    EXPECT_EQ(event->routing_key, "zorva.outgoing.events");
    EXPECT_EQ(event->body.rfind("{\"event_type\":", 0), 0u) << event->body;
    // Only the command arrived: no event of its own came back.
    EXPECT_EQ(daemon.count_log("No command-like field found in message"), 0u) << daemon.log();

    const auto result = daemon.interrupt();
    ASSERT_TRUE(result.exited) << daemon.log();
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(daemon.errors(), "") << "the example holds a key the loader does not know";
}

// A broker that goes silent with the connection open (its host frozen, a
// NAT that forgot the mapping) is noticed by the missed heartbeats within
// 30 s; once it answers again the daemon reconnects and commands run.
TEST_F(RabbitmqControlPlane, AFrozenBrokerIsNoticedAndCommandsRunAfterItThaws) {
    RabbitmqBroker broker("system_rabbitmq_frozen");
    broker.start();
    Daemon daemon(options(broker.port(), "standin:queue=44100/16/2/20000;paused"));
    daemon.start();
    ASSERT_TRUE(daemon.wait_for_log("Successfully connected to RabbitMQ", 10s)) << daemon.log();
    ASSERT_TRUE(daemon.wait_for_log("Initiating playback, initial state: PAUSED")) << daemon.log();

    broker.freeze();
    const auto frozen_at = std::chrono::steady_clock::now();
    const bool noticed = daemon.wait_for_log("Lost the connection to RabbitMQ", 30s);
    const double noticed_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - frozen_at).count();
    broker.thaw();
    ASSERT_TRUE(noticed) << daemon.log();
    std::printf("a frozen broker was noticed after %.1f s\n", noticed_s);

    ASSERT_TRUE(eventually([&] { return daemon.count_log("Successfully connected to RabbitMQ") >= 2; }, 60s))
        << daemon.log();
    AmqpPeer peer(broker.port());
    peer.publish(exchange, key, "pause");
    EXPECT_TRUE(daemon.wait_for_record("zrv_connect_pause_playback(", 1)) << daemon.log();

    const auto result = daemon.interrupt();
    ASSERT_TRUE(result.exited) << daemon.log();
    EXPECT_EQ(result.status, 0);
}

// A message far over the 64 KiB bound is read and dropped a frame at a
// time: the daemon's memory never holds it, and the next command runs.
TEST_F(RabbitmqControlPlane, AHugeMessageIsDroppedWithoutBeingHeld) {
    const int port = rabbitmq_fixture_port();
    Daemon daemon(options(port, "standin:queue=44100/16/2/20000;paused"));
    daemon.start();
    ASSERT_TRUE(daemon.wait_for_log("Successfully connected to RabbitMQ", 10s)) << daemon.log();
    ASSERT_TRUE(daemon.wait_for_log("Initiating playback, initial state: PAUSED")) << daemon.log();
    std::this_thread::sleep_for(1s);

    // The peak resident size counts from here.
    ASSERT_EQ(run_shell("echo 5 > /proc/" + std::to_string(daemon.pid()) + "/clear_refs"), 0);
    const long before_kb = daemon.rss_kb();
    ASSERT_GT(before_kb, 0);
    constexpr size_t huge = 32 * 1024 * 1024;
    AmqpPeer peer(port);
    peer.publish(exchange, key, std::string(huge, 'x'));
    peer.publish(exchange, key, "pause");
    ASSERT_TRUE(daemon.wait_for_record("zrv_connect_pause_playback(", 1, 30s)) << daemon.log();
    const long peak_kb = daemon.peak_rss_kb();
    std::printf("a 32 MiB message raised the peak RSS by %ld kB (from %ld kB)\n", peak_kb - before_kb, before_kb);
    EXPECT_LT(peak_kb - before_kb, 1024);
    EXPECT_EQ(daemon.count_log("WARNING JuxApp: RabbitMQ message of " + std::to_string(huge) +
                               " bytes dropped unread: larger than 65536 bytes"),
              1u)
        << daemon.log();
    EXPECT_EQ(daemon.count_log("Lost the connection to RabbitMQ"), 0u) << daemon.log();

    const auto result = daemon.interrupt();
    ASSERT_TRUE(result.exited) << daemon.log();
    EXPECT_EQ(result.status, 0);
}

}  // namespace
