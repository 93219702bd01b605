// The advertiser against a real avahi-daemon (private bus, private network
// namespace, see scripts/services/avahi.sh), checked with avahi-browse and
// challenged with avahi-publish.
#include "discovery/mdns_advertiser.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <uv.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "../config_server/http_test_support.h"
#include "app/device_info.h"
#include "config_server/config_server.h"
#include "player/player.h"
#include "zorva_standin.h"

extern char **environ;

using namespace std::chrono_literals;

namespace {

constexpr const char *service_type = "_zorva-connect._tcp";

// avahi-browse -p writes some characters of a name as \DDD (decimal).
std::string unescape(const std::string &text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 3 < text.size() + 0 && std::isdigit(text[i + 1]) && std::isdigit(text[i + 2]) &&
            std::isdigit(text[i + 3])) {
            out += static_cast<char>(std::stoi(text.substr(i + 1, 3)));
            i += 3;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::vector<std::string> split(const std::string &line, char separator) {
    std::vector<std::string> fields;
    std::stringstream stream(line);
    std::string field;
    while (std::getline(stream, field, separator)) fields.push_back(field);
    return fields;
}

// One resolved service as avahi-browse -rp prints it.
struct Resolved {
    std::string protocol;
    std::string name;
    std::string address;
    int port = 0;
    std::string txt;
};

bool parse_resolved(const std::string &line, Resolved &out) {
    if (line.rfind("=;", 0) != 0) return false;
    const std::vector<std::string> fields = split(line, ';');
    if (fields.size() < 9) return false;
    out.protocol = fields[2];
    out.name = unescape(fields[3]);
    out.address = fields[7];
    out.port = std::atoi(fields[8].c_str());
    out.txt = fields.size() > 9 ? fields[9] : "";
    return true;
}

// A child process whose stdout and stderr come through a pipe.
class Child {
  public:
    explicit Child(const std::vector<std::string> &arguments) {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, fds[1], STDERR_FILENO);
        std::vector<char *> argv;
        for (const std::string &argument : arguments) argv.push_back(const_cast<char *>(argument.c_str()));
        argv.push_back(nullptr);
        if (posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(fds[1]);
        fd_ = fds[0];
    }
    ~Child() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
        if (fd_ >= 0) close(fd_);
    }
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;

    // The next line, or false when none came in time or the child ended.
    bool read_line(std::string &line, std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            const size_t end = buffer_.find('\n');
            if (end != std::string::npos) {
                line = buffer_.substr(0, end);
                buffer_.erase(0, end + 1);
                return true;
            }
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return false;
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
            char chunk[1024];
            const ssize_t count = read(fd_, chunk, sizeof chunk);
            if (count <= 0) return false;
            buffer_.append(chunk, static_cast<size_t>(count));
        }
    }
    // True when a line read so far, or one read until the timeout, satisfies
    // the predicate.
    template <typename Predicate>
    bool wait_for(Predicate predicate, std::chrono::milliseconds timeout = 10s) {
        for (const std::string &seen : lines_) {
            if (predicate(seen)) return true;
        }
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        std::string line;
        while (std::chrono::steady_clock::now() < deadline) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (!read_line(line, left)) return false;
            lines_.push_back(line);
            if (predicate(line)) return true;
        }
        return false;
    }
    const std::vector<std::string> &lines() const { return lines_; }

  private:
    pid_t pid_ = -1;
    int fd_ = -1;
    std::string buffer_;
    std::vector<std::string> lines_;
};

// The fixture this process runs against: "avahi", or "avahi_peer" for the
// cases that need a second host.
std::string fixture_dir() {
    const char *fixture = std::getenv("ZRV_AVAHI_FIXTURE");
    return std::string(ZRV_TEST_SERVICES_DIR) + "/" + (fixture ? fixture : "avahi");
}

std::string fixture_value(const std::string &key) {
    std::ifstream env(fixture_dir() + "/env");
    std::string line;
    while (std::getline(env, line)) {
        if (line.rfind(key + "=", 0) == 0) return line.substr(key.size() + 1);
    }
    return "";
}

