// Runs the daemon binary as a real process and checks its output and exit
// status.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
// GCC 12 reports a false maybe-uninitialized inside std::regex's std::function when sanitizing.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <regex>
#pragma GCC diagnostic pop
#include <string>
#include <vector>

#include "app/unique_device_id.h"
#include "capture.h"
#include "expected_usage.h"
#include "fake_service_manager.h"
#include "zorva_connect.h"

namespace {

const std::string daemon_path = std::string(ZRV_BINARY_DIR) + "/zorva-renderer";
const std::regex log_line(R"(^\d{8} \d{2}:\d{2}:\d{2}\.\d{3} \[(\d+)\.(\d+)\] (\w+) (\w+): (.*)$)");

const std::string usage_text = expected_usage(daemon_path);

// The daemon with its stdout and stderr on pipes.
class DaemonProcess {
  public:
    explicit DaemonProcess(const std::vector<std::string> &args) {
        int out_pipe[2], err_pipe[2];
        EXPECT_EQ(pipe2(out_pipe, O_CLOEXEC), 0);
        EXPECT_EQ(pipe2(err_pipe, O_CLOEXEC), 0);
        std::vector<char *> argv;
        argv.push_back(const_cast<char *>(daemon_path.c_str()));
        for (const auto &arg : args) argv.push_back(const_cast<char *>(arg.c_str()));
        argv.push_back(nullptr);
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out_pipe[1], STDOUT_FILENO);
            dup2(err_pipe[1], STDERR_FILENO);
            // The test runner may ignore or block SIGINT; the daemon must not inherit that.
            signal(SIGINT, SIG_DFL);
            sigset_t none;
            sigemptyset(&none);
            sigprocmask(SIG_SETMASK, &none, nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(out_pipe[1]);
        close(err_pipe[1]);
        out_fd_ = out_pipe[0];
        err_fd_ = err_pipe[0];
    }
    DaemonProcess(const DaemonProcess &) = delete;
    DaemonProcess &operator=(const DaemonProcess &) = delete;
    ~DaemonProcess() {
        if (pid_ > 0 && !reaped_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (out_fd_ >= 0) close(out_fd_);
        if (err_fd_ >= 0) close(err_fd_);
    }

    pid_t pid() const { return pid_; }

    // Reads stdout until it holds the text or the deadline passes.
    bool wait_for_stdout(const std::string &text, std::chrono::seconds limit = std::chrono::seconds(10)) {
        auto deadline = std::chrono::steady_clock::now() + limit;
        while (out_.find(text) == std::string::npos) {
            if (std::chrono::steady_clock::now() > deadline || !read_some(deadline)) return false;
        }
        return true;
    }

    // Reads both pipes to their end and returns the exit status, or -1 if
    // the process did not exit normally within the limit.
    int finish(std::chrono::seconds limit = std::chrono::seconds(10)) {
        auto deadline = std::chrono::steady_clock::now() + limit;
        while ((out_fd_ >= 0 || err_fd_ >= 0) && read_some(deadline)) {
        }
        int status = 0;
        while (std::chrono::steady_clock::now() < deadline) {
            pid_t done = waitpid(pid_, &status, WNOHANG);
            if (done == pid_) {
                reaped_ = true;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            usleep(10000);
        }
        return -1;
    }

    const std::string &out() const { return out_; }
    const std::string &err() const { return err_; }

  private:
    bool read_some(std::chrono::steady_clock::time_point deadline) {
        pollfd fds[2] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        if (poll(fds, 2, static_cast<int>(left.count())) <= 0) return false;
        drain(fds[0], &out_fd_, &out_);
        drain(fds[1], &err_fd_, &err_);
        return true;
    }
    static void drain(const pollfd &fd, int *owner, std::string *into) {
        if (fd.fd < 0 || !(fd.revents & (POLLIN | POLLHUP | POLLERR))) return;
        char buffer[4096];
        ssize_t n = read(fd.fd, buffer, sizeof buffer);
        if (n > 0) {
            into->append(buffer, static_cast<size_t>(n));
        } else {
            close(*owner);
            *owner = -1;
        }
    }

    pid_t pid_ = -1;
    int out_fd_ = -1;
    int err_fd_ = -1;
    bool reaped_ = false;
    std::string out_;
    std::string err_;
};

struct Line {
    std::string level;
    std::string message;
};

// The daemon's own lines (tag "JuxApp"); the SDK's lines carry its
// component's name. Every line of the output must be a log line.

std::vector<Line> log_lines(const std::string &text, pid_t pid) {
    std::vector<Line> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string raw = text.substr(start, end - start);
        start = end + 1;
        std::smatch m;
        EXPECT_TRUE(std::regex_match(raw, m, log_line)) << "not a log line: " << raw;
        if (m.empty()) continue;
        EXPECT_EQ(std::stol(m[1]), static_cast<long>(pid));
        if (m[4] != "JuxApp") continue;
        // Everything the daemon logs while starting and stopping runs on the
        // main thread, the loop thread.
        EXPECT_EQ(std::stol(m[2]), static_cast<long>(pid)) << raw;
        lines.push_back({m[3], m[5]});
    }
    return lines;
}

bool has_log_line(const std::string &text) {
    std::smatch m;
    std::regex anywhere(R"(\d{8} \d{2}:\d{2}:\d{2}\.\d{3} \[\d+\.\d+\])");
    return std::regex_search(text, m, anywhere);
}

// A TCP port on the loopback that was free a moment ago.
int free_port() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length);
    close(fd);
    return ntohs(address.sin_port);
}

