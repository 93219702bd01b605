// The RabbitMQ backend. Its own connection thread does everything with the
// AMQP connection: connecting, reconnecting, sending the outbound queue and
// taking inbound messages. The loop thread only creates and frees the
// backend, appends to the outbound queue (waking the thread) and reads the
// state; it touches the AMQP connection only after the thread has been joined.
#include <amqp.h>
#include <amqp_ssl_socket.h>
#include <amqp_tcp_socket.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <new>
#include <string>
#include <system_error>
#include <thread>

#include "app/guarded.h"
#include "app/log.h"
#include "messaging/messaging_backend.h"

namespace {

using namespace std::chrono_literals;

constexpr amqp_channel_t channel = 1;
constexpr int frame_max = 131072;
constexpr int reply_success = 200;
constexpr uint8_t delivery_persistent = 2;
constexpr size_t max_queue_name = 255;
// A routing key is an AMQP short string.
constexpr size_t max_routing_key = 255;
constexpr size_t max_pending_messages = 1000;
constexpr auto connecting_poll = 100ms;
// Frames are read without waiting: the thread waits in its own poll.
constexpr timeval no_wait{0, 0};
// The heartbeat asked of the broker, in seconds. A broker (or a path to it)
// that goes silent is given up after two beats without a byte from it; the
// library sends our own beat when one is due whenever a frame is read, so
// the thread reads at least this often even when its socket stays quiet.
constexpr int heartbeat_seconds = 10;
constexpr auto heartbeat_check = 1s;
// After a send that failed without breaking the connection, the queue is
// tried again this much later rather than at once.
constexpr auto send_retry = 250ms;
// A broker that stops answering must not hold the thread in a set-up step or
// in the close handshake for ever; the attempt then fails and is retried.
constexpr timeval rpc_timeout{10, 0};
constexpr timeval close_timeout{2, 0};
constexpr timeval connect_timeout{5, 0};
// How long freeing lets the thread finish a network call on its own before it
// cuts the socket under it.
constexpr auto stop_grace = 1s;

struct PendingMessage {
    std::string routing_key;
    std::string body;
};

// The inbound delivery being read, frame by frame: its method frame, then
// its header frame announcing the body's size, then the body frames. A body
// over the size bound is counted through and never kept.
struct InboundDelivery {
    enum class Stage { none, header, body };
    Stage stage = Stage::none;
    uint64_t delivery_tag = 0;
    uint64_t body_size = 0;
    uint64_t received = 0;
    bool keep = false;
    std::string body;

    void reset() {
        stage = Stage::none;
        delivery_tag = body_size = received = 0;
        keep = false;
        std::string().swap(body);
    }
};

// An eventfd through which publish and freeing wake the connection thread
// from its poll. Any thread may notify; reading it (clear) is the connection
// thread's.
class Wakeup {
  public:
    Wakeup() : fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
    ~Wakeup() {
        if (fd_ >= 0) close(fd_);
    }
    Wakeup(const Wakeup &) = delete;
    Wakeup &operator=(const Wakeup &) = delete;

    bool valid() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    void notify() {
        const uint64_t one = 1;
        [[maybe_unused]] ssize_t written = write(fd_, &one, sizeof one);
    }
    void clear() {
        uint64_t count = 0;
        [[maybe_unused]] ssize_t read_bytes = read(fd_, &count, sizeof count);
    }

  private:
    int fd_;
};

bool reply_ok(const amqp_rpc_reply_t &reply) { return reply.reply_type == AMQP_RESPONSE_NORMAL; }

// Library statuses after which the connection cannot be used any more.
bool connection_broken(int status) {
    switch (status) {
        case AMQP_STATUS_CONNECTION_CLOSED:
        case AMQP_STATUS_SOCKET_ERROR:
        case AMQP_STATUS_SOCKET_CLOSED:
        case AMQP_STATUS_TCP_ERROR:
        case AMQP_STATUS_HEARTBEAT_TIMEOUT:
        case AMQP_STATUS_BAD_AMQP_DATA:
        case AMQP_STATUS_UNKNOWN_CLASS:
        case AMQP_STATUS_UNKNOWN_METHOD:
        case AMQP_STATUS_TIMER_FAILURE:
        case AMQP_STATUS_SSL_ERROR:
        case AMQP_STATUS_NO_MEMORY:
            return true;
        default:
            return false;
    }
}

class RabbitmqBackend final : public BusBackend {
  public:
    explicit RabbitmqBackend(MessagingConnection &connection)
        : BusBackend(connection), settings_(connection.config.rabbitmq) {}
    ~RabbitmqBackend() override;

