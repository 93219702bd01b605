// The daemon as a whole, driven from outside as a controller and a bus peer
// would drive it. bench/run-daemon.sh starts the services and calls:
//   daemon_bench startup <daemon> <config> <port> <runs>
//       exec to the first "get-display-info" answer, SIGINT to exit, and the
//       daemon run with no argument (exec + usage exit) as the reference
//   daemon_bench nats-latency <url> <subject> <record file> <samples>
//   daemon_bench rabbitmq-latency <port> <exchange> <routing key> <record file> <samples>
//       publish a "seek" command to the stand-in recording the SDK call,
//       beside a plain subscriber (consumer) receiving the same publishes
//   daemon_bench nats-idle <url> <subject>
//   daemon_bench rabbitmq-idle <port> <exchange> <routing key>
//       a plain subscriber (consumer) that waits until SIGTERM, whose CPU the
//       script reads beside the daemon's
// Runs on the main thread; the cnats callback runs on the cnats delivery
// thread, the plain rabbitmq-c consumer on a thread of its own.
#include <amqp.h>
#include <amqp_tcp_socket.h>
#include <arpa/inet.h>
#include <fcntl.h>
#include <nats/nats.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void fail(const std::string &what) {
    std::fprintf(stderr, "daemon_bench: %s\n", what.c_str());
    std::exit(1);
}

double ms_between(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}

double percentile(std::vector<double> values, double share) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[static_cast<size_t>(share * static_cast<double>(values.size() - 1) + 0.5)];
}

// Machine-readable lines for bench/run-all: figure|value|reference|ratio|target|met.
// A figure with an upper bound as its target says whether it was met.
void result(const std::string &figure, double value, double reference, const char *format = "%.2f",
            double at_most = 0) {
    char v[32], r[32], target[32] = "-";
    std::snprintf(v, sizeof v, format, value);
    std::snprintf(r, sizeof r, format, reference);
    if (at_most > 0) std::snprintf(target, sizeof target, "<= %g", at_most);
    std::printf("RESULT %s|%s|%s|%.2f|%s|%s\n", figure.c_str(), v, r, reference > 0 ? value / reference : 0.0, target,
                at_most > 0 ? (value <= at_most ? "yes" : "no") : "-");
}