// The SDK starts the HTTP server, so the port must be free; the volume mode
// is "alsa" so that no REST request is made.
std::string good_config(int port) {
    return R"({"appId": "entry-app", "appSecret": "c0ffee", "deviceName": "Den",
    "manufacturer": "Acme", "model": "M2", "serialNumber": "SN-77", "outputDevice": "hw:0",
    "volumeDevice": "hw:1", "volumeElement": "PCM", "volumeControlMode": "alsa", "port": )" +
           std::to_string(port) + "}";
}

// True when `wanted` appears in `lines` in this order, other lines between.
bool in_order(const std::vector<Line> &lines, const std::vector<std::string> &wanted, std::string *missing) {
    size_t at = 0;
    for (const std::string &message : wanted) {
        while (at < lines.size() && lines[at].message != message) ++at;
        if (at == lines.size()) {
            *missing = message;
            return false;
        }
        ++at;
    }
    return true;
}

TEST(Entry, WrongArgumentCountPrintsUsage) {
    for (const std::vector<std::string> &args : {std::vector<std::string>{}, std::vector<std::string>{"a", "b"}}) {
        DaemonProcess daemon(args);
        EXPECT_EQ(daemon.finish(), 1);
        EXPECT_EQ(daemon.out(), "Error: Configuration file path is required!\n" + usage_text);
        EXPECT_EQ(daemon.err(), "");
        EXPECT_FALSE(has_log_line(daemon.out()));
    }
}

TEST(Entry, BadConfigurationPrintsReasonAndUsage) {
    TempDir dir;
    std::string path = dir.write("bad.json", R"({"appSecret": "00"})");
    DaemonProcess daemon({path});
    EXPECT_EQ(daemon.finish(), 1);
    EXPECT_EQ(daemon.err(), "Error: appId is required in config file\n");
    EXPECT_EQ(daemon.out(), "Error: Failed to load configuration from file: " + path + "\n" + usage_text);
    EXPECT_FALSE(has_log_line(daemon.out()));

    DaemonProcess missing({dir.path() + "/nothing.json"});
    EXPECT_EQ(missing.finish(), 1);
    EXPECT_EQ(missing.err(), "Error: Unable to open config file: " + dir.path() + "/nothing.json\n");
}

TEST(Entry, RunsUntilSigintAndLogsInOrder) {
    TempDir dir;
    int port = free_port();
    std::string path = dir.write("good.json", good_config(port));
    DaemonProcess daemon({path});
    ASSERT_TRUE(daemon.wait_for_stdout("Running event loop\n")) << daemon.out() << daemon.err();
    kill(daemon.pid(), SIGINT);
    EXPECT_EQ(daemon.finish(), 0) << daemon.out();
    EXPECT_EQ(daemon.err(), "");

    // The daemon reads the real machine id files and host name.
    std::string device_id = unique_device_id_derive("SN-77");
    ASSERT_FALSE(device_id.empty());
    std::vector<Line> expected = {
        {"DEBUG", "Starting sample application"},
        {"DEBUG", "    Device Name: Den"},
        {"DEBUG", "    Manufacturer: Acme"},
        {"DEBUG", "    Model: M2"},
        {"DEBUG", "    Serial Number: SN-77"},
        {"DEBUG", "    Application ID: entry-app"},
        {"DEBUG", "    Application Secret: ***e (6 characters)"},
        {"DEBUG", "    Audio output device: hw:0"},
        {"DEBUG", "    Volume control device: hw:1"},
        {"DEBUG", "    Volume control element: PCM"},
        {"DEBUG", "    Local config server port: " + std::to_string(port)},
        {"DEBUG", "    Unique Device ID: " + device_id},
        {"DEBUG", "    Maximum supported audio quality: HIRES3"},
        {"DEBUG", "Zorva Connect has been initialized"},
        {"TRACE", "Running event loop"},
    };
    std::vector<Line> lines = log_lines(daemon.out(), daemon.pid());
    ASSERT_GE(lines.size(), expected.size()) << daemon.out();
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(lines[i].level, expected[i].level) << i;
        EXPECT_EQ(lines[i].message, expected[i].message) << i;
    }
    // The SDK starts the HTTP server and the advertising from the loop; the
    // shutdown frees the SDK first, then the components in order.
    std::string missing;
    EXPECT_TRUE(
        in_order(lines,
                 {"Running event loop", "Starting Local configuration server", "Ctrl+C detected, quitting main loop",
                  "Stopping Avahi advertiser", "Event loop has finished", "Sample application finished"},
                 &missing))
        << missing << "\n"
        << daemon.out();
    EXPECT_EQ(lines.back().message, "Sample application finished");
}

