// The RabbitMQ backend's throughput, latency and idle CPU beside a plain
// rabbitmq-c client doing the same work, against one local broker.
//   rabbitmq_bench <amqp port> [messages]    (ZRV_BENCH_QUICK=1: 3 s idle, else 10 s)
// The main thread publishes and measures; the MessagingConnection's callback
// runs on its connection thread, the reference consumer on a thread of its own.
#include <amqp.h>
#include <amqp_tcp_socket.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "messaging/messaging_connection.h"

namespace {

using Clock = std::chrono::steady_clock;

FILE *results = stdout;
const char *exchange = "zrv.bench";

void fail(const char *what) {
    std::fprintf(stderr, "rabbitmq_bench: %s\n", what);
    std::exit(1);
}

void check(amqp_rpc_reply_t reply, const char *what) {
    if (reply.reply_type != AMQP_RESPONSE_NORMAL) fail(what);
}

// Counts deliveries and remembers when the last one came.
struct Probe {
    std::mutex mutex;
    std::condition_variable changed;
    long received = 0;
    Clock::time_point last;

    void hit() {
        std::lock_guard lock(mutex);
        ++received;
        last = Clock::now();
        changed.notify_all();
    }
    void reset() {
        std::lock_guard lock(mutex);
        received = 0;
    }
    Clock::time_point wait_for(long count) {
        std::unique_lock lock(mutex);
        if (!changed.wait_for(lock, std::chrono::seconds(120), [&] { return received >= count; }))
            fail("messages were lost");
        return last;
    }
};

void on_daemon_message(MessagingConnection *, const char *, size_t, void *user) { static_cast<Probe *>(user)->hit(); }

amqp_connection_state_t open_connection(int port) {
    amqp_connection_state_t connection = amqp_new_connection();
    amqp_socket_t *socket = amqp_tcp_socket_new(connection);
    if (!socket || amqp_socket_open(socket, "127.0.0.1", port) != AMQP_STATUS_OK) fail("cannot connect");
    check(amqp_login(connection, "/", 0, 131072, 0, AMQP_SASL_METHOD_PLAIN, "guest", "guest"), "login");
    amqp_channel_open(connection, 1);
    check(amqp_get_rpc_reply(connection), "channel open");
    amqp_exchange_declare(connection, 1, amqp_cstring_bytes(exchange), amqp_cstring_bytes("topic"), 0, 1, 0, 0,
                          amqp_empty_table);
    check(amqp_get_rpc_reply(connection), "exchange declare");
    return connection;
}

void close_connection(amqp_connection_state_t connection) {
    amqp_channel_close(connection, 1, AMQP_REPLY_SUCCESS);
    amqp_connection_close(connection, AMQP_REPLY_SUCCESS);
    amqp_destroy_connection(connection);
}

// A plain consumer with explicit acknowledgements, as the backend consumes.
// Between messages it waits in amqp_consume_message up to the time-out.
class PlainConsumer {
  public:
    PlainConsumer(int port, const char *key, Probe &probe, timeval timeout = {0, 100000})
        : probe_(probe), timeout_(timeout) {
        connection_ = open_connection(port);
        amqp_queue_declare_ok_t *declared =
            amqp_queue_declare(connection_, 1, amqp_empty_bytes, 0, 0, 1, 1, amqp_empty_table);
        check(amqp_get_rpc_reply(connection_), "queue declare");
        amqp_bytes_t queue = amqp_bytes_malloc_dup(declared->queue);
        amqp_queue_bind(connection_, 1, queue, amqp_cstring_bytes(exchange), amqp_cstring_bytes(key), amqp_empty_table);
        check(amqp_get_rpc_reply(connection_), "queue bind");
        amqp_basic_consume(connection_, 1, queue, amqp_empty_bytes, 0, 0, 0, amqp_empty_table);
        check(amqp_get_rpc_reply(connection_), "consume");
        amqp_bytes_free(queue);
        thread_ = std::thread([this] { run(); });
    }
    ~PlainConsumer() {
        stop_ = true;
        thread_.join();
        close_connection(connection_);
    }