    // Starts the connection thread; false when it cannot be started.
    bool start();
    bool is_connected() override;
    bool publish(const char *subject, const char *body) override;

  private:
    void run() noexcept;
    // One turn of the thread: waits, serves or connects, as the state asks.
    void step();
    bool running();
    // Sleeps unless freeing wakes it first; false once the thread should end.
    bool sleep_while_running(std::chrono::milliseconds duration);
    ConnectionState state();

    void connect_attempt();
    // A TCP or, with tls set, a verifying TLS socket of the new connection;
    // null (logged) when it cannot be made.
    amqp_socket_t *new_socket();
    void attempt_failed(bool close_channel);
    // Serves the connection until it breaks or freeing begins.
    void serve();
    // True when the library has read frames off the socket that nobody has
    // taken yet: poll cannot see those.
    bool frames_buffered();
    // Waits for the socket, the wake-up or the time-out.
    void wait_for_events(std::chrono::milliseconds timeout);
    // Sends the outbound queue from the head; false when the connection
    // broke. stalled tells whether a message stays queued after a failure.
    bool send_queued(bool &stalled);
    // Reads at most one frame, without waiting for one, and acts on it.
    // False when the connection is lost.
    bool read_frame();
    // A method frame: a delivery begins, or the broker ends the channel, the
    // connection or the consumer (false).
    bool handle_method(const amqp_frame_t &frame);
    bool handle_header(const amqp_frame_t &frame);
    bool handle_body(const amqp_frame_t &frame);
    // The whole body is in: hands it on (unless it was dropped) and
    // acknowledges it. False when the connection broke.
    bool finish_delivery();
    void connection_lost(const char *reason);
    // Destroys the AMQP connection and forgets its socket.
    void drop_connection();

    const RabbitmqSettings &settings_;
    std::thread thread_;

    // The connection thread's alone until it has been joined.
    amqp_connection_state_t amqp_ = nullptr;
    std::string queue_name_;
    InboundDelivery delivery_;

    std::mutex running_mutex_;
    std::condition_variable running_changed_;
    bool running_ = true;           // guarded by running_mutex_
    bool thread_finished_ = false;  // guarded by running_mutex_
    Wakeup wakeup_;

    // The socket of the current connection, so that freeing can cut a network
    // call that does not return. The connection thread sets and clears it, and
    // closes the socket only while holding the mutex, so the descriptor is
    // never one that was reused for something else.
    std::mutex socket_mutex_;
    int socket_fd_ = -1;       // guarded by socket_mutex_
    bool socket_cut_ = false;  // guarded by socket_mutex_

