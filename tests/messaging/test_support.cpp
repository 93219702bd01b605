// Test helpers; the peer's handler runs on cnats' delivery thread.
#include "test_support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <nats/nats.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace {

std::string read_file(const std::string &path) {
    std::ifstream in(path);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
}

bool can_connect(int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool connected = connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
    close(fd);
    return connected;
}

void check(natsStatus status, const char *what) {
    if (status != NATS_OK) throw std::runtime_error(std::string(what) + ": " + natsStatus_GetText(status));
}

}  // namespace

int fixture_port(const char *fixture) {
    std::string path = std::string(ZRV_TEST_SERVICES_DIR) + "/" + fixture + "/port";
    int port = std::atoi(read_file(path).c_str());
    if (port <= 0) throw std::runtime_error("no nats-server port in " + path + " (is the fixture running?)");
    return port;
}

std::string loopback_url(int port) { return "nats://127.0.0.1:" + std::to_string(port); }

std::string fixture_url(const char *fixture) { return loopback_url(fixture_port(fixture)); }

int free_loopback_port() {
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

NatsServerProcess::NatsServerProcess(int port, std::vector<std::string> extra_args)
    : port_(port), extra_args_(std::move(extra_args)) {
    static std::atomic<int> counter{0};
    dir_ = std::string(ZRV_TEST_SERVICES_DIR) + "/messaging-own-" + std::to_string(getpid()) + "-" +
           std::to_string(counter++);
}

NatsServerProcess::~NatsServerProcess() {
    kill();
    std::string command = "rm -rf '" + dir_ + "'";
    if (std::system(command.c_str()) != 0) std::fprintf(stderr, "could not remove %s\n", dir_.c_str());
}

void NatsServerProcess::start() {
    if (pid_ > 0) return;
    std::string command = "mkdir -p '" + dir_ + "'";
    if (std::system(command.c_str()) != 0) throw std::runtime_error("cannot make " + dir_);
    std::string log = dir_ + "/nats.log";
    std::string port = std::to_string(port_);
    std::vector<std::string> args = {"nats-server", "-a", "127.0.0.1", "-p", port, "-m", "-1"};
    args.insert(args.end(), extra_args_.begin(), extra_args_.end());
    pid_ = fork();
    if (pid_ == 0) {
        int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (fd >= 0) {
            dup2(fd, 1);
            dup2(fd, 2);
        }
        std::vector<char *> argv;
        for (auto &arg : args) argv.push_back(arg.data());
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    if (pid_ < 0) throw std::runtime_error("fork failed");
    for (int i = 0; i < 500; ++i) {
        if (can_connect(port_)) return;
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            throw std::runtime_error("nats-server exited: " + read_file(log));
        }
        std::this_thread::sleep_for(10ms);
    }
    throw std::runtime_error("nats-server did not listen on port " + port);
}

void NatsServerProcess::kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

void NatsServerProcess::freeze() {
    if (pid_ > 0) ::kill(pid_, SIGSTOP);
}

void NatsServerProcess::thaw() {
    if (pid_ > 0) ::kill(pid_, SIGCONT);
}

NatsPeer::NatsPeer(const std::string &url) {
    check(natsConnection_ConnectTo(&connection_, url.c_str()), "peer connect");
}

NatsPeer::~NatsPeer() {
    for (natsSubscription *subscription : subscriptions_) natsSubscription_Destroy(subscription);
    natsConnection_Close(connection_);
    natsConnection_Destroy(connection_);
}

void NatsPeer::subscribe(const std::string &subject) {
    natsSubscription *subscription = nullptr;
    check(natsConnection_Subscribe(&subscription, connection_, subject.c_str(), on_message, this), "peer subscribe");
    subscriptions_.push_back(subscription);
    flush();
}

void NatsPeer::publish(const std::string &subject, const std::string &data) {
    check(natsConnection_Publish(connection_, subject.c_str(), data.data(), static_cast<int>(data.size())),
          "peer publish");
}

void NatsPeer::flush() { check(natsConnection_Flush(connection_), "peer flush"); }

void NatsPeer::on_message(natsConnection *, natsSubscription *, natsMsg *message, void *closure) noexcept {
    auto *peer = static_cast<NatsPeer *>(closure);
    {
        std::lock_guard lock(peer->mutex_);
        const char *data = natsMsg_GetData(message);
        peer->messages_.push_back({natsMsg_GetSubject(message),
                                   std::string(data ? data : "", static_cast<size_t>(natsMsg_GetDataLength(message)))});
    }
    peer->changed_.notify_all();
    natsMsg_Destroy(message);
}

bool NatsPeer::wait_for_count(size_t count, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return messages_.size() >= count; });
}

std::vector<ReceivedMessage> NatsPeer::messages() {
    std::lock_guard lock(mutex_);
    return messages_;
}

LogCapture::LogCapture() {
    char path[] = "/tmp/zrv-messaging-log-XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0) throw std::runtime_error("mkstemp failed");
    path_ = path;
    std::fflush(stdout);
    saved_stdout_ = dup(1);
    dup2(fd, 1);
    close(fd);
}

LogCapture::~LogCapture() { finish(); }

void LogCapture::finish() {
    if (finished_) return;
    finished_ = true;
    std::fflush(stdout);
    dup2(saved_stdout_, 1);
    close(saved_stdout_);
    text_ = read_file(path_);
    unlink(path_.c_str());
    // Shown in the test's output so that a failure comes with its log.
    std::fputs(text_.c_str(), stdout);
}

std::string LogCapture::text() {
    finish();
    return text_;
}

bool LogCapture::has_line(const char *level, const std::string &message) {
    std::string wanted = std::string(" ") + level + " JuxApp: " + message;
    std::istringstream lines(text());
    for (std::string line; std::getline(lines, line);) {
        if (line.size() >= wanted.size() && line.compare(line.size() - wanted.size(), wanted.size(), wanted) == 0)
            return true;
    }
    return false;
}

size_t LogCapture::line_count() {
    std::istringstream lines(text());
    size_t count = 0;
    for (std::string line; std::getline(lines, line);) ++count;
    return count;
}

bool wait_until(const std::function<bool()> &condition, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}
