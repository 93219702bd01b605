// Requests per second and p99 latency of "get-display-info" under wrk, with
// 1 and 16 connections: the ConfigServer (request handed to the loop thread
// and back) beside a minimal civetweb server that answers the same bytes
// and writes the same two log lines from its worker, without the hand-off.
//   config_server_bench [seconds per run]
// The loop runs on the main thread; wrk runs as a child process.
#include <civetweb.h>
#include <fcntl.h>
#include <unistd.h>
#include <uv.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "app/device_info.h"
#include "app/log.h"
#include "config_server/config_server.h"
#include "player/player.h"

namespace {

struct WrkResult {
    double requests_per_second = 0;
    std::string p99 = "?";
    long long errors = 0;
};

WrkResult run_wrk(uint16_t port, int connections, int seconds) {
    const std::string command = "wrk -t1 -c" + std::to_string(connections) + " -d" + std::to_string(seconds) +
                                "s --latency http://127.0.0.1:" + std::to_string(port) + "/get-display-info 2>&1";
    WrkResult result;
    FILE *pipe = popen(command.c_str(), "r");
    if (!pipe) return result;
    char line[512];
    while (std::fgets(line, sizeof line, pipe)) {
        double value = 0;
        char unit[32] = {};
        long long count = 0;
        if (std::sscanf(line, " Requests/sec: %lf", &value) == 1) result.requests_per_second = value;
        if (std::sscanf(line, " 99%% %31s", unit) == 1) result.p99 = unit;
        if (std::sscanf(line, " Non-2xx or 3xx responses: %lld", &count) == 1) result.errors += count;
        if (std::strstr(line, "Socket errors")) {
            long long connect = 0, read = 0, write = 0, timeout = 0;
            if (std::sscanf(line, " Socket errors: connect %lld, read %lld, write %lld, timeout %lld", &connect, &read,
                            &write, &timeout) == 4) {
                result.errors += connect + write + timeout;
            }
        }
    }
    pclose(pipe);
    return result;
}

// Runs work on a thread while the loop runs here.
template <typename Work>
void with_loop_running(uv_loop_t *loop, Work work) {
    uv_async_t finished;
    std::atomic<bool> done{false};
    uv_async_init(loop, &finished, [](uv_async_t *) {});
    std::thread thread([&] {
        work();
        done = true;
        uv_async_send(&finished);
    });
    while (!done) uv_run(loop, UV_RUN_ONCE);
    thread.join();
    uv_close(reinterpret_cast<uv_handle_t *>(&finished), nullptr);
    uv_run(loop, UV_RUN_NOWAIT);
}

struct Reference {
    std::string body;
    std::string name;
};

int reference_handler(mg_connection *connection, void *user) {
    const auto *reference = static_cast<const Reference *>(user);
    app_log(LOG_INFO, "API endpoint invoked: get-display-info");
    app_log(LOG_INFO, "Device name requested: %s", reference->name.c_str());
    mg_send_http_ok(connection, "application/json", static_cast<long long>(reference->body.size()));
    mg_write(connection, reference->body.data(), reference->body.size());
    return 200;
}

}  // namespace

int main(int argc, char **argv) {
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 5;
    // The log lines are part of each request's cost, but not of the report.
    std::fflush(stdout);
    const int report = dup(STDOUT_FILENO);
    const int null_fd = open("/dev/null", O_WRONLY);
    dup2(null_fd, STDOUT_FILENO);
    close(null_fd);
    FILE *out = fdopen(report, "w");

    uv_loop_t *loop = uv_default_loop();
    DeviceInfo *device = device_info_new("Living Room", 1, "Jux", "J-1", "SN-42", "app-7", "secret");
    Player *player = player_new(loop, nullptr, nullptr, nullptr);
    ConfigServer *server = config_server_new(loop, 0, device, player);
    config_server_set_listen_address(server, "127.0.0.1");
    config_server_start(nullptr, server);
    if (!config_server_is_running(server)) {
        std::fprintf(stderr, "config_server_bench: the ConfigServer did not start\n");
        return 1;
    }
    const uint16_t port = config_server_port(server);

    // The reference answers exactly what the ConfigServer answers.
    Reference reference;
    reference.name = "Living Room";
    with_loop_running(loop, [&] {
        const std::string probe = "curl -s http://127.0.0.1:" + std::to_string(port) + "/get-display-info";
        FILE *pipe = popen(probe.c_str(), "r");
        char buffer[4096];
        size_t n = pipe ? std::fread(buffer, 1, sizeof buffer, pipe) : 0;
        if (pipe) pclose(pipe);
        reference.body.assign(buffer, n);
    });
    if (reference.body.empty()) {
        std::fprintf(stderr, "config_server_bench: no display-info answer\n");
        return 1;
    }
    mg_callbacks callbacks{};
    const char *options[] = {"listening_ports",    "127.0.0.1:0", "num_threads", "1",
                             "request_timeout_ms", "3000",        nullptr};
    mg_context *plain = mg_start(&callbacks, nullptr, options);
    if (!plain) {
        std::fprintf(stderr, "config_server_bench: the reference server did not start\n");
        return 1;
    }
    mg_set_request_handler(plain, "/get-display-info", reference_handler, &reference);
    mg_server_port ports[2] = {};
    mg_get_server_ports(plain, 2, ports);
    const uint16_t plain_port = static_cast<uint16_t>(ports[0].port);

    std::fprintf(out, "get-display-info, wrk -t1, %d s per run, one request per connection (no keep-alive)\n", seconds);
    std::fprintf(out, "%-34s %12s %10s %8s\n", "server", "requests/s", "p99", "errors");
    for (const int connections : {1, 16}) {
        WrkResult ours, theirs;
        with_loop_running(loop, [&] {
            theirs = run_wrk(plain_port, connections, seconds);
            ours = run_wrk(port, connections, seconds);
        });
        char label[64];
        std::snprintf(label, sizeof label, "civetweb alone, %d conn", connections);
        std::fprintf(out, "%-34s %12.0f %10s %8lld\n", label, theirs.requests_per_second, theirs.p99.c_str(),
                     theirs.errors);
        std::snprintf(label, sizeof label, "ConfigServer (loop hand-off), %d", connections);
        std::fprintf(out, "%-34s %12.0f %10s %8lld\n", label, ours.requests_per_second, ours.p99.c_str(), ours.errors);
        // Machine-readable lines for bench/run-all: figure|value|reference|ratio|target|met.
        std::fprintf(out, "RESULT HTTP get-display-info req/s, %d conn|%.0f|%.0f|%.2f|-|-\n", connections,
                     ours.requests_per_second, theirs.requests_per_second,
                     theirs.requests_per_second > 0 ? ours.requests_per_second / theirs.requests_per_second : 0.0);
        std::fprintf(out, "RESULT HTTP get-display-info p99, %d conn|%s|%s|-|-|-\n", connections, ours.p99.c_str(),
                     theirs.p99.c_str());
        std::fflush(out);
    }

    mg_stop(plain);
    config_server_free(server);
    player_free(player);
    device_info_free(device);
    uv_run(loop, UV_RUN_DEFAULT);
    uv_loop_close(loop);
    std::fclose(out);
    return 0;
}