    std::mutex queue_mutex_;
    std::deque<PendingMessage> queue_;  // guarded by queue_mutex_
};

bool RabbitmqBackend::start() {
    if (!wakeup_.valid()) {
        app_log(LOG_ERROR, "Failed to create Nats connection thread: no wake-up descriptor: %s", std::strerror(errno));
        return false;
    }
    try {
        thread_ = std::thread(&RabbitmqBackend::run, this);
    } catch (const std::system_error &) {
        app_log(LOG_ERROR, "Failed to create Nats connection thread");
        return false;
    }
    return true;
}

RabbitmqBackend::~RabbitmqBackend() {
    if (thread_.joinable()) {
        std::unique_lock lock(running_mutex_);
        running_ = false;
        wakeup_.notify();
        // The thread notices the flag between steps and wakes from its sleeps
        // at once. A network call that hangs (a broker that accepted the
        // connection but stopped reading) is cut by shutting the socket down.
        if (!running_changed_.wait_for(lock, stop_grace, [&] { return thread_finished_; })) {
            lock.unlock();
            std::lock_guard socket_lock(socket_mutex_);
            if (socket_fd_ >= 0) {
                app_log(LOG_WARNING, "RabbitMQ connection thread is blocked on the network; closing its socket");
                ::shutdown(socket_fd_, SHUT_RDWR);
                socket_cut_ = true;
            }
        }
        if (lock.owns_lock()) lock.unlock();
        thread_.join();
    }

    if (amqp_) {
        bool cut = false;
        {
            std::lock_guard socket_lock(socket_mutex_);
            cut = socket_cut_;
        }
        if (!cut) {
            amqp_set_rpc_timeout(amqp_, &close_timeout);
            amqp_channel_close(amqp_, channel, reply_success);
            amqp_connection_close(amqp_, reply_success);
        }
        drop_connection();
        app_log(LOG_INFO, "Disconnected from RabbitMQ");
        messaging_connection_set_state(connection_, CONNECTION_STATE_DISCONNECTED, true);
    }

    size_t discarded = 0;
    {
        std::lock_guard lock(queue_mutex_);
        discarded = queue_.size();
        queue_.clear();
    }
    if (discarded > 0) app_log(LOG_DEBUG, "Discarded %zu unsent RabbitMQ messages", discarded);
    app_log(LOG_DEBUG, "Nats connection manager freed");
}

bool RabbitmqBackend::is_connected() { return state() == CONNECTION_STATE_CONNECTED; }

bool RabbitmqBackend::publish(const char *subject, const char *body) {
    if (state() != CONNECTION_STATE_CONNECTED) {
        app_log(LOG_WARNING, "Cannot publish message: Nats not connected");
        return false;
    }
    // The library cannot encode a longer key; left in the queue, such a
    // message would block every message behind it for good.
    size_t key_length = std::char_traits<char>::length(subject);
    if (key_length > max_routing_key) {
        app_log(LOG_ERROR, "Cannot publish message: routing key is %zu bytes, at most %zu allowed", key_length,
                max_routing_key);
        return false;
    }
    PendingMessage message;
    try {
        message.routing_key = subject;
        message.body = body;
    } catch (const std::bad_alloc &) {
        app_log(LOG_ERROR, "Failed to duplicate message strings");
        return false;
    }
    bool was_empty = false;
    {
        std::lock_guard lock(queue_mutex_);
        if (queue_.size() >= max_pending_messages) {
            app_log(LOG_WARNING, "Cannot publish message: RabbitMQ outbound queue is full (%zu messages)",
                    queue_.size());
            return false;
        }
        was_empty = queue_.empty();
        try {
            queue_.push_back(std::move(message));
        } catch (const std::bad_alloc &) {
            app_log(LOG_ERROR, "Failed to allocate memory for message queue entry");
            return false;
        }
    }
    // The thread sends until the queue is empty before it waits again, so
    // only the first message of a batch needs to wake it.
    if (was_empty) wakeup_.notify();
    return true;
}

ConnectionState RabbitmqBackend::state() {
    std::lock_guard lock(connection_.state_mutex);
    return connection_.state;
}

bool RabbitmqBackend::running() {
    std::lock_guard lock(running_mutex_);
    return running_;
}

bool RabbitmqBackend::sleep_while_running(std::chrono::milliseconds duration) {
    const auto deadline = std::chrono::steady_clock::now() + duration;
    while (running()) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0) return true;
        pollfd descriptor{wakeup_.fd(), POLLIN, 0};
        if (::poll(&descriptor, 1, static_cast<int>(left)) > 0) wakeup_.clear();
    }
    return false;
}

void RabbitmqBackend::run() noexcept {
    app_log(LOG_DEBUG, "Nats connection thread started");
    while (running()) {
        // A step that fails in an unexpected way counts as a failed attempt:
        // the connection is dropped and tried again after the back-off.
        if (!guarded("the RabbitMQ connection thread", false, [&] {
                step();
                return true;
            }))
            attempt_failed(false);
    }
    app_log(LOG_DEBUG, "Nats connection thread exiting");
    std::lock_guard lock(running_mutex_);
    thread_finished_ = true;
    running_changed_.notify_all();
}

void RabbitmqBackend::step() {
    switch (state()) {
        case CONNECTION_STATE_CONNECTING:
            sleep_while_running(connecting_poll);
            break;
        case CONNECTION_STATE_CONNECTED:
            serve();
            break;
        default:  // disconnected or failed
            connect_attempt();
            break;
    }
}