pid_t spawn(const std::vector<std::string> &args) {
    std::vector<char *> argv;
    for (const auto &arg : args) argv.push_back(const_cast<char *>(arg.c_str()));
    argv.push_back(nullptr);
    pid_t pid = fork();
    if (pid < 0) fail("fork");
    if (pid == 0) {
        int null_fd = open("/dev/null", O_RDWR);
        dup2(null_fd, STDIN_FILENO);
        dup2(null_fd, STDOUT_FILENO);
        dup2(null_fd, STDERR_FILENO);
        signal(SIGINT, SIG_DFL);
        execv(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

// One "GET /get-display-info" on a fresh connection; true on a 200 answer.
bool display_info_answers(uint16_t port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = false;
    if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0) {
        const char request[] = "GET /get-display-info HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
        if (send(fd, request, sizeof request - 1, MSG_NOSIGNAL) == static_cast<ssize_t>(sizeof request - 1)) {
            std::string answer;
            char buffer[1024];
            pollfd p{fd, POLLIN, 0};
            while (answer.size() < 12 && poll(&p, 1, 2000) > 0) {
                ssize_t n = recv(fd, buffer, sizeof buffer, 0);
                if (n <= 0) break;
                answer.append(buffer, static_cast<size_t>(n));
            }
            ok = answer.compare(0, 12, "HTTP/1.1 200") == 0;
        }
    }
    close(fd);
    return ok;
}

// Waits for the child and returns when it ended, failing after the limit.
Clock::time_point reap(pid_t pid, int *status, std::chrono::seconds limit) {
    auto deadline = Clock::now() + limit;
    for (;;) {
        pid_t done = waitpid(pid, status, WNOHANG);
        if (done == pid) return Clock::now();
        if (Clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, status, 0);
            fail("the daemon did not exit in time");
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
}

struct Spread {
    double median, max;
};
Spread spread(const std::vector<double> &values) {
    return {percentile(values, 0.5), *std::max_element(values.begin(), values.end())};
}

int startup(const std::string &daemon, const std::string &config, uint16_t port, int runs) {
    std::vector<double> up, down, usage;
    for (int i = 0; i < runs; ++i) {
        auto start = Clock::now();
        pid_t pid = spawn({daemon, config});
        auto deadline = start + std::chrono::seconds(20);
        while (!display_info_answers(port)) {
            int status = 0;
            if (waitpid(pid, &status, WNOHANG) == pid) fail("the daemon exited before answering");
            if (Clock::now() > deadline) {
                kill(pid, SIGKILL);
                waitpid(pid, nullptr, 0);
                fail("no get-display-info answer within 20 s");
            }
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
        up.push_back(ms_between(start, Clock::now()));
        int status = 0;
        auto interrupted = Clock::now();
        kill(pid, SIGINT);
        down.push_back(ms_between(interrupted, reap(pid, &status, std::chrono::seconds(20))));
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) fail("the daemon did not exit cleanly on SIGINT");

        start = Clock::now();
        pid = spawn({daemon});
        usage.push_back(ms_between(start, reap(pid, &status, std::chrono::seconds(20))));
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 1) fail("the daemon with no argument did not exit with 1");
    }
    Spread u = spread(up), d = spread(down), r = spread(usage);
    std::printf("daemon start-up and shutdown, %d runs (ms)        median        max\n", runs);
    std::printf("%-46s %10.1f %10.1f\n", "exec to first get-display-info answer", u.median, u.max);
    std::printf("%-46s %10.1f %10.1f\n", "SIGINT to exit", d.median, d.max);
    std::printf("%-46s %10.1f %10.1f\n", "reference: no argument, exec to usage exit", r.median, r.max);
    result("Daemon start-up to HTTP answer, median (ms)", u.median, r.median, "%.1f");
    result("Daemon start-up to HTTP answer, max (ms)", u.max, r.max, "%.1f");
    result("Daemon SIGINT to exit, median (ms)", d.median, r.median, "%.1f");
    result("Daemon SIGINT to exit, max (ms)", d.max, r.max, "%.1f");
    return 0;
}

// Follows the stand-in's record file and notes when each seek position
// first appears in it.
class RecordWatch {
  public:
    explicit RecordWatch(const std::string &path) : path_(path) {
        inotify_ = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
        if (inotify_ < 0) fail("inotify_init1");
        int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_CREAT, 0644);
        if (fd < 0) fail("cannot open " + path);
        file_ = fd;
        if (inotify_add_watch(inotify_, path.c_str(), IN_MODIFY) < 0) fail("inotify_add_watch");
        read_new();
        seen_.clear();
    }
    ~RecordWatch() {
        close(inotify_);
        close(file_);
    }

    // Returns when "zrv_connect_seek_time(<position>)" was seen, or nothing
    // after the limit.
    bool wait_for(uint64_t position, std::chrono::milliseconds limit, Clock::time_point *when) {
        auto deadline = Clock::now() + limit;
        for (;;) {
            if (auto it = seen_.find(position); it != seen_.end()) {
                *when = it->second;
                return true;
            }
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0) return false;
            pollfd p{inotify_, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(std::min<long>(left, 100))) > 0) {
                char events[4096];
                while (read(inotify_, events, sizeof events) > 0) {
                }
            }
            read_new();
        }
    }

  private:
    void read_new() {
        char buffer[8192];
        ssize_t n;
        while ((n = read(file_, buffer, sizeof buffer)) > 0) pending_.append(buffer, static_cast<size_t>(n));
        auto now = Clock::now();
        size_t end;
        while ((end = pending_.find('\n')) != std::string::npos) {
            const std::string line = pending_.substr(0, end);
            pending_.erase(0, end + 1);
            const char prefix[] = "zrv_connect_seek_time(";
            if (line.compare(0, sizeof prefix - 1, prefix) == 0)
                seen_.emplace(std::strtoull(line.c_str() + sizeof prefix - 1, nullptr, 10), now);
        }
    }
    std::string path_;
    int inotify_ = -1;
    int file_ = -1;
    std::string pending_;
    std::map<uint64_t, Clock::time_point> seen_;
};