// Signals that arrive while or after the shutdown handle is released must
// find nothing to touch.
TEST(Entry, RepeatedSigintsStillEndCleanly) {
    TempDir dir;
    std::string path = dir.write("good.json", good_config(free_port()));
    for (int burst : {2, 200}) {
        DaemonProcess daemon({path});
        ASSERT_TRUE(daemon.wait_for_stdout("Running event loop\n")) << daemon.out();
        for (int i = 0; i < burst; ++i) kill(daemon.pid(), SIGINT);
        EXPECT_EQ(daemon.finish(), 0) << burst << "\n" << daemon.out();
        std::vector<Line> lines = log_lines(daemon.out(), daemon.pid());
        ASSERT_GE(lines.size(), 3u);
        std::string missing;
        EXPECT_TRUE(in_order(
            lines, {"Ctrl+C detected, quitting main loop", "Event loop has finished", "Sample application finished"},
            &missing))
            << missing;
        EXPECT_EQ(lines.back().message, "Sample application finished");
        size_t shutdowns = 0;
        for (const Line &line : lines) shutdowns += line.message == "Ctrl+C detected, quitting main loop";
        EXPECT_EQ(shutdowns, 1u);
    }
}

}  // namespace

namespace {

// The SDK refuses to start: the daemon says why and ends with status 1.
TEST(Entry, RefusedSdkCreationEndsWithStatusOne) {
    TempDir dir;
    std::string path = dir.write("good.json", good_config(free_port()));
    setenv("ZRV_STANDIN_INJECT", "zrv_connect_create=8", 1);
    DaemonProcess daemon({path});
    unsetenv("ZRV_STANDIN_INJECT");
    EXPECT_EQ(daemon.finish(), 1) << daemon.out();
    std::vector<Line> lines = log_lines(daemon.out(), daemon.pid());
    ASSERT_FALSE(lines.empty()) << daemon.out();
    EXPECT_EQ(lines.back().level, "ERROR");
    EXPECT_EQ(lines.back().message,
              std::string("Unable to create Zorva Connect: ") + zrv_error_to_string(ZRV_ERROR_AUTHENTICATION));
    EXPECT_EQ(daemon.out().find("Running event loop"), std::string::npos);
}

}  // namespace

namespace {

// Started by a service manager: ready once the loop runs, keep-alives while
// it runs, stopping on SIGINT; the socket is the test's own.
TEST(Entry, NotifiesTheServiceManagerFromTheLoop) {
    FakeServiceManager manager;
    ASSERT_TRUE(manager.bound());
    TempDir dir;
    std::string path = dir.write("good.json", good_config(free_port()));
    manager.export_environment(std::chrono::milliseconds(200));
    DaemonProcess daemon({path});
    for (const char *name : {"NOTIFY_SOCKET", "WATCHDOG_USEC"}) unsetenv(name);

    EXPECT_EQ(manager.receive(std::chrono::seconds(10)).state, "READY=1");
    // The loop runs: the line before it was written, before the message.
    EXPECT_TRUE(daemon.wait_for_stdout("Running event loop\n", std::chrono::seconds(1))) << daemon.out();
    EXPECT_NE(daemon.out().find("DEBUG JuxApp: Service manager watchdog on: keep-alive every 100 ms\n"),
              std::string::npos)
        << daemon.out();
    usleep(1000000);
    std::vector<Notification> alive = manager.receive_all();
    EXPECT_GE(alive.size(), 4u);
    for (const Notification &n : alive) EXPECT_EQ(n.state, "WATCHDOG=1");

    kill(daemon.pid(), SIGINT);
    Notification stopping;
    while (!(stopping = manager.receive(std::chrono::seconds(5))).state.empty() && stopping.state == "WATCHDOG=1") {
    }
    EXPECT_EQ(stopping.state, "STOPPING=1");
    EXPECT_EQ(daemon.finish(), 0) << daemon.out();
    EXPECT_EQ(daemon.err(), "");
}

}  // namespace