void RabbitmqBackend::connect_attempt() {
    app_log(LOG_DEBUG, "Attempting to connect to RabbitMQ (host: %s, port: %u)", settings_.host.c_str(),
            static_cast<unsigned>(settings_.port));
    messaging_connection_set_state(connection_, CONNECTION_STATE_CONNECTING, true);

    amqp_ = amqp_new_connection();
    if (!amqp_) {
        app_log(LOG_ERROR, "Failed to create AMQP connection");
        attempt_failed(false);
        return;
    }
    amqp_socket_t *socket = new_socket();
    if (!socket) {
        attempt_failed(false);
        return;
    }
    // A bounded connect: an unreachable host would otherwise hold the thread,
    // and freeing with it, for the system's TCP time-out of minutes.
    timeval open_timeout = connect_timeout;
    int status = amqp_socket_open_noblock(socket, settings_.host.c_str(), settings_.port, &open_timeout);
    if (status != AMQP_STATUS_OK) {
        app_log(LOG_ERROR, "Failed to open socket: %s", amqp_error_string2(status));
        if (status == AMQP_STATUS_SSL_PEER_VERIFY_FAILED || status == AMQP_STATUS_SSL_HOSTNAME_VERIFY_FAILED)
            app_log(LOG_ERROR, "TLS connection to RabbitMQ broker %s refused: its certificate was not verified",
                    settings_.host.c_str());
        else if (status == AMQP_STATUS_SSL_CONNECTION_FAILED)
            app_log(LOG_ERROR, "TLS handshake with RabbitMQ broker %s failed", settings_.host.c_str());
        attempt_failed(false);
        return;
    }
    {
        std::lock_guard lock(socket_mutex_);
        socket_fd_ = amqp_get_sockfd(amqp_);
    }
    amqp_set_rpc_timeout(amqp_, &rpc_timeout);

    if (!running()) {
        attempt_failed(false);
        return;
    }
    if (!reply_ok(amqp_login(amqp_, "/", 0, frame_max, heartbeat_seconds, AMQP_SASL_METHOD_PLAIN,
                             settings_.username.c_str(), settings_.password.c_str()))) {
        app_log(LOG_ERROR, "Failed to login to RabbitMQ");
        attempt_failed(false);
        return;
    }
    amqp_channel_open(amqp_, channel);
    if (!reply_ok(amqp_get_rpc_reply(amqp_))) {
        app_log(LOG_ERROR, "Failed to open RabbitMQ channel");
        attempt_failed(false);
        return;
    }

    amqp_bytes_t exchange = amqp_cstring_bytes(settings_.exchange.c_str());
    amqp_exchange_declare(amqp_, channel, exchange, amqp_cstring_bytes(settings_.exchange_type.c_str()), 0, 1, 0, 0,
                          amqp_empty_table);
    if (!reply_ok(amqp_get_rpc_reply(amqp_))) {
        app_log(LOG_ERROR, "Failed to declare RabbitMQ exchange");
        attempt_failed(true);
        return;
    }

    amqp_queue_declare_ok_t *declared =
        amqp_queue_declare(amqp_, channel, amqp_empty_bytes, 0, 0, 1, 1, amqp_empty_table);
    if (!reply_ok(amqp_get_rpc_reply(amqp_))) {
        app_log(LOG_ERROR, "Failed to declare RabbitMQ queue");
        attempt_failed(true);
        return;
    }
    if (!declared) {
        app_log(LOG_ERROR, "Failed to get queue declaration response");
        attempt_failed(true);
        return;
    }
    if (declared->queue.len > max_queue_name) {
        app_log(LOG_ERROR, "Queue name too long");
        attempt_failed(true);
        return;
    }
    queue_name_.assign(static_cast<const char *>(declared->queue.bytes), declared->queue.len);
    amqp_bytes_t queue{queue_name_.size(), queue_name_.data()};

    const std::string &primary = settings_.binding_key;
    const std::string &secondary = settings_.secondary_binding_key;
    const std::string &tertiary = settings_.tertiary_binding_key;
    amqp_queue_bind(amqp_, channel, queue, exchange, amqp_cstring_bytes(primary.c_str()), amqp_empty_table);
    if (!reply_ok(amqp_get_rpc_reply(amqp_))) {
        app_log(LOG_ERROR, "Failed to bind queue to RabbitMQ exchange");
        attempt_failed(true);
        return;
    }
    // A key bound twice would not deliver twice, but it is skipped all the same.
    if (!secondary.empty() && secondary != primary) {
        amqp_queue_bind(amqp_, channel, queue, exchange, amqp_cstring_bytes(secondary.c_str()), amqp_empty_table);
        if (!reply_ok(amqp_get_rpc_reply(amqp_))) {
            app_log(LOG_ERROR, "Failed to bind queue to secondary RabbitMQ key");
            attempt_failed(true);
            return;
        }
    }
    if (!tertiary.empty() && tertiary != primary && tertiary != secondary) {
        amqp_queue_bind(amqp_, channel, queue, exchange, amqp_cstring_bytes(tertiary.c_str()), amqp_empty_table);
        if (!reply_ok(amqp_get_rpc_reply(amqp_))) {
            app_log(LOG_ERROR, "Failed to bind queue to tertiary RabbitMQ key");
            attempt_failed(true);
            return;
        }
    }

    amqp_basic_consume(amqp_, channel, queue, amqp_empty_bytes, 0, 0, 0, amqp_empty_table);
    if (!reply_ok(amqp_get_rpc_reply(amqp_))) {
        app_log(LOG_ERROR, "Failed to start consuming from RabbitMQ queue");
        attempt_failed(true);
        return;
    }

    app_log(LOG_INFO, "Successfully connected to RabbitMQ (queue: %s)", queue_name_.c_str());
    messaging_connection_set_state(connection_, CONNECTION_STATE_CONNECTED, true);
    connection_.reconnect_delay_ms = 1000;
}

