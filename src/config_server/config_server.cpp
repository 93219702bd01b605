// Two threads meet here. The request handlers and civetweb's connection
// callbacks run on civetweb's one worker thread: they parse, log and wait.
// The async callbacks, start, stop and the accessors run on the loop thread,
// which alone touches the DeviceInfo, the Player and the SDK. The request
// deadlines have a watchdog thread of their own.
#include "config_server/config_server.h"

#include <arpa/inet.h>
#include <civetweb.h>
#include <cjson/cJSON.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cinttypes>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "app/device_info.h"
#include "app/log.h"
#include "config_server/connect_request.h"
#include "config_server/request_deadline.h"
#include "player/loop_handles.h"
#include "player/player.h"

namespace {

constexpr size_t response_buffer_size = 2048;
// A request's head and body must arrive within this time of the worker
// taking the connection, else it is answered 408: a client that trickles
// holds the one worker no longer than this.
constexpr std::chrono::milliseconds request_deadline{3000};
// civetweb's own time-out. It bounds each read and write, and a head that is
// still incomplete at a read's return once this time has passed is given up:
// a head is therefore cut within twice this time, which is the deadline.
constexpr std::chrono::milliseconds head_timeout = request_deadline / 2;

// How long stop waits for a released worker to send its answer.
constexpr std::chrono::milliseconds worker_release_timeout{2000};

enum class Endpoint { none, display_info, connect_info, connect };

}  // namespace

struct ConfigServer {
    uv_loop_t *loop = nullptr;
    uint16_t port = 0;
    DeviceInfo *device = nullptr;
    Player *player = nullptr;
    std::string path_prefix = "/";
    std::string listen_address;
    ZrvConnect *sdk = nullptr;
    mg_context *context = nullptr;
    uint16_t bound_port = 0;
    // Exists while the server runs; null when its thread could not start.
    std::unique_ptr<RequestDeadlines> deadlines;

    // Hand-off between the worker and the loop thread. The worker sets
    // pending and waits; the loop thread does the work only while pending
    // names its endpoint, so a callback that runs after stop released the
    // worker finds nothing to do and never reads the worker's freed request.
    std::mutex mutex;
    std::condition_variable done_changed;
    Endpoint pending = Endpoint::none;  // guarded by mutex
    bool done = false;                  // guarded by mutex
    bool success = false;               // guarded by mutex
    bool stopping = false;              // guarded by mutex
    bool worker_waiting = false;        // guarded by mutex

    LoopAsync *display_info_async = nullptr;
    char display_info[response_buffer_size] = {};
    uint64_t display_info_length = 0;
    LoopAsync *connect_info_async = nullptr;
    char connect_info[response_buffer_size] = {};
    uint64_t connect_info_length = 0;
    LoopAsync *connect_async = nullptr;

    // The request being handed over; its strings point into the document
    // that the worker keeps until the loop thread has finished.
    const char *session_id = nullptr;
    SessionToken api_token{};
    SessionToken zconnect_token{};
    bool become_active = false;
};

