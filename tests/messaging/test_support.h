// Helpers of the messaging tests: a cnats peer, nats-servers run by the test
// itself, the ports of the fixture servers, and capture of the log on stdout.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

struct __natsConnection;
struct __natsSubscription;

using namespace std::chrono_literals;

// The port a fixture's nats-server listens on, from <services dir>/<fixture>/port.
int fixture_port(const char *fixture);
std::string fixture_url(const char *fixture);
std::string loopback_url(int port);

// A loopback port that was free a moment ago.
int free_loopback_port();

// A nats-server the test starts, kills and restarts itself, on a fixed port.
class NatsServerProcess {
  public:
    explicit NatsServerProcess(int port, std::vector<std::string> extra_args = {});
    ~NatsServerProcess();
    NatsServerProcess(const NatsServerProcess &) = delete;
    NatsServerProcess &operator=(const NatsServerProcess &) = delete;

    // Starts the server and waits until it accepts connections.
    void start();
    // SIGKILL, as a crash would.
    void kill();
    // SIGSTOP and SIGCONT: the connections stay open, and nothing answers.
    void freeze();
    void thaw();
    int port() const { return port_; }
    std::string url() const { return loopback_url(port_); }

  private:
    int port_;
    std::vector<std::string> extra_args_;
    std::string dir_;
    pid_t pid_ = -1;
};

struct ReceivedMessage {
    std::string subject;
    std::string data;
};

// The other end of the bus, a plain cnats client.
class NatsPeer {
  public:
    explicit NatsPeer(const std::string &url);
    ~NatsPeer();
    NatsPeer(const NatsPeer &) = delete;
    NatsPeer &operator=(const NatsPeer &) = delete;

    void subscribe(const std::string &subject);
    void publish(const std::string &subject, const std::string &data);
    // Waits until the server has seen everything sent so far.
    void flush();
    bool wait_for_count(size_t count, std::chrono::milliseconds timeout = 5s);
    std::vector<ReceivedMessage> messages();

  private:
    static void on_message(__natsConnection *, __natsSubscription *, struct __natsMsg *message, void *closure) noexcept;

    __natsConnection *connection_ = nullptr;
    std::vector<__natsSubscription *> subscriptions_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<ReceivedMessage> messages_;  // guarded by mutex_
};

// Everything the process writes to stdout between construction and text().
class LogCapture {
  public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    // What was written so far; ends the capture.
    std::string text();
    // True when some line holds " <LEVEL> JuxApp: <message>" exactly.
    bool has_line(const char *level, const std::string &message);
    // Number of log lines.
    size_t line_count();

  private:
    void finish();
    int saved_stdout_ = -1;
    std::string path_;
    std::string text_;
    bool finished_ = false;
};

// Polls the condition every 10 ms until it holds or the time is up.
bool wait_until(const std::function<bool()> &condition, std::chrono::milliseconds timeout = 5s);