amqp_socket_t *RabbitmqBackend::new_socket() {
    if (!settings_.tls) {
        amqp_socket_t *socket = amqp_tcp_socket_new(amqp_);
        if (!socket) app_log(LOG_ERROR, "Failed to create TCP socket");
        return socket;
    }
    amqp_socket_t *socket = amqp_ssl_socket_new(amqp_);
    if (!socket) {
        app_log(LOG_ERROR, "Failed to create TLS socket");
        return nullptr;
    }
    amqp_ssl_socket_set_verify_peer(socket, 1);
    amqp_ssl_socket_set_verify_hostname(socket, 1);
    amqp_ssl_socket_set_ssl_versions(socket, AMQP_TLSv1_2, AMQP_TLSvLATEST);
    if (!settings_.ca_file.empty()) {
        int status = amqp_ssl_socket_set_cacert(socket, settings_.ca_file.c_str());
        if (status != AMQP_STATUS_OK) {
            app_log(LOG_ERROR, "Failed to load RabbitMQ CA file %s: %s", settings_.ca_file.c_str(),
                    amqp_error_string2(status));
            return nullptr;
        }
    } else {
        // The library trusts no CA of its own accord: the system's store is
        // added to its context.
        auto *context = static_cast<SSL_CTX *>(amqp_ssl_socket_get_context(socket));
        if (!context || SSL_CTX_set_default_verify_paths(context) != 1) {
            app_log(LOG_ERROR, "Failed to load the system's CA certificates for RabbitMQ");
            return nullptr;
        }
    }
    // The socket belongs to the connection, which frees it.
    return socket;
}

void RabbitmqBackend::attempt_failed(bool close_channel) {
    if (amqp_) {
        if (close_channel) amqp_channel_close(amqp_, channel, reply_success);
        drop_connection();
    }
    messaging_connection_set_state(connection_, CONNECTION_STATE_FAILED, true);
    int delay = connection_.reconnect_delay_ms;
    app_log(LOG_WARNING, "Connection failed, will retry in %d ms", delay);
    connection_.reconnect_delay_ms = std::min(delay * 2, connection_.max_reconnect_delay_ms);
    sleep_while_running(std::chrono::milliseconds(delay));
}

void RabbitmqBackend::drop_connection() {
    delivery_.reset();
    std::lock_guard lock(socket_mutex_);
    amqp_destroy_connection(amqp_);
    amqp_ = nullptr;
    socket_fd_ = -1;
}

void RabbitmqBackend::connection_lost(const char *reason) {
    app_log(LOG_WARNING, "Lost the connection to RabbitMQ (%s), reconnecting", reason);
    if (amqp_) drop_connection();
    // The next cycle makes a fresh attempt at once; if the broker is not back
    // yet, the back-off of failed attempts takes over. Queued messages wait.
    messaging_connection_set_state(connection_, CONNECTION_STATE_FAILED, true);
}

