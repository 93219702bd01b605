// Bus throughput and latency of the MessagingConnection beside a plain cnats
// client doing the same work, against one local nats-server.
//   messaging_bench <nats url> [events]
// Main thread publishes; message handlers run on cnats' delivery threads.
#include <fcntl.h>
#include <nats/nats.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "messaging/event_publisher.h"
#include "messaging/messaging_connection.h"

namespace {

using Clock = std::chrono::steady_clock;

FILE *results = stdout;

void fail(const char *what) {
    std::fprintf(stderr, "messaging_bench: %s\n", what);
    std::exit(1);
}

void check(natsStatus status, const char *what) {
    if (status != NATS_OK) {
        std::fprintf(stderr, "messaging_bench: %s: %s\n", what, natsStatus_GetText(status));
        std::exit(1);
    }
}

// Counts what arrives on a subject, on a connection of its own.
class Counter {
  public:
    Counter(const std::string &url, const char *subject) {
        check(natsConnection_ConnectTo(&connection_, url.c_str()), "counter connect");
        check(natsConnection_Subscribe(&subscription_, connection_, subject, on_message, this), "counter subscribe");
        natsSubscription_SetPendingLimits(subscription_, -1, -1);
        check(natsConnection_Flush(connection_), "counter flush");
    }
    ~Counter() {
        natsSubscription_Destroy(subscription_);
        natsConnection_Destroy(connection_);
    }
    void wait_for(long count) {
        std::unique_lock lock(mutex_);
        if (!changed_.wait_for(lock, std::chrono::seconds(60), [&] { return received_ >= count; }))
            fail("messages were lost");
    }
    void reset() {
        std::lock_guard lock(mutex_);
        received_ = 0;
    }

  private:
    static void on_message(natsConnection *, natsSubscription *, natsMsg *message, void *closure) {
        auto *self = static_cast<Counter *>(closure);
        natsMsg_Destroy(message);
        std::lock_guard lock(self->mutex_);
        ++self->received_;
        self->changed_.notify_all();
    }
    natsConnection *connection_ = nullptr;
    natsSubscription *subscription_ = nullptr;
    std::mutex mutex_;
    std::condition_variable changed_;
    long received_ = 0;
};

struct Throughput {
    double call_rate;       // publish calls per second
    double delivered_rate;  // messages per second until the last one arrived
};

Throughput measure_publish(Counter &counter, long events, const std::function<void(long)> &publish) {
    counter.reset();
    auto start = Clock::now();
    for (long i = 0; i < events; ++i) publish(i);
    auto called = Clock::now();
    counter.wait_for(events);
    auto delivered = Clock::now();
    auto seconds = [&](Clock::time_point end) { return std::chrono::duration<double>(end - start).count(); };
    return {events / seconds(called), events / seconds(delivered)};
}

// One inbound message at a time: the time from the peer's publish to the
// receiving callback, in microseconds.
struct LatencyProbe {
    std::mutex mutex;
    std::condition_variable arrived;
    Clock::time_point received;
    bool got = false;

    void mark() {
        auto now = Clock::now();
        std::lock_guard lock(mutex);
        received = now;
        got = true;
        arrived.notify_all();
    }
};

std::vector<double> measure_latency(natsConnection *sender, const char *subject, LatencyProbe &probe, int samples) {
    std::vector<double> micros;
    for (int i = 0; i < samples + 100; ++i) {
        std::unique_lock lock(probe.mutex);
        probe.got = false;
        lock.unlock();
        auto sent = Clock::now();
        check(natsConnection_PublishString(sender, subject, "{\"command\":\"next\"}"), "latency publish");
        check(natsConnection_FlushTimeout(sender, 5000), "latency flush");
        lock.lock();
        if (!probe.arrived.wait_for(lock, std::chrono::seconds(5), [&] { return probe.got; }))
            fail("a latency probe was lost");
        if (i >= 100) micros.push_back(std::chrono::duration<double, std::micro>(probe.received - sent).count());
    }
    std::sort(micros.begin(), micros.end());
    return micros;
}

double percentile(const std::vector<double> &sorted, double p) {
    return sorted[std::min(sorted.size() - 1, static_cast<size_t>(p * static_cast<double>(sorted.size())))];
}

void on_daemon_message(MessagingConnection *, const char *, size_t, void *user) {
    static_cast<LatencyProbe *>(user)->mark();
}

void on_plain_message(natsConnection *, natsSubscription *, natsMsg *message, void *closure) {
    natsMsg_Destroy(message);
    static_cast<LatencyProbe *>(closure)->mark();
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2) fail("usage: messaging_bench <nats url> [events]");
    std::string url = argv[1];
    long events = argc > 2 ? std::atol(argv[2]) : 200000;
    const int samples = 5000;

    // The daemon logs on stdout: keep that out of the figures.
    results = fdopen(dup(1), "w");
    int null_fd = open("/dev/null", O_WRONLY);
    dup2(null_fd, 1);
    close(null_fd);