// Arrival times of the plain subscriber, keyed by the seek position.
struct Arrivals {
    std::mutex mutex;
    std::condition_variable changed;
    std::map<uint64_t, Clock::time_point> at;

    void hit(const char *data, size_t length) {
        auto now = Clock::now();
        std::string body(data, length);
        size_t field = body.find("\"position_ms\":");
        if (field == std::string::npos) return;
        uint64_t position = std::strtoull(body.c_str() + field + 14, nullptr, 10);
        std::lock_guard lock(mutex);
        at.emplace(position, now);
        changed.notify_all();
    }
    bool wait_for(uint64_t position, std::chrono::milliseconds limit, Clock::time_point *when) {
        std::unique_lock lock(mutex);
        if (!changed.wait_for(lock, limit, [&] { return at.count(position) > 0; })) return false;
        *when = at[position];
        return true;
    }
};

std::string seek_body(uint64_t position) {
    return "{\"command\":\"seek\",\"position_ms\":" + std::to_string(position) + "}";
}

// Publishes until the daemon records one seek, so its subscription is in
// place before the timed publishes; returns the next free position.
uint64_t warm_up(RecordWatch &watch, const std::function<void(const std::string &)> &send) {
    uint64_t position = 500;
    for (int tries = 0; tries < 60; ++tries, ++position) {
        send(seek_body(position));
        Clock::time_point when;
        if (watch.wait_for(position, std::chrono::milliseconds(1000), &when)) return position + 1;
    }
    fail("the daemon never recorded a seek published on the bus");
}

// Publishes one seek at a time with idle gaps between them (as a controller
// would), timing the daemon's record and the plain subscriber's arrival.
// p99_target_ms, when not 0, is the bound the daemon's p99 must meet.
void measure(const char *bus, const std::function<void(const std::string &)> &send, RecordWatch &watch,
             Arrivals &arrivals, uint64_t first, int samples, int gap_ms_max, double p99_target_ms = 0) {
    std::vector<double> daemon_ms, plain_ms;
    for (int i = 0; i < samples; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5 + (i * 37) % gap_ms_max));
        const uint64_t position = first + static_cast<uint64_t>(i);
        auto sent = Clock::now();
        send(seek_body(position));
        Clock::time_point recorded, arrived;
        if (!watch.wait_for(position, std::chrono::seconds(5), &recorded))
            fail(std::string(bus) + ": the daemon did not record seek " + std::to_string(position));
        if (!arrivals.wait_for(position, std::chrono::seconds(5), &arrived))
            fail(std::string(bus) + ": the plain subscriber did not receive seek " + std::to_string(position));
        daemon_ms.push_back(ms_between(sent, recorded));
        plain_ms.push_back(ms_between(sent, arrived));
    }
    std::printf("%s: publish \"seek\" to the SDK call, %d samples (ms)   p50        p99        max\n", bus, samples);
    std::printf("%-46s %10.3f %10.3f %10.3f\n", "daemon: stand-in records zrv_connect_seek_time",
                percentile(daemon_ms, 0.5), percentile(daemon_ms, 0.99), percentile(daemon_ms, 1.0));
    std::printf("%-46s %10.3f %10.3f %10.3f\n", "reference: plain subscriber receives it", percentile(plain_ms, 0.5),
                percentile(plain_ms, 0.99), percentile(plain_ms, 1.0));
    result(std::string(bus) + " publish to SDK call p50 (ms)", percentile(daemon_ms, 0.5), percentile(plain_ms, 0.5),
           "%.3f");
    result(std::string(bus) + " publish to SDK call p99 (ms)", percentile(daemon_ms, 0.99), percentile(plain_ms, 0.99),
           "%.3f", p99_target_ms);
}

void check_nats(natsStatus status, const char *what) {
    if (status != NATS_OK) fail(std::string(what) + ": " + natsStatus_GetText(status));
}

void on_nats_message(natsConnection *, natsSubscription *, natsMsg *message, void *user) {
    static_cast<Arrivals *>(user)->hit(natsMsg_GetData(message), static_cast<size_t>(natsMsg_GetDataLength(message)));
    natsMsg_Destroy(message);
}