namespace {

struct JsonDeleter {
    void operator()(cJSON *json) const noexcept { cJSON_Delete(json); }
};
using Json = std::unique_ptr<cJSON, JsonDeleter>;

// Prints compactly into the buffer; false when the text does not fit, so a
// cut or unterminated body is never sent.
bool print_into(cJSON *object, char (&buffer)[response_buffer_size], uint64_t &length) {
    if (!cJSON_PrintPreallocated(object, buffer, static_cast<int>(response_buffer_size), false)) {
        buffer[0] = '\0';
        length = 0;
        return false;
    }
    length = std::strlen(buffer);
    return true;
}

bool add_strings(cJSON *object, std::initializer_list<std::pair<const char *, const char *>> members) {
    for (const auto &[key, value] : members) {
        if (!value || !cJSON_AddStringToObject(object, key, value)) return false;
    }
    return true;
}

bool build_display_info(ConfigServer &server) {
    const uint32_t quality = player_max_audio_quality(server.player);
    const char *name = device_info_name(server.device);
    const int32_t type = device_info_type(server.device);
    const char *manufacturer = device_info_manufacturer(server.device);
    const char *model = device_info_model(server.device);
    const char *serial = device_info_serial_number(server.device);
    Json object(cJSON_CreateObject());
    if (!object) return false;
    if (!add_strings(object.get(), {{"friendly_name", name},
                                    {"serial_number", serial},
                                    {"brand_display_name", manufacturer},
                                    {"model_display_name", model},
                                    {"max_audio_quality", zrv_audio_quality_to_string(quality)},
                                    {"type", zrv_device_type_to_string(type)}})) {
        return false;
    }
    return print_into(object.get(), server.display_info, server.display_info_length);
}

bool build_connect_info(ConfigServer &server) {
    const char *app_id = device_info_app_id(server.device);
    const char *session_id = "";
    if (!server.sdk || zrv_connect_get_session_id(server.sdk, &session_id) != ZRV_OK) {
        app_log(LOG_ERROR, "get-connect-info: Unable to retrieve current session ID");
        return false;
    }
    Json object(cJSON_CreateObject());
    if (!object) return false;
    if (!add_strings(object.get(), {{"app_id", app_id}, {"current_session_id", session_id ? session_id : ""}})) {
        return false;
    }
    return print_into(object.get(), server.connect_info, server.connect_info_length);
}

bool run_connect(ConfigServer &server) {
    if (!server.sdk) return false;
    const ZrvError error = zrv_connect_connect(server.sdk, server.session_id, &server.api_token, &server.zconnect_token,
                                               server.become_active);
    if (error != ZRV_OK) {
        app_log(LOG_ERROR, "connect-to-zconnect: Unable to connect: %s", zrv_error_to_string(error));
        return false;
    }
    return true;
}

// Loop side of the hand-off.
void finish_on_loop(uv_async_t *handle, Endpoint endpoint, bool (*work)(ConfigServer &)) noexcept {
    auto *server = static_cast<ConfigServer *>(uv_handle_get_data(reinterpret_cast<uv_handle_t *>(handle)));
    {
        std::lock_guard lock(server->mutex);
        if (server->pending != endpoint || server->done) return;
    }
    bool ok = false;
    try {
        ok = work(*server);
    } catch (...) {
        ok = false;
    }
    {
        std::lock_guard lock(server->mutex);
        server->success = ok;
        server->done = true;
    }
    server->done_changed.notify_all();
}

void on_display_info_async(uv_async_t *handle) noexcept {
    finish_on_loop(handle, Endpoint::display_info, build_display_info);
}
void on_connect_info_async(uv_async_t *handle) noexcept {
    finish_on_loop(handle, Endpoint::connect_info, build_connect_info);
}
void on_connect_async(uv_async_t *handle) noexcept { finish_on_loop(handle, Endpoint::connect, run_connect); }

int answer_error(mg_connection *connection, int status, const char *text) {
    mg_send_http_error(connection, status, "%s", text);
    return status;
}

enum class HandOff { done, failed, stopped };

// Worker side of the hand-off. When the server stops meanwhile, the request
// is answered 500 here, before stop lets civetweb shut down (civetweb writes
// nothing once its stop flag is up).
HandOff hand_off(ConfigServer &server, Endpoint endpoint, LoopAsync *async, mg_connection *connection) {
    // Without its async handle nothing would ever wake the loop for this.
    if (!async) return HandOff::failed;
    std::unique_lock lock(server.mutex);
    if (!server.stopping) {
        server.pending = endpoint;
        server.done = false;
        server.success = false;
        server.worker_waiting = true;
        lock.unlock();
        loop_async_send(async);
        lock.lock();
        server.done_changed.wait(lock, [&] { return server.done || server.stopping; });
    }
    const bool finished = server.done;
    const bool ok = finished && server.success;
    server.done = false;
    server.pending = Endpoint::none;
    if (finished) {
        server.worker_waiting = false;
        return ok ? HandOff::done : HandOff::failed;
    }
    lock.unlock();
    answer_error(connection, 500, "Internal Server Error");
    lock.lock();
    server.worker_waiting = false;
    lock.unlock();
    server.done_changed.notify_all();
    return HandOff::stopped;
}

// The answer after a hand-off: true when the caller answers the success.
bool handed_off(ConfigServer &server, Endpoint endpoint, LoopAsync *async, mg_connection *connection, int &status) {
    switch (hand_off(server, endpoint, async, connection)) {
        case HandOff::done:
            return true;
        case HandOff::failed:
            status = answer_error(connection, 500, "Internal Server Error");
            return false;
        case HandOff::stopped:
            status = 500;
            return false;
    }
    return false;
}

int answer_json(mg_connection *connection, const char *body, uint64_t length) {
    mg_send_http_ok(connection, "application/json", static_cast<long long>(length));
    if (length > 0) mg_write(connection, body, length);
    return 200;
}

bool method_is(mg_connection *connection, const char *expected, const char *&method) {
    const mg_request_info *info = mg_get_request_info(connection);
    method = info && info->request_method ? info->request_method : "";
    return std::strcmp(method, expected) == 0;
}

bool stopping(ConfigServer &server) {
    std::lock_guard lock(server.mutex);
    return server.stopping;
}

ConfigServer &server_of(const mg_connection *connection) {
    return *static_cast<ConfigServer *>(mg_get_user_data(mg_get_context(connection)));
}

RequestDeadlines::Entry *deadline_of(const mg_connection *connection) {
    return static_cast<RequestDeadlines::Entry *>(mg_get_user_connection_data(connection));
}

int answer_request_timeout(mg_connection *connection) {
    const mg_request_info *info = mg_get_request_info(connection);
    app_log(LOG_ERROR, "Request from %s:%d not complete within %lld ms: answered 408 Request Timeout",
            info ? info->remote_addr : "?", info ? info->remote_port : 0,
            static_cast<long long>(request_deadline.count()));
    return answer_error(connection, 408, "Request Timeout");
}

// civetweb's connection callbacks: a connection's clock starts when the
// worker takes it.
int on_init_connection(const mg_connection *connection, void **connection_data) noexcept {
    ConfigServer &server = server_of(connection);
    if (server.deadlines) *connection_data = server.deadlines->open();
    return 0;
}

void on_connection_close(const mg_connection *connection) noexcept {
    ConfigServer &server = server_of(connection);
    if (server.deadlines) server.deadlines->close(deadline_of(connection));
}

// A head that civetweb gave up on after its time-out ("Malformed message" to
// it), or a request the deadline cut, is answered 408. A request that
// arrived in full keeps its own answer, however long it took.
int on_http_error(mg_connection *connection, int status, const char * /*message*/) noexcept {
    ConfigServer &server = server_of(connection);
    if (!server.deadlines || status == 408) return 1;
    RequestDeadlines::Entry *entry = deadline_of(connection);
    const bool head_timed_out = status == 400 && !server.deadlines->is_received(entry) &&
                                server.deadlines->elapsed(entry) >= head_timeout;
    if (!head_timed_out && !server.deadlines->expired(entry)) return 1;
    answer_request_timeout(connection);
    return 0;
}

int handle_get(mg_connection *connection, ConfigServer &server, const char *name, Endpoint endpoint, LoopAsync *async,
               const char *body, const uint64_t &length) {
    app_log(LOG_INFO, "API endpoint invoked: %s", name);
    const char *method = nullptr;
    if (!method_is(connection, "GET", method)) {
        app_log(LOG_ERROR, "%s: Method not allowed: '%s'", name, method);
        return answer_error(connection, 405, "Method Not Allowed");
    }
    int status = 0;
    if (!handed_off(server, endpoint, async, connection, status)) return status;
    return answer_json(connection, body, length);
}

int on_get_display_info(mg_connection *connection, void *user) noexcept {
    auto &server = *static_cast<ConfigServer *>(user);
    return handle_get(connection, server, "get-display-info", Endpoint::display_info, server.display_info_async,
                      server.display_info, server.display_info_length);
}

int on_get_connect_info(mg_connection *connection, void *user) noexcept {
    auto &server = *static_cast<ConfigServer *>(user);
    return handle_get(connection, server, "get-connect-info", Endpoint::connect_info, server.connect_info_async,
                      server.connect_info, server.connect_info_length);
}

void log_connect_request(const ConnectRequestParse &request) {
    app_log(LOG_DEBUG, "Session ID: %s", request.session_id);
    app_log(LOG_DEBUG, "JWT API:");
    app_log(LOG_DEBUG, "    Endpoint: %s", request.api_token.endpoint);
    app_log(LOG_DEBUG, "    JWT: %s", request.api_token.token);
    app_log(LOG_DEBUG, "    Exp: %" PRIu64, request.api_token.expiry);
    app_log(LOG_DEBUG, "JWT ZConnect:");
    app_log(LOG_DEBUG, "    Endpoint: %s", request.zconnect_token.endpoint);
    app_log(LOG_DEBUG, "    JWT: %s", request.zconnect_token.token);
    app_log(LOG_DEBUG, "    Exp: %" PRIu64, request.zconnect_token.expiry);
    app_log(LOG_DEBUG, "Become Active: %s", request.become_active ? "true" : "false");
}

int handle_connect(mg_connection *connection, ConfigServer &server) {
    app_log(LOG_INFO, "API endpoint invoked: connect-to-zconnect");
    const char *method = nullptr;
    if (!method_is(connection, "POST", method)) {
        app_log(LOG_ERROR, "connect-to-zconnect: Method not allowed: '%s'", method);
        return answer_error(connection, 405, "Method Not Allowed");
    }
    const long long content_length = mg_get_request_info(connection)->content_length;
    if (content_length < 0) {
        app_log(LOG_ERROR, "connect-to-zconnect: Missing content length");
        return answer_error(connection, 411, "Length Required");
    }
    // Refused before a byte of it is read, so no client can make the worker
    // allocate more than this.
    if (content_length > config_server_max_body_size) {
        app_log(LOG_ERROR, "connect-to-zconnect: Request body too large: %lld bytes (at most %lld)", content_length,
                config_server_max_body_size);
        return answer_error(connection, 413, "Payload Too Large");
    }

    // The body is read under the request's deadline: its socket is watched
    // until the body is in.
    RequestDeadlines::Entry *deadline = deadline_of(connection);
    if (server.deadlines) {
        const mg_request_info *info = mg_get_request_info(connection);
        server.deadlines->watch(deadline, info->remote_addr, static_cast<uint16_t>(info->remote_port),
                                static_cast<uint16_t>(info->server_port));
    }
    std::string body(static_cast<size_t>(content_length) + 1, '\0');
    size_t received = 0;
    int count = 0;
    while (received < static_cast<size_t>(content_length)) {
        count = mg_read(connection, body.data() + received, static_cast<size_t>(content_length) - received);
        if (count > 0) {
            received += static_cast<size_t>(count);
            continue;
        }
        // civetweb's read gives up with nothing (0) after its own time-out,
        // or at once when the server stops; the request may still arrive
        // until its deadline, when the cut socket ends the read (-1).
        if (count < 0 || stopping(server) || !server.deadlines ||
            server.deadlines->elapsed(deadline) >= request_deadline)
            break;
    }
    if (server.deadlines) server.deadlines->received(deadline);
    // A body still incomplete at the deadline, or after civetweb's time-out
    // without one, did not arrive in time; the end of the stream before it
    // (the client gave up) is an error.
    if (received < static_cast<size_t>(content_length) &&
        (count == 0 || (server.deadlines && server.deadlines->expired(deadline))))
        return answer_request_timeout(connection);
    if (count < 0) {
        app_log(LOG_ERROR, "connect-to-zconnect: Failed to read data");
        return 500;
    }
    body[received] = '\0';

    ConnectRequestParse request = connect_request_parse(body.data(), received);
    if (request.status != ConnectRequestStatus::ok) {
        app_log(LOG_ERROR, "%s", request.error);
        return answer_error(connection, 400, "Bad Request");
    }
    log_connect_request(request);

    // The loop thread reads these only while this thread waits below.
    server.session_id = request.session_id;
    server.api_token = request.api_token;
    server.zconnect_token = request.zconnect_token;
    server.become_active = request.become_active;
    int status = 0;
    const bool ok = handed_off(server, Endpoint::connect, server.connect_async, connection, status);
    server.session_id = nullptr;
    server.api_token = {};
    server.zconnect_token = {};
    request.document.reset();
    if (!ok) return status;
    return answer_json(connection, "", 0);
}

int on_connect_to_zconnect(mg_connection *connection, void *user) noexcept {
    try {
        return handle_connect(connection, *static_cast<ConfigServer *>(user));
    } catch (...) {
        return answer_error(connection, 500, "Internal Server Error");
    }
}

// civetweb's master thread notices its stop flag only when its poll of the
// listening socket returns, which can take two seconds; stop runs on the loop
// thread, so it connects to the server's own port until mg_stop is done.
class ListenerWaker {
  public:
    explicit ListenerWaker(uint16_t port) : port_(port), thread_([this] { run(); }) {}
    ~ListenerWaker() {
        stopped_ = true;
        thread_.join();
    }
    ListenerWaker(const ListenerWaker &) = delete;
    ListenerWaker &operator=(const ListenerWaker &) = delete;