  private:
    void run() {
        while (!stop_) {
            amqp_maybe_release_buffers(connection_);
            amqp_envelope_t envelope;
            amqp_rpc_reply_t reply = amqp_consume_message(connection_, &envelope, &timeout_, 0);
            if (reply.reply_type != AMQP_RESPONSE_NORMAL) continue;
            probe_.hit();
            amqp_basic_ack(connection_, 1, envelope.delivery_tag, 0);
            amqp_destroy_envelope(&envelope);
        }
    }
    Probe &probe_;
    timeval timeout_;
    amqp_connection_state_t connection_ = nullptr;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

void publish(amqp_connection_state_t connection, const char *key, const std::string &body) {
    amqp_bytes_t bytes{body.size(), const_cast<char *>(body.data())};
    if (amqp_basic_publish(connection, 1, amqp_cstring_bytes(exchange), amqp_cstring_bytes(key), 0, 0, nullptr,
                           bytes) != AMQP_STATUS_OK)
        fail("publish");
}

// Time on the CPU of all of this process's threads, in seconds.
double process_cpu_seconds() {
    double nanoseconds = 0;
    for (const auto &task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream schedstat(task.path() / "schedstat");
        double on_cpu = 0;
        if (schedstat >> on_cpu) nanoseconds += on_cpu;
    }
    return nanoseconds / 1e9;
}

// CPU seconds per minute of this process over an idle stretch, after a
// settling second; whatever runs meanwhile is what is measured.
double idle_cpu_per_minute(int seconds) {
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const double before = process_cpu_seconds();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    return (process_cpu_seconds() - before) * 60 / seconds;
}

double per_second(long count, Clock::duration took) {
    return static_cast<double>(count) / std::chrono::duration<double>(took).count();
}

double percentile(std::vector<double> values, double share) {
    std::sort(values.begin(), values.end());
    return values[static_cast<size_t>(share * static_cast<double>(values.size() - 1))];
}

// Publish to callback, one message at a time, with idle gaps between them.
std::vector<double> measure_latency(amqp_connection_state_t sender, const char *key, Probe &probe, int samples) {
    std::vector<double> latencies;
    probe.reset();
    for (int i = 0; i < samples; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20 + (i * 37) % 400));
        auto sent = Clock::now();
        publish(sender, key, "{\"command\":\"play\"}");
        auto arrived = probe.wait_for(i + 1);
        latencies.push_back(std::chrono::duration<double, std::milli>(arrived - sent).count());
    }
    return latencies;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2) fail("usage: rabbitmq_bench <amqp port> [messages]");
    int port = std::atoi(argv[1]);
    long messages = argc > 2 ? std::atol(argv[2]) : 10000;
    const int samples = 40;
    const char *quick = std::getenv("ZRV_BENCH_QUICK");
    const int idle_seconds = quick && std::string(quick) == "1" ? 3 : 10;

    // The daemon logs on stdout: keep that out of the figures.
    results = fdopen(dup(1), "w");
    int null_fd = open("/dev/null", O_WRONLY);
    dup2(null_fd, 1);
    close(null_fd);

    Probe daemon_probe, plain_probe, outbound_probe;
    // Idle, connected and consuming, each alone in this process: first a
    // plain consumer waiting up to a second at a time, then the backend.
    double plain_idle = 0;
    {
        Probe idle_probe;
        PlainConsumer idle(port, "bench.idle", idle_probe, {1, 0});
        plain_idle = idle_cpu_per_minute(idle_seconds);
    }
    MessagingConnectionConfig config{};
    config.backend = MESSAGING_BACKEND_RABBITMQ;
    config.rabbitmq.host = "127.0.0.1";
    config.rabbitmq.port = static_cast<uint16_t>(port);
    config.rabbitmq.username = "guest";
    config.rabbitmq.password = "guest";
    config.rabbitmq.exchange = exchange;
    config.rabbitmq.exchange_type = "topic";
    config.rabbitmq.binding_key = "bench.daemon.in";
    config.message_callback = on_daemon_message;
    config.message_user_data = &daemon_probe;
    MessagingConnection *connection = messaging_connection_new(&config);
    auto deadline = Clock::now() + std::chrono::seconds(10);
    while (!messaging_connection_is_connected(connection)) {
        if (Clock::now() > deadline) fail("the MessagingConnection did not connect");
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const double backend_idle = idle_cpu_per_minute(idle_seconds);
    PlainConsumer plain(port, "bench.plain.in", plain_probe);
    PlainConsumer outbound(port, "bench.out", outbound_probe);
    amqp_connection_state_t sender = open_connection(port);
    std::string body = "{\"event_type\":\"seek\",\"stream_id\":7,\"position_ms\":30000,\"timestamp\":1700000000}";

    std::fprintf(results, "rabbitmq_bench: %ld messages per flood, %d latency samples, broker 127.0.0.1:%d\n", messages,
                 samples, port);
    // Machine-readable lines for bench/run-all: figure|value|reference|ratio|target|met.
    auto result = [&](const char *figure, double value, double reference, const char *target = "-",
                      const char *met = "-", const char *format = "%.1f") {
        char v[32], r[32];
        std::snprintf(v, sizeof v, format, value);
        std::snprintf(r, sizeof r, format, reference);
        std::fprintf(results, "RESULT %s|%s|%s|%.2f|%s|%s\n", figure, v, r, reference > 0 ? value / reference : 0.0,
                     target, met);
    };
    auto yes_no = [](bool met) { return met ? "yes" : "no"; };
    const std::string idle_title = "idle, connected, " + std::to_string(idle_seconds) + " s";
    std::fprintf(results, "%-46s %14s\n", idle_title.c_str(), "CPU s/min");
    std::fprintf(results, "%-46s %14.4f\n", "MessagingConnection", backend_idle);
    std::fprintf(results, "%-46s %14.4f\n", "reference rabbitmq-c consumer (1 s time-out)", plain_idle);
    result("RabbitMQ backend idle CPU (s/min)", backend_idle, plain_idle, "ratio <= 2",
           yes_no(plain_idle > 0 && backend_idle <= 2 * plain_idle), "%.4f");
    std::vector<double> flood_rates;
    std::fprintf(results, "%-46s %14s\n", "inbound flood, publish to last callback", "messages/s");
    for (auto [name, key, probe] :
         {std::tuple{"MessagingConnection message callback", "bench.daemon.in", &daemon_probe},
          std::tuple{"reference rabbitmq-c consumer", "bench.plain.in", &plain_probe}}) {
        probe->reset();
        auto start = Clock::now();
        for (long i = 0; i < messages; ++i) publish(sender, key, body);
        auto last = probe->wait_for(messages);
        std::fprintf(results, "%-46s %14.0f\n", name, per_second(messages, last - start));
        flood_rates.push_back(per_second(messages, last - start));
    }
    result("RabbitMQ inbound flood, msg/s", flood_rates[0], flood_rates[1]);

    // The outbound queue holds at most 1000 messages: publish in batches that fit.
    std::fprintf(results, "%-46s %14s\n", "outbound, publish to last delivery", "messages/s");
    const long batch = 1000;
    long outbound_count = std::max(batch, messages / batch * batch);
    outbound_probe.reset();
    auto start = Clock::now();
    for (long sent = 0; sent < outbound_count; sent += batch) {
        outbound_probe.wait_for(sent);
        // The last entries of the batch before may still be on their way out
        // of the queue: a refusal is retried for a moment.
        for (long i = 0; i < batch; ++i) {
            int tries = 0;
            while (!messaging_connection_publish(connection, "bench.out", body.c_str())) {
                if (++tries > 1000) fail("publish refused");
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        }
    }
    auto last = outbound_probe.wait_for(outbound_count);
    std::fprintf(results, "%-46s %14.0f\n", "messaging_connection_publish", per_second(outbound_count, last - start));
    const double outbound_rate = per_second(outbound_count, last - start);
    outbound_probe.reset();
    start = Clock::now();
    for (long i = 0; i < outbound_count; ++i) publish(sender, "bench.out", body);
    last = outbound_probe.wait_for(outbound_count);
    std::fprintf(results, "%-46s %14.0f\n", "reference amqp_basic_publish", per_second(outbound_count, last - start));
    const double reference_outbound_rate = per_second(outbound_count, last - start);
    result("RabbitMQ outbound publish, msg/s", outbound_rate, reference_outbound_rate, "ratio >= 0.5",
           yes_no(outbound_rate >= 0.5 * reference_outbound_rate));

    std::vector<double> daemon_latency = measure_latency(sender, "bench.daemon.in", daemon_probe, samples);
    std::vector<double> plain_latency = measure_latency(sender, "bench.plain.in", plain_probe, samples);
    std::fprintf(results, "%-46s %10s %10s %10s\n", "single inbound message to callback", "p50 ms", "p99 ms", "max ms");
    std::fprintf(results, "%-46s %10.1f %10.1f %10.1f\n", "MessagingConnection message callback",
                 percentile(daemon_latency, 0.5), percentile(daemon_latency, 0.99), percentile(daemon_latency, 1.0));
    std::fprintf(results, "%-46s %10.1f %10.1f %10.1f\n", "reference rabbitmq-c consumer",
                 percentile(plain_latency, 0.5), percentile(plain_latency, 0.99), percentile(plain_latency, 1.0));
    result("RabbitMQ inbound to callback p50 (ms)", percentile(daemon_latency, 0.5), percentile(plain_latency, 0.5));
    result("RabbitMQ inbound to callback p99 (ms)", percentile(daemon_latency, 0.99), percentile(plain_latency, 0.99),
           "<= 5", yes_no(percentile(daemon_latency, 0.99) <= 5));
    std::fflush(results);

    close_connection(sender);
    messaging_connection_free(connection);
    return 0;
}