std::string fixture_bus_address() { return fixture_value("DBUS_SYSTEM_BUS_ADDRESS"); }

bool ipv6_yes() { return true; }
bool ipv6_no() { return false; }

class MdnsAdvertiserTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const std::string bus = fixture_bus_address();
        ASSERT_FALSE(bus.empty()) << "the avahi fixture wrote no env file";
        setenv("DBUS_SYSTEM_BUS_ADDRESS", bus.c_str(), 1);
        ASSERT_EQ(uv_loop_init(&loop), 0);
        zrv_standin_reset();
        name = std::string("zrv-") + ::testing::UnitTest::GetInstance()->current_test_info()->name() + "-" +
               std::to_string(getpid());
        device = device_info_new(name.c_str(), ZRV_DEVICE_TYPE_AMPLIFIER, "Jux", "J-1", "SN-1", "app", "secret");
        player = player_new(&loop, nullptr, nullptr, nullptr);
        server = config_server_new(&loop, 0, device, player);
        config_server_set_listen_address(server, "127.0.0.1");
        config_server_start(nullptr, server);
        ASSERT_TRUE(config_server_is_running(server));
        advertiser = mdns_advertiser_new(&loop, device, server);

        ZrvConnectConfig config{};
        config.version = ZRV_CONNECT_CONFIG_VERSION;
        config.device_name = name.c_str();
        config.device_type = ZRV_DEVICE_TYPE_AMPLIFIER;
        config.manufacturer = "Jux";
        config.model = "J-1";
        config.serial_number = "SN-1";
        config.unique_device_id = "unique-mdns";
        config.app_id = "app";
        config.app_secret = "secret";
        config.max_audio_quality = ZRV_AUDIO_QUALITY_HIRES3;
        config.capabilities = ZRV_CAPABILITY_GAPLESS;
        // The test starts and stops advertising itself.
        config.advertising = {nullptr, [](ZrvConnect *, const char *, const char *, void *) {},
                              [](ZrvConnect *, void *) {}};
        config.config_server = {nullptr, [](ZrvConnect *, void *) {}, [](ZrvConnect *, void *) {}};
        config.audio = player_audio_delegate(player);
        config.playback = player_playback_delegate(player);
        config.device = device_info_delegate(device);
        ZrvError error = ZRV_OK;
        sdk = zrv_connect_create(&loop, &config, &error);
        ASSERT_NE(sdk, nullptr);
        mdns_advertiser_set_sdk(advertiser, sdk);
        delegate = mdns_advertiser_delegate(advertiser);
    }

    void TearDown() override {
        mdns_advertiser_free(advertiser);
        if (sdk) zrv_connect_free(sdk);
        config_server_free(server);
        player_free(player);
        device_info_free(device);
        uv_run(&loop, UV_RUN_DEFAULT);
        EXPECT_EQ(uv_loop_close(&loop), 0);
    }

    void start(const std::string &service_name) {
        delegate.start_advertising(sdk, service_name.c_str(), service_type, delegate.user);
    }

    // Runs the loop until a browser has resolved the name.
    bool wait_resolved(Child &browser, const std::string &service_name, Resolved &found) {
        bool ok = false;
        run_loop_during(&loop, [&] {
            ok = browser.wait_for([&](const std::string &line) {
                Resolved r;
                if (!parse_resolved(line, r) || r.name != service_name) return false;
                found = r;
                return true;
            });
        });
        return ok;
    }

    std::string expected_txt() {
        const char *uuid = nullptr;
        zrv_connect_get_device_uuid(sdk, &uuid);
        // avahi-browse prints the TXT strings last to first.
        return std::string("\"type=AMPLIFIER\" \"sdk_version=") + zrv_connect_get_sdk_version() +
               "\" \"device_uuid=" + uuid + "\" \"path=/\"";
    }

    uv_loop_t loop{};
    std::string name;
    DeviceInfo *device = nullptr;
    Player *player = nullptr;
    ConfigServer *server = nullptr;
    MdnsAdvertiser *advertiser = nullptr;
    ZrvConnect *sdk = nullptr;
    AdvertisingDelegate delegate{};
};