int nats_latency(const std::string &url, const std::string &subject, const std::string &record, int samples) {
    Arrivals arrivals;
    natsConnection *plain = nullptr, *sender = nullptr;
    natsSubscription *subscription = nullptr;
    check_nats(natsConnection_ConnectTo(&plain, url.c_str()), "plain connect");
    check_nats(natsConnection_Subscribe(&subscription, plain, subject.c_str(), on_nats_message, &arrivals),
               "plain subscribe");
    check_nats(natsConnection_Flush(plain), "plain flush");
    check_nats(natsConnection_ConnectTo(&sender, url.c_str()), "sender connect");
    auto send = [&](const std::string &body) {
        check_nats(natsConnection_PublishString(sender, subject.c_str(), body.c_str()), "publish");
        check_nats(natsConnection_Flush(sender), "flush");
    };
    RecordWatch watch(record);
    uint64_t first = warm_up(watch, send);
    measure("NATS", send, watch, arrivals, first, samples, 50);
    natsSubscription_Destroy(subscription);
    natsConnection_Destroy(plain);
    natsConnection_Destroy(sender);
    nats_Close();
    return 0;
}

void check_amqp(amqp_rpc_reply_t reply, const char *what) {
    if (reply.reply_type != AMQP_RESPONSE_NORMAL) fail(what);
}

amqp_connection_state_t amqp_open(int port, const std::string &exchange) {
    amqp_connection_state_t connection = amqp_new_connection();
    amqp_socket_t *socket = amqp_tcp_socket_new(connection);
    if (!socket || amqp_socket_open(socket, "127.0.0.1", port) != AMQP_STATUS_OK) fail("cannot reach the broker");
    check_amqp(amqp_login(connection, "/", 0, 131072, 0, AMQP_SASL_METHOD_PLAIN, "guest", "guest"), "login");
    amqp_channel_open(connection, 1);
    check_amqp(amqp_get_rpc_reply(connection), "channel open");
    // Declared as the daemon declares it, so either may come first.
    amqp_exchange_declare(connection, 1, amqp_cstring_bytes(exchange.c_str()), amqp_cstring_bytes("topic"), 0, 1, 0, 0,
                          amqp_empty_table);
    check_amqp(amqp_get_rpc_reply(connection), "exchange declare");
    return connection;
}

void amqp_finish(amqp_connection_state_t connection) {
    amqp_channel_close(connection, 1, AMQP_REPLY_SUCCESS);
    amqp_connection_close(connection, AMQP_REPLY_SUCCESS);
    amqp_destroy_connection(connection);
}

// A plain consumer of its own queue bound like the daemon's, with explicit
// acknowledgements; it blocks in amqp_consume_message between messages.
class PlainConsumer {
  public:
    PlainConsumer(int port, const std::string &exchange, const std::string &key, Arrivals *arrivals)
        : arrivals_(arrivals) {
        connection_ = amqp_open(port, exchange);
        amqp_queue_declare_ok_t *declared =
            amqp_queue_declare(connection_, 1, amqp_empty_bytes, 0, 0, 1, 1, amqp_empty_table);
        check_amqp(amqp_get_rpc_reply(connection_), "queue declare");
        amqp_bytes_t queue = amqp_bytes_malloc_dup(declared->queue);
        amqp_queue_bind(connection_, 1, queue, amqp_cstring_bytes(exchange.c_str()), amqp_cstring_bytes(key.c_str()),
                        amqp_empty_table);
        check_amqp(amqp_get_rpc_reply(connection_), "queue bind");
        amqp_basic_consume(connection_, 1, queue, amqp_empty_bytes, 0, 0, 0, amqp_empty_table);
        check_amqp(amqp_get_rpc_reply(connection_), "consume");
        amqp_bytes_free(queue);
    }
    ~PlainConsumer() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        amqp_finish(connection_);
    }
    void start() {
        thread_ = std::thread([this] { run(); });
    }

  private:
    void run() {
        while (!stop_) {
            amqp_maybe_release_buffers(connection_);
            amqp_envelope_t envelope;
            timeval timeout{1, 0};
            amqp_rpc_reply_t reply = amqp_consume_message(connection_, &envelope, &timeout, 0);
            if (reply.reply_type != AMQP_RESPONSE_NORMAL) continue;
            if (arrivals_)
                arrivals_->hit(static_cast<const char *>(envelope.message.body.bytes), envelope.message.body.len);
            amqp_basic_ack(connection_, 1, envelope.delivery_tag, 0);
            amqp_destroy_envelope(&envelope);
        }
    }
    Arrivals *arrivals_;
    amqp_connection_state_t connection_ = nullptr;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

