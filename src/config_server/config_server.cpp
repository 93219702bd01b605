// Two kinds of thread meet here. The request handlers and civetweb's
// connection callbacks run on civetweb's worker threads: they parse, log and
// wait. The queued work, start, stop and the accessors run on the loop
// thread, which alone touches the DeviceInfo, the Player and the SDK. The
// request deadlines and the listener waker have threads of their own.
#include "config_server/config_server.h"

#include <arpa/inet.h>
#include <civetweb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cinttypes>
#include <condition_variable>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <deque>
#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>

#include "app/device_info.h"
#include "app/guarded.h"
#include "app/log.h"
#include "config_server/cjson_ptr.h"
#include "config_server/connect_request.h"
#include "config_server/listener_waker.h"
#include "config_server/request_deadline.h"
#include "player/loop_handles.h"
#include "player/player.h"

namespace {

// Answers are printed into a buffer of this size; one that does not fit is
// not sent (500 instead).
constexpr size_t response_buffer_size = 2048;
// get-connect-info's buffer has room besides for the longest session id a
// connect takes, printed with every byte escaped ("\u0001" for 0x01), so
// that whatever session a controller started can be read back.
constexpr size_t connect_info_buffer_size = response_buffer_size + 6 * connect_request_max_session_id_size;
// A request's head and body must arrive within this time of a worker
// taking the connection, else it is answered 408: a client that trickles
// holds a worker no longer than this.
constexpr std::chrono::milliseconds request_deadline{3000};
// civetweb's worker threads. The work of every request is done on the loop,
// one at a time; the workers only wait for slow clients, so a few of them
// cannot keep a controller waiting while others are free.
constexpr int worker_count = 16;
// Connections one peer address may have open at once; a connection over
// this is closed by the worker that takes it before a byte of it is read.
// Half the workers: one host can hold at most these for the deadline each.
constexpr int max_connections_per_peer = 8;
static_assert(max_connections_per_peer < worker_count);
// civetweb's own time-out. It bounds each read and write, and a head that is
// still incomplete at a read's return once this time has passed is given up:
// a head is therefore cut within twice this time, which is the deadline.
constexpr std::chrono::milliseconds head_timeout = request_deadline / 2;

// How long the first start waits for a probe connection to come back.
constexpr std::chrono::milliseconds info_offset_probe_timeout{1000};

// How long stop waits for a released worker to send its answer.
constexpr std::chrono::milliseconds worker_release_timeout{2000};

// A request's work on the loop thread: the body of the answer, or nothing
// when the work failed (the answer is then 500).
using LoopWork = std::function<std::optional<std::string>()>;

// One request handed to the loop thread; it lives on the stack of the
// worker that waits for it.
struct WorkItem {
    LoopWork work;
    std::optional<std::string> result;  // guarded by ConfigServer::mutex
    bool done = false;                  // guarded by ConfigServer::mutex
};

// What the server keeps of a connection from the moment a worker takes it
// until civetweb closes it; civetweb's connection data.
struct ConnectionState {
    RequestDeadlines::Entry *deadline = nullptr;
    // The peer address it is counted under, and whether it still counts:
    // from a worker taking it until its request has arrived in full.
    std::string peer;
    bool counted = false;
    // Under the per-peer cap and, when deadlines run, its socket watched:
    // only then is a request on it served.
    bool admitted = false;
    // Taken before the first start's probe had taught where civetweb keeps
    // a connection's peer: checked once its request has arrived instead.
    bool checked_late = false;
};

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
    // While the port cannot be bound: retries the start until it can.
    LoopTimer *bind_retry_timer = nullptr;
    unsigned bind_retries = 0;
    // Open connections per peer address.
    std::mutex peers_mutex;
    std::map<std::string, int> peer_connections;  // guarded by peers_mutex