Child browse() { return Child({"avahi-browse", "-rp", service_type}); }

TEST_F(MdnsAdvertiserTest, ServiceAppearsWithPortAndTxtInOrderAndStopWithdrawsIt) {
    Child browser = browse();
    StdoutCapture log;
    start(name);
    Resolved found;
    ASSERT_TRUE(wait_resolved(browser, name, found)) << log.text();
    EXPECT_EQ(found.protocol, "IPv4");
    EXPECT_EQ(found.address, "127.0.0.1");
    EXPECT_EQ(found.port, config_server_port(server));
    EXPECT_EQ(found.txt, expected_txt());

    EXPECT_TRUE(log.has_line(
        "INFO", "Zorva SDK requested advertising: service_name='" + name + "', service_type='_zorva-connect._tcp'"));
    // The client is running as soon as it is created: one registration.
    EXPECT_EQ(log.count_line("DEBUG", "Avahi client state changed: RUNNING"), 1u);
    EXPECT_EQ(log.count_line("DEBUG", "Avahi entry group state changed: REGISTERING"), 1u);
    EXPECT_EQ(log.count_line("DEBUG", "Avahi entry group state changed: ESTABLISHED"), 1u);
    EXPECT_EQ(log.count_line("WARNING", ""), 0u);
    EXPECT_STREQ(mdns_advertiser_service_name(advertiser), name.c_str());

    delegate.stop_advertising(sdk, delegate.user);
    EXPECT_TRUE(log.has_line("DEBUG", "Stopping Avahi advertiser"));
    EXPECT_EQ(mdns_advertiser_service_name(advertiser), nullptr);
    EXPECT_TRUE(browser.wait_for(
        [&](const std::string &line) { return line.rfind("-;", 0) == 0 && unescape(split(line, ';')[3]) == name; }));
}

TEST_F(MdnsAdvertiserTest, UnavailableDeviceUuidIsAnnouncedEmpty) {
    zrv_standin_inject_error("zrv_connect_get_device_uuid", ZRV_ERROR_INTERNAL, -1);
    Child browser = browse();
    start(name);
    Resolved found;
    ASSERT_TRUE(wait_resolved(browser, name, found));
    zrv_standin_clear_errors();
    EXPECT_EQ(found.txt, std::string("\"type=AMPLIFIER\" \"sdk_version=") + zrv_connect_get_sdk_version() +
                             "\" \"device_uuid=\" \"path=/\"");
}

TEST_F(MdnsAdvertiserTest, TakenNameMovesToAvahisAlternativeWithOneWarning) {
    Child browser = browse();
    Child other({"avahi-publish", "-s", name, service_type, "9"});
    ASSERT_TRUE(other.wait_for([](const std::string &line) { return line.find("Established") != std::string::npos; }))
        << "avahi-publish did not register";
    StdoutCapture log;
    start(name);
    const std::string alternative = name + " #2";
    Resolved found;
    ASSERT_TRUE(wait_resolved(browser, alternative, found)) << log.text();
    EXPECT_EQ(found.port, config_server_port(server));
    EXPECT_EQ(found.txt, expected_txt());
    EXPECT_EQ(
        log.count_line("WARNING", "Unable to add service '" + name +
                                      "' to the Avahi entry group because of collision, trying '" + alternative + "'"),
        1u);
    EXPECT_EQ(log.text().find(" WARNING JuxApp:"), log.text().rfind(" WARNING JuxApp:"));
    EXPECT_STREQ(mdns_advertiser_service_name(advertiser), alternative.c_str());
    // The other publisher keeps its name.
    const auto is_other = [&](const std::string &line) {
        Resolved r;
        return parse_resolved(line, r) && r.name == name && r.port == 9;
    };
    bool other_seen = std::any_of(browser.lines().begin(), browser.lines().end(), is_other);
    EXPECT_TRUE(other_seen || browser.wait_for(is_other)) << ::testing::PrintToString(browser.lines());
}