    LatencyProbe daemon_probe, plain_probe;
    MessagingConnectionConfig config{};
    config.backend = MESSAGING_BACKEND_NATS;
    config.nats.url = url;
    config.nats.subscribe_subject = "bench.daemon.in";
    config.message_callback = on_daemon_message;
    config.message_user_data = &daemon_probe;
    MessagingConnection *connection = messaging_connection_new(&config);
    if (!messaging_connection_is_connected(connection)) fail("the MessagingConnection did not connect");
    EventPublisher *publisher = event_publisher_new(connection, "bench.routed");

    natsConnection *plain = nullptr;
    natsSubscription *plain_subscription = nullptr;
    check(natsConnection_ConnectTo(&plain, url.c_str()), "plain connect");
    check(natsConnection_Subscribe(&plain_subscription, plain, "bench.plain.in", on_plain_message, &plain_probe),
          "plain subscribe");
    natsConnection *sender = nullptr;
    check(natsConnection_ConnectTo(&sender, url.c_str()), "sender connect");
    check(natsConnection_Flush(plain), "plain flush");

    Counter fixed_counter(url, outgoing_events_subject);
    Counter routed_counter(url, "bench.routed");
    std::string seek_body = "{\"event_type\":\"seek\",\"stream_id\":7,\"position_ms\":30000,\"timestamp\":1700000000}";

    std::fprintf(results, "messaging_bench: %ld events per run, %d latency samples, server %s\n", events, samples,
                 url.c_str());
    // The machine is shared: the cases alternate over several rounds and the
    // median round of each is printed.
    const int rounds = 5;
    struct Case {
        const char *name;
        Counter *counter;
        std::function<void(long)> publish;
        std::vector<Throughput> runs;
    };
    std::vector<Case> cases = {
        {"messaging_connection_publish (seek body)",
         &routed_counter,
         [&](long) { messaging_connection_publish(connection, "bench.routed", seek_body.c_str()); },
         {}},
        {"reference natsConnection_PublishString",
         &routed_counter,
         [&](long) { natsConnection_PublishString(plain, "bench.routed", seek_body.c_str()); },
         {}},
        {"event_publisher_seek (build + publish)",
         &routed_counter,
         [&](long i) { event_publisher_seek(publisher, 7, static_cast<uint64_t>(i)); },
         {}},
        {"event_publisher_track_started",
         &fixed_counter,
         [&](long i) { event_publisher_track_started(publisher, static_cast<uint64_t>(i), "", "", "", 215000); },
         {}},
    };
    for (int round = 0; round < rounds; ++round)
        for (Case &c : cases) c.runs.push_back(measure_publish(*c.counter, events, c.publish));
    std::fprintf(results, "%-44s %14s %16s   (median of %d rounds)\n", "publish", "calls/s", "delivered/s", rounds);
    for (Case &c : cases) {
        std::sort(c.runs.begin(), c.runs.end(),
                  [](const Throughput &a, const Throughput &b) { return a.delivered_rate < b.delivered_rate; });
        const Throughput &median = c.runs[c.runs.size() / 2];
        std::fprintf(results, "%-44s %14.0f %16.0f\n", c.name, median.call_rate, median.delivered_rate);
    }
    // Machine-readable lines for bench/run-all: figure|value|reference|ratio|target|met.
    auto result = [&](const char *figure, double value, double reference) {
        std::fprintf(results, "RESULT %s|%.1f|%.1f|%.2f|-|-\n", figure, value, reference,
                     reference > 0 ? value / reference : 0.0);
    };
    auto median_of = [](const Case &c) { return c.runs[c.runs.size() / 2].delivered_rate; };
    result("NATS publish, delivered msg/s", median_of(cases[0]), median_of(cases[1]));
    result("NATS event_publisher_seek, delivered msg/s", median_of(cases[2]), median_of(cases[1]));

    std::vector<double> daemon_latency = measure_latency(sender, "bench.daemon.in", daemon_probe, samples);
    std::vector<double> plain_latency = measure_latency(sender, "bench.plain.in", plain_probe, samples);
    std::fprintf(results, "%-44s %10s %10s\n", "inbound message to callback", "p50 us", "p99 us");
    std::fprintf(results, "%-44s %10.1f %10.1f\n", "MessagingConnection message callback",
                 percentile(daemon_latency, 0.50), percentile(daemon_latency, 0.99));
    std::fprintf(results, "%-44s %10.1f %10.1f\n", "reference cnats subscription handler",
                 percentile(plain_latency, 0.50), percentile(plain_latency, 0.99));
    result("NATS inbound to callback p50 (us)", percentile(daemon_latency, 0.50), percentile(plain_latency, 0.50));
    result("NATS inbound to callback p99 (us)", percentile(daemon_latency, 0.99), percentile(plain_latency, 0.99));
    std::fflush(results);

    event_publisher_free(publisher);
    messaging_connection_free(connection);
    natsSubscription_Destroy(plain_subscription);
    natsConnection_Destroy(plain);
    natsConnection_Destroy(sender);
    return 0;
}