void RabbitmqBackend::serve() {
    bool stalled = false;
    while (running() && state() == CONNECTION_STATE_CONNECTED) {
        // What the broker sent comes first: a close from a broker going down
        // is then seen before queued messages are written into a connection
        // that is gone, and they stay queued. Reading also has the library
        // send a heartbeat when one is due, and give up on a broker that has
        // been silent for two.
        if (!read_frame()) return;
        if (!send_queued(stalled)) return;
        // More frames may have come in with the last read: take them before
        // waiting, since poll would not report them.
        if (frames_buffered()) continue;
        wait_for_events(stalled ? std::chrono::milliseconds(send_retry) : std::chrono::milliseconds(heartbeat_check));
    }
}

bool RabbitmqBackend::frames_buffered() { return amqp_data_in_buffer(amqp_) || amqp_frames_enqueued(amqp_); }

void RabbitmqBackend::wait_for_events(std::chrono::milliseconds timeout) {
    pollfd descriptors[2] = {{amqp_get_sockfd(amqp_), POLLIN, 0}, {wakeup_.fd(), POLLIN, 0}};
    if (::poll(descriptors, 2, static_cast<int>(timeout.count())) > 0 && (descriptors[1].revents & POLLIN))
        wakeup_.clear();
}

bool RabbitmqBackend::send_queued(bool &stalled) {
    stalled = false;
    amqp_bytes_t exchange = amqp_cstring_bytes(settings_.exchange.c_str());
    amqp_basic_properties_t properties{};
    properties._flags = AMQP_BASIC_CONTENT_TYPE_FLAG | AMQP_BASIC_DELIVERY_MODE_FLAG;
    properties.content_type = amqp_cstring_bytes("application/json");
    properties.delivery_mode = delivery_persistent;

    // Only this thread removes entries, so the head stays put while it is sent
    // without the lock: a publish on the loop thread never waits for the network.
    for (;;) {
        const PendingMessage *head = nullptr;
        {
            std::lock_guard lock(queue_mutex_);
            if (queue_.empty()) return true;
            head = &queue_.front();
        }
        amqp_bytes_t body{head->body.size(), const_cast<char *>(head->body.data())};
        int status = amqp_basic_publish(amqp_, channel, exchange, amqp_cstring_bytes(head->routing_key.c_str()), 0, 0,
                                        &properties, body);
        if (status < 0) {
            app_log(LOG_ERROR, "Failed to publish message to RabbitMQ");
            if (connection_broken(status)) {
                connection_lost(amqp_error_string2(status));
                return false;
            }
            stalled = true;
            return true;
        }
        app_log(LOG_DEBUG, "Published message to RabbitMQ (routing_key: %s)", head->routing_key.c_str());
        std::lock_guard lock(queue_mutex_);
        queue_.pop_front();
    }
}

bool RabbitmqBackend::read_frame() {
    // The frames read before were handled: their memory is reused.
    amqp_maybe_release_buffers(amqp_);
    amqp_frame_t frame;
    int status = amqp_simple_wait_frame_noblock(amqp_, &frame, &no_wait);
    if (status == AMQP_STATUS_TIMEOUT) return true;
    if (status != AMQP_STATUS_OK) {
        // Whatever went wrong, the frames that follow cannot be trusted.
        app_log(LOG_ERROR, "Error consuming message from RabbitMQ: %s", amqp_error_string2(status));
        connection_lost(amqp_error_string2(status));
        return false;
    }
    switch (frame.frame_type) {
        case AMQP_FRAME_METHOD:
            return handle_method(frame);
        case AMQP_FRAME_HEADER:
            return handle_header(frame);
        case AMQP_FRAME_BODY:
            return handle_body(frame);
        default:
            return true;
    }
}