TEST_F(MdnsAdvertiserTest, SecondStartReplacesTheFirstRegistration) {
    Child browser = browse();
    StdoutCapture log;
    start(name + "-a");
    Resolved found;
    ASSERT_TRUE(wait_resolved(browser, name + "-a", found));
    start(name + "-b");
    EXPECT_TRUE(log.has_line("DEBUG", "Stopping Avahi advertiser"));
    ASSERT_TRUE(wait_resolved(browser, name + "-b", found));
    const bool first_withdrawn = browser.wait_for([&](const std::string &line) {
        return line.rfind("-;", 0) == 0 && unescape(split(line, ';')[3]) == name + "-a";
    });
    EXPECT_TRUE(first_withdrawn);
}

// The client waits for a daemon that went away; when it is back the service
// is registered again, although the old group cannot be reset any more.
TEST_F(MdnsAdvertiserTest, ServiceComesBackAfterTheDaemonRestarts) {
    StdoutCapture log;
    {
        Child browser = browse();
        start(name);
        Resolved found;
        ASSERT_TRUE(wait_resolved(browser, name, found));
    }
    const std::string restart =
        std::string(ZRV_SOURCE_DIR) + "/scripts/services/avahi.sh restart-daemon " + fixture_dir();
    int status = -1;
    run_loop_during(&loop, [&] { status = std::system(restart.c_str()); });
    ASSERT_EQ(status, 0);
    Child browser = browse();
    Resolved found;
    ASSERT_TRUE(wait_resolved(browser, name, found)) << log.text();
    EXPECT_EQ(found.port, config_server_port(server));
    EXPECT_EQ(found.txt, expected_txt());
    EXPECT_TRUE(log.has_line("DEBUG", "Avahi client state changed: FAILURE"));
    EXPECT_GE(log.count_line("DEBUG", "Avahi client state changed: RUNNING"), 2u);
}

TEST_F(MdnsAdvertiserTest, StopWithNothingStartedOnlyLogs) {
    StdoutCapture log;
    delegate.stop_advertising(sdk, delegate.user);
    delegate.stop_advertising(sdk, delegate.user);
    EXPECT_EQ(log.count_line("DEBUG", "Stopping Avahi advertiser"), 2u);
    const std::string text = log.text();
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 2);
}

// With a second host on a veth link (fixture avahi_peer, own process).
class MdnsAdvertiserPeer : public MdnsAdvertiserTest {
  protected:
    void SetUp() override {
        MdnsAdvertiserTest::SetUp();
        peer_bus = fixture_value("PEER_DBUS_SYSTEM_BUS_ADDRESS");
        ASSERT_FALSE(peer_bus.empty()) << "the avahi_peer fixture wrote no peer bus";
    }
    Child peer_browse() {
        return Child({"env", "DBUS_SYSTEM_BUS_ADDRESS=" + peer_bus, "avahi-browse", "-rp", service_type});
    }
    bool peer_sees(Child &browser, const std::string &service_name, const std::string &protocol,
                   std::chrono::milliseconds timeout) {
        bool ok = false;
        run_loop_during(&loop, [&] {
            ok = browser.wait_for(
                [&](const std::string &line) {
                    Resolved r;
                    return parse_resolved(line, r) && r.name == service_name && r.protocol == protocol &&
                           r.address.rfind("127.", 0) != 0;
                },
                timeout);
        });
        return ok;
    }
    std::string peer_bus;
};