    // Hand-off between the workers and the loop thread. A worker queues its
    // item, wakes the loop and waits until the item is done or the server
    // stops. Stop empties the queue and forgets the running item, so work
    // that a released worker queued never runs and no result is written
    // into an item whose worker has gone.
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<WorkItem *> queue;  // guarded by mutex
    WorkItem *running = nullptr;   // guarded by mutex
    int waiting_workers = 0;       // guarded by mutex
    bool stopping = false;         // guarded by mutex
    LoopAsync *work_async = nullptr;
};

namespace {

// Prints compactly; nothing for no object, or when the text does not fit
// the answer's buffer, so a cut or unterminated body is never sent.
std::optional<std::string> printed(const CJsonPtr &object, size_t buffer_size = response_buffer_size) {
    std::string buffer(buffer_size, '\0');
    if (!object || !cJSON_PrintPreallocated(object.get(), buffer.data(), static_cast<int>(buffer.size()), false))
        return std::nullopt;
    buffer.resize(std::strlen(buffer.c_str()));
    return buffer;
}

// An object of string members in the order given; null when a value is
// absent or cJSON runs out of memory.
CJsonPtr string_object(std::initializer_list<std::pair<const char *, const char *>> members) {
    CJsonPtr object(cJSON_CreateObject());
    if (!object) return nullptr;
    for (const auto &[key, value] : members) {
        if (!value || !cJSON_AddStringToObject(object.get(), key, value)) return nullptr;
    }
    return object;
}

std::optional<std::string> build_display_info(ConfigServer &server) {
    const uint32_t quality = player_max_audio_quality(server.player);
    const char *name = device_info_name(server.device);
    const int32_t type = device_info_type(server.device);
    const char *manufacturer = device_info_manufacturer(server.device);
    const char *model = device_info_model(server.device);
    const char *serial = device_info_serial_number(server.device);
    return printed(string_object({{"friendly_name", name},
                                  {"serial_number", serial},
                                  {"brand_display_name", manufacturer},
                                  {"model_display_name", model},
                                  {"max_audio_quality", zrv_audio_quality_to_string(quality)},
                                  {"type", zrv_device_type_to_string(type)}}));
}

std::optional<std::string> build_connect_info(ConfigServer &server) {
    const char *app_id = device_info_app_id(server.device);
    const char *session_id = "";
    if (!server.sdk || zrv_connect_get_session_id(server.sdk, &session_id) != ZRV_OK) {
        app_log(LOG_ERROR, "get-connect-info: Unable to retrieve current session ID");
        return std::nullopt;
    }
    return printed(string_object({{"app_id", app_id}, {"current_session_id", session_id ? session_id : ""}}),
                   connect_info_buffer_size);
}

// The request is the worker's, read only until the SDK call: a stop from
// inside that call releases the worker.
std::optional<std::string> run_connect(ConfigServer &server, const ConnectRequestParse &request) {
    if (!server.sdk) return std::nullopt;
    const ZrvError error = zrv_connect_connect(server.sdk, request.session_id, &request.api_token,
                                               &request.zconnect_token, request.become_active);
    if (error != ZRV_OK) {
        app_log(LOG_ERROR, "connect-to-zconnect: Unable to connect: %s", zrv_error_to_string(error));
        return std::nullopt;
    }
    return std::string();
}

// Loop side of the hand-off: runs what the workers queued. Several wake-ups
// before this runs give one run, so it empties the queue.
void run_queued_work(uv_async_t *handle) noexcept {
    auto &server = *static_cast<ConfigServer *>(uv_handle_get_data(reinterpret_cast<uv_handle_t *>(handle)));
    for (;;) {
        WorkItem *item = nullptr;
        LoopWork work;
        {
            std::lock_guard lock(server.mutex);
            if (server.queue.empty()) return;
            item = server.queue.front();
            server.queue.pop_front();
            server.running = item;
            // Taken out of the item, which goes with its worker should a
            // stop release it while the work runs.
            work = std::move(item->work);
        }
        std::optional<std::string> result = guarded("an HTTP request's work", std::optional<std::string>(), work);
        {
            std::lock_guard lock(server.mutex);
            if (server.running != item) continue;
            server.running = nullptr;
            item->result = std::move(result);
            item->done = true;
        }
        server.changed.notify_all();
    }
}

// civetweb dates every answer's head with gmtime, whose result is one
// buffer for the whole process: two workers answering at once would write
// it together. Every head is therefore sent under this lock, civetweb's own
// error pages too (see on_http_error, which runs inside answer_error).
std::recursive_mutex answer_head_mutex;

int answer_error(mg_connection *connection, int status, const char *text) {
    std::lock_guard lock(answer_head_mutex);
    mg_send_http_error(connection, status, "%s", text);
    return status;
}

// Worker side of the hand-off: the body the work made, or nothing after
// answering 500. When the server stops meanwhile, the request is answered
// here, before stop lets civetweb shut down (civetweb writes nothing once its
// stop flag is up).
std::optional<std::string> hand_off(ConfigServer &server, mg_connection *connection, LoopWork work) {
    WorkItem item;
    item.work = std::move(work);
    std::unique_lock lock(server.mutex);
    if (server.stopping) {
        lock.unlock();
        answer_error(connection, 500, "Internal Server Error");
        return std::nullopt;
    }
    server.queue.push_back(&item);
    // Counted until its answer is out: stop waits for that.
    ++server.waiting_workers;
    lock.unlock();
    loop_async_send(server.work_async);
    lock.lock();
    server.changed.wait(lock, [&] { return item.done || server.stopping; });
    if (item.done && item.result) {
        --server.waiting_workers;
        return std::move(item.result);
    }
    lock.unlock();
    answer_error(connection, 500, "Internal Server Error");
    lock.lock();
    --server.waiting_workers;
    lock.unlock();
    server.changed.notify_all();
    return std::nullopt;
}

int answer_json(mg_connection *connection, const std::string &body) {
    {
        std::lock_guard lock(answer_head_mutex);
        mg_send_http_ok(connection, "application/json", static_cast<long long>(body.size()));
    }
    if (!body.empty()) mg_write(connection, body.data(), body.size());
    return 200;
}

// Hands the work over and answers its body; the answer's status.
int answer_from_loop(ConfigServer &server, mg_connection *connection, LoopWork work) {
    const std::optional<std::string> body = hand_off(server, connection, std::move(work));
    return body ? answer_json(connection, *body) : 500;
}

bool method_is(mg_connection *connection, const char *expected, const char *&method) {
    const mg_request_info *info = mg_get_request_info(connection);
    method = info && info->request_method ? info->request_method : "";
    return std::strcmp(method, expected) == 0;
}

bool announces_body(mg_connection *connection) {
    const mg_request_info *info = mg_get_request_info(connection);
    return (info && info->content_length > 0) || mg_get_header(connection, "Transfer-Encoding");
}

// Logs the call and checks what every endpoint refuses; the status of the
// answer sent to a refused request, or nothing. A browser sends Origin with
// every cross-site request (and every POST); controllers send none, and the
// device serves no page of its own, so a request that carries one comes
// from a web page and is refused before anything of it is used. Answers of
// civetweb's error page close the connection, so an announced body is
// never read.
std::optional<int> refusal(mg_connection *connection, const char *name, const char *expected) {
    app_log(LOG_INFO, "API endpoint invoked: %s", name);
    if (const char *origin = mg_get_header(connection, "Origin")) {
        app_log(LOG_ERROR, "%s: Cross-site request refused (Origin '%s')", name, origin);
        return answer_error(connection, 403, "Forbidden");
    }
    const char *method = nullptr;
    if (!method_is(connection, expected, method)) {
        app_log(LOG_ERROR, "%s: Method not allowed: '%s'", name, method);
        return answer_error(connection, 405, "Method Not Allowed");
    }
    if (std::strcmp(expected, "GET") == 0 && announces_body(connection)) {
        app_log(LOG_ERROR, "%s: Request body not allowed on GET", name);
        return answer_error(connection, 400, "Bad Request");
    }
    return std::nullopt;
}

bool stopping(ConfigServer &server) {
    std::lock_guard lock(server.mutex);
    return server.stopping;
}

ConfigServer &server_of(const mg_connection *connection) {
    return *static_cast<ConfigServer *>(mg_get_user_data(mg_get_context(connection)));
}

ConnectionState *state_of(const mg_connection *connection) {
    return static_cast<ConnectionState *>(mg_get_user_connection_data(connection));
}

RequestDeadlines::Entry *deadline_of(const mg_connection *connection) {
    ConnectionState *state = state_of(connection);
    return state ? state->deadline : nullptr;
}

// The key a peer's connections are counted under: its address without an
// interface, an IPv4 peer of a dual-stack socket as plain IPv4.
std::string peer_key(const char *address) {
    std::string key = address ? address : "";
    key = key.substr(0, key.find('%'));
    constexpr std::string_view mapped = "::ffff:";
    if (key.size() > mapped.size() && key.compare(0, mapped.size(), mapped) == 0 && key.find('.') != std::string::npos)
        key.erase(0, mapped.size());
    return key;
}

int answer_request_timeout(mg_connection *connection) {
    const mg_request_info *info = mg_get_request_info(connection);
    app_log(LOG_ERROR, "Request from %s:%d not complete within %lld ms: answered 408 Request Timeout",
            info ? info->remote_addr : "?", info ? info->remote_port : 0,
            static_cast<long long>(request_deadline.count()));
    return answer_error(connection, 408, "Request Timeout");
}

// civetweb fills a connection's request information (the peer's address
// and both ports) before it calls init_connection, but gives it out only
// once the connection is marked as a request, which it is right after that
// call. The information is a member of the connection object, at the same
// offset in each; that offset is learned from every connection civetweb
// gives the information out for, so init_connection can read it before a
// byte of the connection is read. Learning the same offset each time is the
// proof; a different one stops its use.
constexpr std::ptrdiff_t info_offset_unknown = -1;
constexpr std::ptrdiff_t info_offset_unusable = -2;
std::atomic<std::ptrdiff_t> request_info_offset{info_offset_unknown};

void learn_request_info_offset(const mg_connection *connection) {
    const mg_request_info *info = mg_get_request_info(connection);
    if (!info) return;
    std::ptrdiff_t offset = reinterpret_cast<const char *>(info) - reinterpret_cast<const char *>(connection);
    // Outside the object's first page it is no member of it.
    if (offset < 0 || offset > 4096) offset = info_offset_unusable;
    std::ptrdiff_t known = info_offset_unknown;
    if (request_info_offset.compare_exchange_strong(known, offset) || known == offset || known == info_offset_unusable)
        return;
    request_info_offset = info_offset_unusable;
    app_log(LOG_ERROR, "HTTP connections cannot be checked before their request is read: every one is refused");
}

// The request information of a connection that a worker has just taken, or
// null while the offset is not known.
const mg_request_info *early_request_info(const mg_connection *connection) {
    const std::ptrdiff_t offset = request_info_offset;
    if (offset < 0) return nullptr;
    return reinterpret_cast<const mg_request_info *>(reinterpret_cast<const char *>(connection) + offset);
}

// A connection stops counting against its peer's cap once its request has
// arrived in full: from then on the peer has no say in how long it takes.
void uncount(ConfigServer &server, ConnectionState &state) {
    if (!state.counted) return;
    state.counted = false;
    std::lock_guard lock(server.peers_mutex);
    const auto counted = server.peer_connections.find(state.peer);
    if (counted != server.peer_connections.end() && --counted->second <= 0) server.peer_connections.erase(counted);
}

// Counts the connection against its peer's cap, starts its clock and
// watches its socket; admits it when it is under the cap and watched.
void admit(ConfigServer &server, ConnectionState &state, const mg_request_info &info) {
    state.peer = peer_key(info.remote_addr);
    int open = 0;
    {
        std::lock_guard lock(server.peers_mutex);
        open = ++server.peer_connections[state.peer];
    }
    state.counted = true;
    bool watched = true;
    if (server.deadlines) {
        state.deadline = server.deadlines->open(info.remote_addr, static_cast<uint16_t>(info.remote_port),
                                                static_cast<uint16_t>(info.server_port));
        watched = server.deadlines->is_watched(state.deadline);
    }
    if (open > max_connections_per_peer) {
        app_log(LOG_ERROR, "Connection from %s:%d refused: %d connections from that address are open", info.remote_addr,
                info.remote_port, open - 1);
        if (server.deadlines) server.deadlines->refuse(state.deadline);
    } else if (!watched) {
        app_log(LOG_ERROR, "Connection from %s:%d refused: its socket cannot be watched", info.remote_addr,
                info.remote_port);
    } else {
        state.admitted = true;
    }
}

// civetweb's connection callbacks. A worker has taken the connection and
// read nothing of it yet: its clock starts and its socket is watched, and a
// connection over its peer's cap, or one whose socket cannot be found (and
// so could not be cut), is not served.
int on_init_connection(const mg_connection *connection, void **connection_data) noexcept {
    guarded("an HTTP connection's start", [&] {
        ConfigServer &server = server_of(connection);
        auto state = std::make_unique<ConnectionState>();
        const mg_request_info *info = early_request_info(connection);
        if (info) {
            admit(server, *state, *info);
        } else {
            // Only the probe of the first start, and a controller that
            // connects in the same moment, meet this (unless civetweb
            // changed, which was logged).
            state->checked_late = request_info_offset != info_offset_unusable;
        }
        *connection_data = state.release();
    });
    return 0;
}

void on_connection_close(const mg_connection *connection) noexcept {
    guarded("an HTTP connection's end", [&] {
        ConfigServer &server = server_of(connection);
        learn_request_info_offset(connection);
        std::unique_ptr<ConnectionState> state(state_of(connection));
        if (!state) return;
        if (server.deadlines) server.deadlines->close(state->deadline);
        uncount(server, *state);
    });
}

// A head that civetweb gave up on after its time-out ("Malformed message" to
// it), or a request the deadline cut, is answered 408. A request that
// arrived in full keeps its own answer, however long it took.
int on_http_error(mg_connection *connection, int status, const char *message) noexcept {
    return guarded("an HTTP error answer", 1, [&] {
        ConfigServer &server = server_of(connection);
        RequestDeadlines::Entry *entry = deadline_of(connection);
        const bool timed_out = server.deadlines && status != 408 &&
                               ((status == 400 && !server.deadlines->is_received(entry) &&
                                 server.deadlines->elapsed(entry) >= head_timeout) ||
                                server.deadlines->expired(entry));
        if (timed_out) {
            answer_request_timeout(connection);
            return 0;
        }
        // civetweb's own page, sent from here (it does not call this again)
        // so that its head is sent under the lock.
        std::lock_guard lock(answer_head_mutex);
        mg_send_http_error(connection, status, "%s", message ? message : "");
        return 0;
    });
}

// Runs a request handler for civetweb; a handler that throws is answered
// 500. A connection that was not admitted (its refusal was logged when a
// worker took it) is answered 503 and closed, its body unread.
template <class Handler>
int serve(mg_connection *connection, Handler &&handler) noexcept {
    learn_request_info_offset(connection);
    ConnectionState *state = state_of(connection);
    if (state && state->checked_late) {
        state->checked_late = false;
        const mg_request_info *info = mg_get_request_info(connection);
        if (info) guarded("an HTTP connection's check", [&] { admit(server_of(connection), *state, *info); });
    }
    if (!state || !state->admitted) return answer_error(connection, 503, "Service Unavailable");
    std::optional<int> status = guarded("an HTTP request", std::optional<int>(), std::forward<Handler>(handler));
    if (!status) status = answer_error(connection, 500, "Internal Server Error");
    guarded("an HTTP request's end", [&] { uncount(server_of(connection), *state); });
    return *status;
}

// The GET endpoints: their request has arrived in full with its head.
int serve_get(mg_connection *connection, ConfigServer &server, const char *name,
              std::optional<std::string> (*build)(ConfigServer &)) {
    return serve(connection, [&]() -> int {
        // The head is all a GET has; a body it announces is refused unread,
        // so the refusal keeps its own answer however slow the head was.
        if (server.deadlines) server.deadlines->received(deadline_of(connection));
        if (const std::optional<int> refused = refusal(connection, name, "GET")) return *refused;
        uncount(server, *state_of(connection));
        return answer_from_loop(server, connection, [&server, build] { return build(server); });
    });
}

int on_get_display_info(mg_connection *connection, void *user) noexcept {
    return serve_get(connection, *static_cast<ConfigServer *>(user), "get-display-info", build_display_info);
}

int on_get_connect_info(mg_connection *connection, void *user) noexcept {
    return serve_get(connection, *static_cast<ConfigServer *>(user), "get-connect-info", build_connect_info);
}

void log_connect_request(const ConnectRequestParse &request) {
    app_log(LOG_DEBUG, "Session ID: %s", request.session_id);
    app_log(LOG_DEBUG, "JWT API:");
    app_log(LOG_DEBUG, "    Endpoint: %s", request.api_token.endpoint);
    app_log(LOG_DEBUG, "    JWT: %s", log_masked(request.api_token.token).c_str());
    app_log(LOG_DEBUG, "    Exp: %" PRIu64, request.api_token.expiry);
    app_log(LOG_DEBUG, "JWT ZConnect:");
    app_log(LOG_DEBUG, "    Endpoint: %s", request.zconnect_token.endpoint);
    app_log(LOG_DEBUG, "    JWT: %s", log_masked(request.zconnect_token.token).c_str());
    app_log(LOG_DEBUG, "    Exp: %" PRIu64, request.zconnect_token.expiry);
    app_log(LOG_DEBUG, "Become Active: %s", request.become_active ? "true" : "false");
}

int handle_connect(mg_connection *connection, ConfigServer &server) {
    if (const std::optional<int> refused = refusal(connection, "connect-to-zconnect", "POST")) return *refused;
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

    // The body is read under the request's deadline, armed since a worker
    // took the connection.
    RequestDeadlines::Entry *deadline = deadline_of(connection);
    std::string body(static_cast<size_t>(content_length) + 1, '\0');
    size_t received = 0;
    int count = 0;
    while (received < static_cast<size_t>(content_length)) {
        count = mg_read(connection, body.data() + received, static_cast<size_t>(content_length) - received);
        // The watchdog cuts the socket at the deadline; this bounds the
        // body as well should the cut ever miss.
        const bool late = server.deadlines && server.deadlines->elapsed(deadline) >= request_deadline;
        if (count > 0) {
            received += static_cast<size_t>(count);
            if (late && received < static_cast<size_t>(content_length)) {
                count = 0;
                break;
            }
            continue;
        }
        // civetweb's read gives up with nothing (0) after its own time-out,
        // or at once when the server stops; the request may still arrive
        // until its deadline, when the cut socket ends the read (-1).
        if (count < 0 || stopping(server) || !server.deadlines || late) break;
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

    const ConnectRequestParse request = connect_request_parse(body.data(), received);
    if (request.status != ConnectRequestStatus::ok) {
        app_log(LOG_ERROR, "%s", request.error);
        return answer_error(connection, 400, "Bad Request");
    }
    log_connect_request(request);
    uncount(server, *state_of(connection));
    // The loop thread reads the request only while this thread waits for it.
    return answer_from_loop(server, connection, [&server, &request] { return run_connect(server, request); });
}

int on_connect_to_zconnect(mg_connection *connection, void *user) noexcept {
    return serve(connection, [&] { return handle_connect(connection, *static_cast<ConfigServer *>(user)); });
}

// The API: one handler per path under the prefix.
struct Endpoint {
    const char *path;
    mg_request_handler handler;
};

constexpr Endpoint endpoints[] = {
    {"get-display-info", on_get_display_info},
    {"get-connect-info", on_get_connect_info},
    {"connect-to-zconnect", on_connect_to_zconnect},
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
        server.queue.clear();
        server.running = nullptr;
        server.changed.notify_all();
        server.changed.wait_for(lock, worker_release_timeout, [&] { return server.waiting_workers == 0; });
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

// Connects to the server and closes at once, then waits (at most the probe
// time-out) for civetweb to have closed that connection too.
void probe_connection(const ConfigServer &server) {
    const int probe = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (probe < 0) return;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(server.bound_port);
    if (server.listen_address.empty() || inet_pton(AF_INET, server.listen_address.c_str(), &address.sin_addr) != 1)
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool connected = connect(probe, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
    close(probe);
    if (!connected) return;
    const auto until = std::chrono::steady_clock::now() + info_offset_probe_timeout;
    while (request_info_offset == info_offset_unknown && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
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
    const std::string workers = std::to_string(worker_count);
    // Empty cross-origin options: civetweb then adds no Access-Control
    // header to any answer and approves no preflight.
    const char *options[] = {"listening_ports",
                             listening.c_str(),
                             "num_threads",
                             workers.c_str(),
                             "request_timeout_ms",
                             timeout_ms.c_str(),
                             "access_control_allow_origin",
                             "",
                             "access_control_allow_methods",
                             "",
                             "access_control_allow_headers",
                             "",
                             nullptr};
    server.context = mg_start(&callbacks, &server, options);
    if (!server.context) {
        app_log(LOG_ERROR, "Unable to start HTTP server");
        server.deadlines.reset();
        return;
    }
    mg_server_port bound[4] = {};
    const int count = mg_get_server_ports(server.context, 4, bound);
    server.bound_port = count > 0 ? static_cast<uint16_t>(bound[0].port) : server.port;
    // The endpoints first: a controller may connect the moment the port
    // listens, and a request that finds no handler is answered 404.
    for (const Endpoint &endpoint : endpoints) {
        char path[128];
        std::snprintf(path, sizeof path, "%s%s", server.path_prefix.c_str(), endpoint.path);
        mg_set_request_handler(server.context, path, endpoint.handler, &server);
    }
    // A connection made and closed here teaches where civetweb keeps a
    // connection's peer, so that the controllers' are checked before a
    // byte of them is read.
    if (request_info_offset == info_offset_unknown) probe_connection(server);
}

// A port that is taken when the SDK starts the server (another program, or
// this daemon's previous run still closing) is tried again at a modest pace
// until it binds or the SDK stops the server: a device whose port was busy
// for a moment must not stay unreachable. The first failure is logged as
// ever; the retries probe the port with a socket of their own and start the
// server only once it is free, so a long wait adds no line.
constexpr uint64_t bind_retry_interval_ms = 2000;

// True when a listening socket could take the port now, on the address the
// server would listen on; civetweb sets SO_REUSEADDR, so the probe does too.
bool port_is_free(const ConfigServer &server) {
    sockaddr_storage address{};
    socklen_t length = 0;
    int family = AF_INET;
    if (server.listen_address.empty() && config_server_ipv6_available()) {
        family = AF_INET6;
        auto &any6 = reinterpret_cast<sockaddr_in6 &>(address);
        any6.sin6_family = AF_INET6;
        any6.sin6_port = htons(server.port);
        any6.sin6_addr = in6addr_any;
        length = sizeof any6;
    } else {
        auto &v4 = reinterpret_cast<sockaddr_in &>(address);
        auto &v6 = reinterpret_cast<sockaddr_in6 &>(address);
        const char *text = server.listen_address.empty() ? "0.0.0.0" : server.listen_address.c_str();
        if (inet_pton(AF_INET, text, &v4.sin_addr) == 1) {
            v4.sin_family = AF_INET;
            v4.sin_port = htons(server.port);
            length = sizeof v4;
        } else if (inet_pton(AF_INET6, text, &v6.sin6_addr) == 1) {
            family = AF_INET6;
            v6.sin6_family = AF_INET6;
            v6.sin6_port = htons(server.port);
            length = sizeof v6;
        } else {
            return true;  // not an address the probe can take: let civetweb try
        }
    }
    const int probe = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (probe < 0) return true;
    const int on = 1;
    const int off = 0;
    setsockopt(probe, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (family == AF_INET6 && server.listen_address.empty())
        setsockopt(probe, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
    const bool bindable = bind(probe, reinterpret_cast<sockaddr *>(&address), length) == 0 && listen(probe, 1) == 0;
    close(probe);
    return bindable;
}

void stop_bind_retry(ConfigServer &server) {
    if (server.bind_retry_timer) loop_timer_stop(server.bind_retry_timer);
    server.bind_retries = 0;
}

void on_bind_retry(uv_timer_t *handle) noexcept {
    auto &server = *static_cast<ConfigServer *>(uv_handle_get_data(reinterpret_cast<uv_handle_t *>(handle)));
    guarded("the configuration server's start", [&] {
        ++server.bind_retries;
        if (server.context || !port_is_free(server)) return;
        start_server(server);
        if (!server.context) return;
        app_log(LOG_INFO, "Local configuration server listening on port %u after %u %s",
                static_cast<unsigned>(config_server_port(&server)), server.bind_retries,
                server.bind_retries == 1 ? "retry" : "retries");
        stop_bind_retry(server);
    });
}

void start_with_bind_retry(ConfigServer &server) {
    start_server(server);
    if (server.context) {
        stop_bind_retry(server);
        return;
    }
    if (!server.bind_retry_timer) server.bind_retry_timer = loop_timer_new(server.loop, &server);
    if (server.bind_retry_timer && !loop_timer_is_active(server.bind_retry_timer)) {
        server.bind_retries = 0;
        loop_timer_start(server.bind_retry_timer, on_bind_retry, bind_retry_interval_ms, bind_retry_interval_ms);
    }
}

}  // namespace

ConfigServer *config_server_new(uv_loop_t *loop, uint16_t port, DeviceInfo *device, Player *player) {
    auto server = std::make_unique<ConfigServer>();
    server->loop = loop;
    server->port = port;
    server->device = device;
    server->player = player;
    server->work_async = loop_async_new(loop, run_queued_work, server.get());
    if (!server->work_async) return nullptr;
    mg_init_library(0);
    return server.release();
}

void config_server_free(ConfigServer *server) {
    if (!server) return;
    stop_bind_retry(*server);
    loop_timer_close(server->bind_retry_timer);
    stop_server(*server);
    mg_exit_library();
    loop_async_close(server->work_async);
    delete server;
}

void config_server_set_sdk(ConfigServer *server, ZrvConnect *sdk) { server->sdk = sdk; }

ConfigServerDelegate config_server_delegate(ConfigServer *server) {
    return ConfigServerDelegate{server, config_server_start, config_server_stop};
}

void config_server_start(ZrvConnect * /*sdk*/, void *user) noexcept {
    guarded("the configuration server's start", [&] { start_with_bind_retry(*static_cast<ConfigServer *>(user)); });
}

void config_server_stop(ZrvConnect * /*sdk*/, void *user) noexcept {
    guarded("the configuration server's stop", [&] {
        stop_bind_retry(*static_cast<ConfigServer *>(user));
        stop_server(*static_cast<ConfigServer *>(user));
    });
}

void config_server_set_listen_address(ConfigServer *server, const char *address) {
    server->listen_address = address ? address : "";
}

uint16_t config_server_port(const ConfigServer *server) {
    return server->port == 0 && server->context ? server->bound_port : server->port;
}

const char *config_server_path_prefix(const ConfigServer *server) { return server->path_prefix.c_str(); }

bool config_server_is_running(const ConfigServer *server) { return server->context != nullptr; }

bool config_server_is_waiting_for_port(const ConfigServer *server) {
    return server->bind_retry_timer && loop_timer_is_active(server->bind_retry_timer);
}

bool config_server_ipv6_available() {
    if (mg_check_feature(8) != 8) return false;
    const int probe = socket(AF_INET6, SOCK_STREAM, 0);
    if (probe < 0) return false;
    close(probe);
    return true;
}