  private:
    void run() noexcept {
        while (!stopped_) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            if (fd < 0) continue;
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_port = htons(port_);
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
            close(fd);
        }
    }
    uint16_t port_;
    std::atomic<bool> stopped_{false};
    std::thread thread_;
};

void stop_server(ConfigServer &server) {
    if (!server.context) {
        app_log(LOG_TRACE, "Local configuration server is already stopped");
        return;
    }
    app_log(LOG_INFO, "Stopping Local configuration server");
    // mg_stop waits for the worker; a worker waiting for this very thread is
    // released first and answers 500 on its own.
    {
        std::unique_lock lock(server.mutex);
        server.stopping = true;
        server.pending = Endpoint::none;
        server.done_changed.notify_all();
        server.done_changed.wait_for(lock, worker_release_timeout, [&] { return !server.worker_waiting; });
    }
    {
        ListenerWaker waker(server.bound_port);
        mg_stop(server.context);
    }
    server.context = nullptr;
    server.bound_port = 0;
    server.deadlines.reset();
    std::lock_guard lock(server.mutex);
    server.stopping = false;
}

void start_server(ConfigServer &server) {
    if (server.context) {
        app_log(LOG_TRACE, "Local configuration server is already running");
        return;
    }
    app_log(LOG_INFO, "Starting Local configuration server");
    mg_callbacks callbacks{};
    callbacks.log_message = civetweb_log_hook;
    callbacks.init_connection = on_init_connection;
    callbacks.connection_close = on_connection_close;
    callbacks.http_error = on_http_error;
    server.deadlines = std::make_unique<RequestDeadlines>(request_deadline);
    if (!server.deadlines->start()) {
        app_log(LOG_ERROR, "Unable to start the HTTP request deadline thread: requests have no deadline");
        server.deadlines.reset();
    }

    char ports[16];
    const bool ipv6 = config_server_ipv6_available();
    std::snprintf(ports, sizeof ports, ipv6 ? "+%u" : "%u", static_cast<unsigned>(server.port));
    const std::string listening =
        server.listen_address.empty() ? std::string(ports) : server.listen_address + ":" + std::to_string(server.port);
    const std::string timeout_ms = std::to_string(head_timeout.count());
    const char *options[] = {"listening_ports",    listening.c_str(), "num_threads", "1",
                             "request_timeout_ms", timeout_ms.c_str(), nullptr};
    server.context = mg_start(&callbacks, &server, options);
    if (!server.context) {
        app_log(LOG_ERROR, "Unable to start HTTP server");
        server.deadlines.reset();
        return;
    }
    mg_server_port bound[4] = {};
    const int count = mg_get_server_ports(server.context, 4, bound);
    server.bound_port = count > 0 ? static_cast<uint16_t>(bound[0].port) : server.port;

    char path[128];
    std::snprintf(path, sizeof path, "%sget-display-info", server.path_prefix.c_str());
    mg_set_request_handler(server.context, path, on_get_display_info, &server);
    std::snprintf(path, sizeof path, "%sget-connect-info", server.path_prefix.c_str());
    mg_set_request_handler(server.context, path, on_get_connect_info, &server);
    std::snprintf(path, sizeof path, "%sconnect-to-zconnect", server.path_prefix.c_str());
    mg_set_request_handler(server.context, path, on_connect_to_zconnect, &server);
}

}  // namespace