int rabbitmq_latency(int port, const std::string &exchange, const std::string &key, const std::string &record,
                     int samples) {
    Arrivals arrivals;
    PlainConsumer plain(port, exchange, key, &arrivals);
    plain.start();
    amqp_connection_state_t sender = amqp_open(port, exchange);
    auto send = [&](const std::string &body) {
        amqp_bytes_t bytes{body.size(), const_cast<char *>(body.data())};
        if (amqp_basic_publish(sender, 1, amqp_cstring_bytes(exchange.c_str()), amqp_cstring_bytes(key.c_str()), 0, 0,
                               nullptr, bytes) != AMQP_STATUS_OK)
            fail("publish");
    };
    RecordWatch watch(record);
    uint64_t first = warm_up(watch, send);
    // Gaps up to 400 ms: each command finds the connection thread idle in
    // its wait, as a controller's would.
    measure("RabbitMQ", send, watch, arrivals, first, samples, 400, 5.0);
    amqp_finish(sender);
    return 0;
}

std::atomic<bool> terminated{false};
void on_term(int) { terminated = true; }

void wait_for_term() {
    struct sigaction action {};
    action.sa_handler = on_term;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    while (!terminated) pause();
}

int nats_idle(const std::string &url, const std::string &subject) {
    Arrivals arrivals;
    natsConnection *plain = nullptr;
    natsSubscription *subscription = nullptr;
    check_nats(natsConnection_ConnectTo(&plain, url.c_str()), "plain connect");
    check_nats(natsConnection_Subscribe(&subscription, plain, subject.c_str(), on_nats_message, &arrivals),
               "plain subscribe");
    check_nats(natsConnection_Flush(plain), "plain flush");
    std::printf("ready\n");
    std::fflush(stdout);
    wait_for_term();
    natsSubscription_Destroy(subscription);
    natsConnection_Destroy(plain);
    nats_Close();
    return 0;
}

int rabbitmq_idle(int port, const std::string &exchange, const std::string &key) {
    {
        Arrivals arrivals;
        PlainConsumer plain(port, exchange, key, &arrivals);
        plain.start();
        std::printf("ready\n");
        std::fflush(stdout);
        wait_for_term();
    }
    return 0;
}

void usage() {
    std::fprintf(stderr,
                 "usage: daemon_bench startup <daemon> <config> <port> <runs>\n"
                 "       daemon_bench nats-latency <url> <subject> <record file> <samples>\n"
                 "       daemon_bench rabbitmq-latency <port> <exchange> <key> <record file> <samples>\n"
                 "       daemon_bench nats-idle <url> <subject>\n"
                 "       daemon_bench rabbitmq-idle <port> <exchange> <key>\n");
    std::exit(2);
}

}  // namespace

int main(int argc, char **argv) {
    setlinebuf(stdout);
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "startup" && argc == 6)
        return startup(argv[2], argv[3], static_cast<uint16_t>(std::atoi(argv[4])), std::max(1, std::atoi(argv[5])));
    if (mode == "nats-latency" && argc == 6) return nats_latency(argv[2], argv[3], argv[4], std::atoi(argv[5]));
    if (mode == "rabbitmq-latency" && argc == 7)
        return rabbitmq_latency(std::atoi(argv[2]), argv[3], argv[4], argv[5], std::atoi(argv[6]));
    if (mode == "nats-idle" && argc == 4) return nats_idle(argv[2], argv[3]);
    if (mode == "rabbitmq-idle" && argc == 5) return rabbitmq_idle(std::atoi(argv[2]), argv[3], argv[4]);
    usage();
}