TEST_F(MdnsAdvertiserPeer, CollisionReportedByTheGroupRenamesTheService) {
    Child other({"env", "DBUS_SYSTEM_BUS_ADDRESS=" + peer_bus, "avahi-publish", "-s", name, service_type, "9"});
    ASSERT_TRUE(other.wait_for([](const std::string &line) { return line.find("Established") != std::string::npos; }))
        << "avahi-publish on the peer did not register";
    Child browser = peer_browse();
    StdoutCapture log;
    start(name);
    const std::string alternative = name + " #2";
    ASSERT_TRUE(peer_sees(browser, alternative, "IPv4", 15s)) << log.text();
    // Found while probing, not at add time: the group's state line comes first.
    const size_t collision = log.find_line("DEBUG", "Avahi entry group state changed: COLLISION");
    const size_t warning =
        log.find_line("WARNING", "Unable to add service '" + name +
                                     "' to the Avahi entry group because of collision, trying '" + alternative + "'");
    ASSERT_NE(collision, std::string::npos) << log.text();
    ASSERT_NE(warning, std::string::npos) << log.text();
    EXPECT_LT(collision, warning);
    // The peer may hear the new name before this daemon reports it established.
    run_loop_during(&loop, [&] { log.wait_for_line("DEBUG", "Avahi entry group state changed: ESTABLISHED"); });
    EXPECT_EQ(log.count_line("DEBUG", "Avahi entry group state changed: ESTABLISHED"), 1u);
    EXPECT_STREQ(mdns_advertiser_service_name(advertiser), alternative.c_str());
}

TEST_F(MdnsAdvertiserPeer, Ipv6IsAnnouncedOnlyWhenAvailable) {
    {
        mdns_advertiser_set_ipv6_probe(advertiser, ipv6_yes);
        Child browser = peer_browse();
        start(name + "-both");
        EXPECT_TRUE(peer_sees(browser, name + "-both", "IPv4", 15s));
        EXPECT_TRUE(peer_sees(browser, name + "-both", "IPv6", 15s));
        delegate.stop_advertising(sdk, delegate.user);
    }
    {
        mdns_advertiser_set_ipv6_probe(advertiser, ipv6_no);
        Child browser = peer_browse();
        start(name + "-v4");
        EXPECT_TRUE(peer_sees(browser, name + "-v4", "IPv4", 15s));
        EXPECT_FALSE(peer_sees(browser, name + "-v4", "IPv6", 2s));
        delegate.stop_advertising(sdk, delegate.user);
    }
}

// Run as its own process (see CMakeLists.txt): D-Bus reads the bus address
// once per process.
TEST(MdnsAdvertiserNoDaemon, FailedClientCreationIsLoggedAndStopCleansUp) {
    setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/zrv-no-bus", 1);
    uv_loop_t loop;
    ASSERT_EQ(uv_loop_init(&loop), 0);
    DeviceInfo *device = device_info_new("n", ZRV_DEVICE_TYPE_SPEAKER, "m", "m", "s", "a", "x");
    ConfigServer *server = config_server_new(&loop, 0, device, nullptr);
    MdnsAdvertiser *advertiser = mdns_advertiser_new(&loop, device, server);
    const AdvertisingDelegate delegate = mdns_advertiser_delegate(advertiser);
    {
        // Without a bus even a client that may wait for the daemon cannot be made.
        StdoutCapture log;
        delegate.start_advertising(nullptr, "zrv-no-daemon", service_type, delegate.user);
        uv_run(&loop, UV_RUN_NOWAIT);
        EXPECT_TRUE(log.has_line("ERROR", "Unable to create Avahi client: Daemon not running"));
        EXPECT_FALSE(log.has_line("DEBUG", "Avahi client state changed: RUNNING"));
        EXPECT_STREQ(mdns_advertiser_service_name(advertiser), "zrv-no-daemon");
        delegate.stop_advertising(nullptr, delegate.user);
        EXPECT_TRUE(log.has_line("DEBUG", "Stopping Avahi advertiser"));
        EXPECT_EQ(mdns_advertiser_service_name(advertiser), nullptr);
    }
    mdns_advertiser_free(advertiser);
    config_server_free(server);
    device_info_free(device);
    uv_run(&loop, UV_RUN_DEFAULT);
    EXPECT_EQ(uv_loop_close(&loop), 0);
}

}  // namespace