ConfigServer *config_server_new(uv_loop_t *loop, uint16_t port, DeviceInfo *device, Player *player) {
    auto server = std::make_unique<ConfigServer>();
    server->loop = loop;
    server->port = port;
    server->device = device;
    server->player = player;
    mg_init_library(0);
    server->display_info_async = loop_async_new(loop, on_display_info_async, server.get());
    server->connect_info_async = loop_async_new(loop, on_connect_info_async, server.get());
    server->connect_async = loop_async_new(loop, on_connect_async, server.get());
    return server.release();
}

void config_server_free(ConfigServer *server) {
    if (!server) return;
    stop_server(*server);
    mg_exit_library();
    loop_async_close(server->display_info_async);
    loop_async_close(server->connect_info_async);
    loop_async_close(server->connect_async);
    delete server;
}

void config_server_set_sdk(ConfigServer *server, ZrvConnect *sdk) { server->sdk = sdk; }

ConfigServerDelegate config_server_delegate(ConfigServer *server) {
    return ConfigServerDelegate{server, config_server_start, config_server_stop};
}

void config_server_start(ZrvConnect * /*sdk*/, void *user) { start_server(*static_cast<ConfigServer *>(user)); }

void config_server_stop(ZrvConnect * /*sdk*/, void *user) { stop_server(*static_cast<ConfigServer *>(user)); }

void config_server_set_listen_address(ConfigServer *server, const char *address) {
    server->listen_address = address ? address : "";
}

uint16_t config_server_port(const ConfigServer *server) {
    return server->port == 0 && server->context ? server->bound_port : server->port;
}

const char *config_server_path_prefix(const ConfigServer *server) { return server->path_prefix.c_str(); }

bool config_server_is_running(const ConfigServer *server) { return server->context != nullptr; }

bool config_server_ipv6_available() {
    if (mg_check_feature(8) != 8) return false;
    const int probe = socket(AF_INET6, SOCK_STREAM, 0);
    if (probe < 0) return false;
    close(probe);
    return true;
}