bool RabbitmqBackend::handle_method(const amqp_frame_t &frame) {
    switch (frame.payload.method.id) {
        case AMQP_BASIC_DELIVER_METHOD: {
            if (frame.channel != channel || delivery_.stage != InboundDelivery::Stage::none) break;
            const auto *deliver = static_cast<const amqp_basic_deliver_t *>(frame.payload.method.decoded);
            delivery_.delivery_tag = deliver->delivery_tag;
            delivery_.stage = InboundDelivery::Stage::header;
            return true;
        }
        case AMQP_CHANNEL_CLOSE_METHOD: {
            amqp_channel_close_ok_t ok{};
            amqp_send_method(amqp_, frame.channel, AMQP_CHANNEL_CLOSE_OK_METHOD, &ok);
            connection_lost("the server closed the channel");
            return false;
        }
        case AMQP_CONNECTION_CLOSE_METHOD: {
            amqp_connection_close_ok_t ok{};
            amqp_send_method(amqp_, 0, AMQP_CONNECTION_CLOSE_OK_METHOD, &ok);
            connection_lost("the server closed the connection");
            return false;
        }
        case AMQP_BASIC_CANCEL_METHOD:
            connection_lost("the server cancelled the consumer");
            return false;
        default:
            // Nothing else is asked for (the broker may tell of flow control
            // on channel 0 at any time); a method on the channel in the
            // middle of a delivery is a broken stream all the same.
            if (delivery_.stage == InboundDelivery::Stage::none || frame.channel != channel) return true;
            break;
    }
    app_log(LOG_ERROR, "Error consuming message from RabbitMQ: %s", "unexpected method frame");
    connection_lost("unexpected method frame");
    return false;
}

bool RabbitmqBackend::handle_header(const amqp_frame_t &frame) {
    if (frame.channel != channel || delivery_.stage != InboundDelivery::Stage::header) {
        app_log(LOG_ERROR, "Error consuming message from RabbitMQ: %s", "unexpected header frame");
        connection_lost("unexpected header frame");
        return false;
    }
    const uint64_t size = frame.payload.properties.body_size;
    const size_t bound = connection_.config.limits.max_message_bytes;
    delivery_.body_size = size;
    delivery_.received = 0;
    delivery_.keep = true;
    if (bound != 0 && size > bound) {
        // Read on and counted, never kept: the body's size is the sender's
        // word, and frames of it are all that is ever held.
        app_log(LOG_WARNING, "RabbitMQ message of %llu bytes dropped unread: larger than %zu bytes",
                static_cast<unsigned long long>(size), bound);
        delivery_.keep = false;
    } else if (size > 0) {
        try {
            delivery_.body.reserve(static_cast<size_t>(size));
        } catch (const std::exception &) {
            app_log(LOG_ERROR, "Failed to allocate memory for message body");
            delivery_.keep = false;
        }
    }
    if (size == 0) return finish_delivery();
    delivery_.stage = InboundDelivery::Stage::body;
    return true;
}

bool RabbitmqBackend::handle_body(const amqp_frame_t &frame) {
    const amqp_bytes_t &fragment = frame.payload.body_fragment;
    if (frame.channel != channel || delivery_.stage != InboundDelivery::Stage::body ||
        fragment.len > delivery_.body_size - delivery_.received) {
        app_log(LOG_ERROR, "Error consuming message from RabbitMQ: %s", "unexpected body frame");
        connection_lost("unexpected body frame");
        return false;
    }
    delivery_.received += fragment.len;
    if (delivery_.keep) delivery_.body.append(static_cast<const char *>(fragment.bytes), fragment.len);
    return delivery_.received == delivery_.body_size ? finish_delivery() : true;
}

bool RabbitmqBackend::finish_delivery() {
    const uint64_t tag = delivery_.delivery_tag;
    if (delivery_.body_size == 0) {
        // Left unacknowledged: the broker keeps it until this queue goes away.
        app_log(LOG_WARNING, "Received empty message from RabbitMQ");
        delivery_.reset();
        return true;
    }
    if (delivery_.keep) {
        if (!connection_.config.message_callback) {
            app_log(LOG_WARNING, "Message received but no callback handler registered");
        } else {
            app_log(LOG_DEBUG, "Received message from RabbitMQ (size: %zu)", delivery_.body.size());
            // A std::string is zero-terminated, as the callback's contract asks.
            messaging_connection_deliver(connection_, delivery_.body.c_str(), delivery_.body.size());
        }
    }
    delivery_.reset();
    // A dropped message is acknowledged too: sent again, it would only be
    // dropped again.
    int status = amqp_basic_ack(amqp_, channel, tag, 0);
    if (status < 0 && connection_broken(status)) {
        connection_lost(amqp_error_string2(status));
        return false;
    }
    return true;
}

}  // namespace

std::unique_ptr<BusBackend> rabbitmq_backend_start(MessagingConnection &connection) {
    std::unique_ptr<RabbitmqBackend> backend(new (std::nothrow) RabbitmqBackend(connection));
    if (!backend || !backend->start()) {
        if (!backend) app_log(LOG_ERROR, "Failed to create Nats connection thread");
        return nullptr;
    }
    return backend;
}
