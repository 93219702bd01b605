// The bus connection's RabbitMQ backend against real brokers, with a
// rabbitmq-c peer on the other side. The connection's callbacks run on its
// connection thread and only record under a lock.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "messaging/event_publisher.h"
#include "messaging/messaging_connection.h"
#include "rabbitmq_support.h"
#include "test_support.h"

namespace {

using Clock = std::chrono::steady_clock;

// What the connection's callbacks saw. A test may hold the connection thread
// inside the message callback with hold(), to keep outbound messages queued.
struct Recorder {
    std::mutex mutex;
    std::condition_variable released;
    std::vector<std::string> messages;
    std::vector<bool> terminated;
    std::vector<bool> states;
    bool holding = false;
    bool held = false;

    static void on_message(MessagingConnection *, const char *data, size_t length, void *user) {
        auto *self = static_cast<Recorder *>(user);
        std::unique_lock lock(self->mutex);
        self->messages.emplace_back(data, length);
        self->terminated.push_back(data[length] == '\0');
        if (self->holding) {
            self->held = true;
            self->released.wait(lock, [&] { return !self->holding; });
            self->held = false;
        }
    }
    static void on_state(MessagingConnection *, bool connected, void *user) {
        auto *self = static_cast<Recorder *>(user);
        std::lock_guard lock(self->mutex);
        self->states.push_back(connected);
    }
    void hold() {
        std::lock_guard lock(mutex);
        holding = true;
    }
    bool is_held() {
        std::lock_guard lock(mutex);
        return held;
    }
    void release() {
        std::lock_guard lock(mutex);
        holding = false;
        released.notify_all();
    }
    size_t message_count() {
        std::lock_guard lock(mutex);
        return messages.size();
    }
    std::vector<std::string> messages_copy() {
        std::lock_guard lock(mutex);
        return messages;
    }
    std::vector<bool> states_copy() {
        std::lock_guard lock(mutex);
        return states;
    }
    bool last_state_is(bool connected) {
        std::lock_guard lock(mutex);
        return !states.empty() && states.back() == connected;
    }
};

struct ConnectionDeleter {
    void operator()(MessagingConnection *connection) const { messaging_connection_free(connection); }
};
using ConnectionPtr = std::unique_ptr<MessagingConnection, ConnectionDeleter>;

// Unique names per test, so tests sharing the fixture's broker never meet.
std::string unique(const char *name) { return std::string("zrv.test.") + std::to_string(getpid()) + "." + name; }

MessagingConnectionConfig rabbitmq_config(int port, const std::string &exchange, const std::string &key,
                                          Recorder &recorder) {
    MessagingConnectionConfig config{};
    config.backend = MESSAGING_BACKEND_RABBITMQ;
    config.rabbitmq.host = "127.0.0.1";
    config.rabbitmq.port = static_cast<uint16_t>(port);
    config.rabbitmq.username = "guest";
    config.rabbitmq.password = "guest";
    config.rabbitmq.exchange = exchange;
    config.rabbitmq.exchange_type = "topic";
    config.rabbitmq.binding_key = key;
    config.rabbitmq.routing_key = key;
    config.state_callback = Recorder::on_state;
    config.state_user_data = &recorder;
    config.message_callback = Recorder::on_message;
    config.message_user_data = &recorder;
    return config;
}

bool wait_connected(MessagingConnection *connection, std::chrono::milliseconds timeout = 10s) {
    return wait_until([&] { return messaging_connection_is_connected(connection); }, timeout);
}

// Counts the lines holding the text.
size_t count_lines(const std::string &log, const std::string &text) {
    size_t count = 0;
    for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++count;
    return count;
}

TEST(RabbitmqConnection, DefaultsBindIncomingEventsSoOwnEventsComeBack) {
    int port = rabbitmq_fixture_port();
    Recorder recorder;
    std::string exchange = "zorva.audio", key = "zorva.incoming.events";
    MessagingConnectionConfig config = rabbitmq_config(port, exchange, key, recorder);
    config.rabbitmq.host = "localhost";  // the broker listens on 127.0.0.1 alone

    LogCapture log;
    ConnectionPtr connection(messaging_connection_new(&config));
    ASSERT_TRUE(connection);
    ASSERT_TRUE(wait_connected(connection.get()));
    EXPECT_EQ(recorder.states_copy(), (std::vector<bool>{false, true}));

    AmqpPeer peer(port);
    peer.listen(exchange, "#");
    EventPublisher *publisher = event_publisher_new(connection.get(), key.c_str());
    ASSERT_TRUE(publisher);
    EXPECT_TRUE(event_publisher_playback_state(publisher, "PLAYING"));
    event_publisher_free(publisher);

    // The event reaches both the peer and, through the default binding, the
    // connection's own message callback.
    auto delivery = peer.receive();
    ASSERT_TRUE(delivery);
    EXPECT_EQ(delivery->routing_key, key);
    EXPECT_EQ(delivery->content_type, "application/json");
    EXPECT_EQ(delivery->delivery_mode, 2);
    EXPECT_NE(delivery->body.find("\"event_type\":\"playback_state_changed\""), std::string::npos) << delivery->body;
    ASSERT_TRUE(wait_until([&] { return recorder.message_count() == 1; }));
    EXPECT_EQ(recorder.messages_copy()[0], delivery->body);

    // A key the library could not encode is refused rather than queued.
    EXPECT_FALSE(messaging_connection_publish(connection.get(), std::string(256, 'k').c_str(), "{}"));

    connection.reset();
    EXPECT_EQ(recorder.states_copy(), (std::vector<bool>{false, true, false}));
    EXPECT_TRUE(
        log.has_line("DEBUG", "Nats connection manager created (host: localhost, port: " + std::to_string(port) + ")"));
    EXPECT_TRUE(log.has_line("DEBUG", "Nats connection thread started"));
    EXPECT_TRUE(log.has_line(
        "DEBUG", "Attempting to connect to RabbitMQ (host: localhost, port: " + std::to_string(port) + ")"));
    EXPECT_NE(log.text().find("INFO JuxApp: Successfully connected to RabbitMQ (queue: amq.gen-"), std::string::npos);
    EXPECT_TRUE(log.has_line("DEBUG", "Published message to RabbitMQ (routing_key: zorva.incoming.events)"));
    EXPECT_TRUE(
        log.has_line("DEBUG", "Received message from RabbitMQ (size: " + std::to_string(delivery->body.size()) + ")"));
    EXPECT_TRUE(log.has_line("DEBUG", "Nats connection thread exiting"));
    EXPECT_TRUE(log.has_line("INFO", "Disconnected from RabbitMQ"));
    EXPECT_TRUE(log.has_line("DEBUG", "Nats connection manager freed"));
}

TEST(RabbitmqConnection, EveryBackendValueButNatsSelectsRabbitmq) {
    int port = rabbitmq_fixture_port();
    Recorder recorder;
    std::string exchange = unique("backend"), key = "events";
    MessagingConnectionConfig config = rabbitmq_config(port, exchange, key, recorder);
    config.backend = 7;
    ConnectionPtr connection(messaging_connection_new(&config));
    ASSERT_TRUE(connection);
    EXPECT_TRUE(wait_connected(connection.get()));
}

TEST(RabbitmqConnection, AbsentStringsCountAsEmpty) {
    MessagingConnectionConfig config{};
    config.backend = MESSAGING_BACKEND_RABBITMQ;
    config.rabbitmq.port = static_cast<uint16_t>(free_loopback_port());
    LogCapture log;
    ConnectionPtr connection(messaging_connection_new(&config));
    ASSERT_TRUE(connection);
    std::this_thread::sleep_for(200ms);
    EXPECT_FALSE(messaging_connection_is_connected(connection.get()));
    connection.reset();
    EXPECT_TRUE(log.has_line(
        "DEBUG", "Nats connection manager created (host: , port: " + std::to_string(config.rabbitmq.port) + ")"));
    EXPECT_TRUE(log.has_line("WARNING", "Connection failed, will retry in 1000 ms"));
}

TEST(RabbitmqConnection, PeerMessagesArriveZeroTerminatedOnceEachAndEmptyOnesAreDropped) {
    int port = rabbitmq_fixture_port();
    Recorder recorder;
    std::string exchange = unique("inbound"), key = "commands", other = "volume";
    MessagingConnectionConfig config = rabbitmq_config(port, exchange, key, recorder);
    // Repeated keys are bound once; the distinct tertiary key is bound too.
    config.rabbitmq.secondary_binding_key = key;
    config.rabbitmq.tertiary_binding_key = other;

    LogCapture log;
    ConnectionPtr connection(messaging_connection_new(&config));
    ASSERT_TRUE(wait_connected(connection.get()));

    AmqpPeer peer(port);
    peer.publish(exchange, key, "");
    peer.publish(exchange, key, std::string("play\0now", 8));
    peer.publish(exchange, other, "{\"volume\":30}");
    peer.publish(exchange, "unbound", "never");
    peer.publish(exchange, key, "last");
    ASSERT_TRUE(wait_until([&] { return recorder.message_count() >= 3; }));
    std::this_thread::sleep_for(500ms);  // room for a duplicate to show up
    EXPECT_EQ(recorder.messages_copy(),
              (std::vector<std::string>{std::string("play\0now", 8), "{\"volume\":30}", "last"}));
    {
        std::lock_guard lock(recorder.mutex);
        EXPECT_EQ(recorder.terminated, (std::vector<bool>{true, true, true}));
    }
    connection.reset();
    EXPECT_TRUE(log.has_line("WARNING", "Received empty message from RabbitMQ"));
    EXPECT_TRUE(log.has_line("DEBUG", "Received message from RabbitMQ (size: 8)"));
}

TEST(RabbitmqConnection, MessagesWithoutACallbackAreAcknowledgedAndLogged) {
    int port = rabbitmq_fixture_port();
    Recorder recorder;
    std::string exchange = unique("nocallback"), key = "commands";
    MessagingConnectionConfig config = rabbitmq_config(port, exchange, key, recorder);
    config.message_callback = nullptr;

    LogCapture log;
    ConnectionPtr connection(messaging_connection_new(&config));
    ASSERT_TRUE(wait_connected(connection.get()));
    AmqpPeer peer(port);
    peer.publish(exchange, key, "play");
    std::this_thread::sleep_for(1s);  // several cycles
    EXPECT_TRUE(log.has_line("WARNING", "Message received but no callback handler registered"));
}

TEST(RabbitmqConnection, AFloodOfInboundMessagesArrivesInOrderWithoutPacing) {
    int port = rabbitmq_fixture_port();
    Recorder recorder;
    std::string exchange = unique("flood"), key = "commands";
    MessagingConnectionConfig config = rabbitmq_config(port, exchange, key, recorder);
    ConnectionPtr connection(messaging_connection_new(&config));
    ASSERT_TRUE(wait_connected(connection.get()));

    constexpr int count = 2000;
    AmqpPeer peer(port);
    for (int i = 0; i < count; ++i) peer.publish(exchange, key, "command-" + std::to_string(i));
    // One message per 350 ms cycle would take over eleven minutes.
    ASSERT_TRUE(wait_until([&] { return recorder.message_count() == count; }, 30s)) << recorder.message_count();
    auto messages = recorder.messages_copy();
    for (int i = 0; i < count; ++i) ASSERT_EQ(messages[static_cast<size_t>(i)], "command-" + std::to_string(i));
}

TEST(RabbitmqConnection, OutboundQueueIsBoundedAndDrainsInOrder) {
    int port = rabbitmq_fixture_port();
    Recorder recorder;
    std::string exchange = unique("bounded"), key = "events", out = "outbound";
    MessagingConnectionConfig config = rabbitmq_config(port, exchange, key, recorder);
    ConnectionPtr connection(messaging_connection_new(&config));
    ASSERT_TRUE(wait_connected(connection.get()));

    AmqpPeer peer(port);
    peer.listen(exchange, out);
    // Holding the connection thread in the message callback keeps everything
    // published meanwhile in the queue.
    recorder.hold();
    peer.publish(exchange, key, "hold");
    ASSERT_TRUE(wait_until([&] { return recorder.is_held(); }));

    LogCapture log;
    for (int i = 0; i < 1000; ++i)
        ASSERT_TRUE(messaging_connection_publish(connection.get(), out.c_str(), std::to_string(i).c_str())) << i;
    EXPECT_FALSE(messaging_connection_publish(connection.get(), out.c_str(), "one too many"));
    EXPECT_TRUE(log.has_line("WARNING", "Cannot publish message: RabbitMQ outbound queue is full (1000 messages)"));
    recorder.release();

    for (int i = 0; i < 1000; ++i) {
        auto delivery = peer.receive();
        ASSERT_TRUE(delivery) << "message " << i << " missing";
        ASSERT_EQ(delivery->body, std::to_string(i));
    }
    EXPECT_FALSE(peer.receive(300ms));
    EXPECT_TRUE(messaging_connection_publish(connection.get(), out.c_str(), "room again"));
    auto delivery = peer.receive();
    ASSERT_TRUE(delivery);
    EXPECT_EQ(delivery->body, "room again");
}

// Publishing to an exchange that someone deleted makes the broker close the
// channel: the connection notices, reconnects and declares the exchange anew,
// from its own copy of the settings.
TEST(RabbitmqConnection, AChannelClosedByTheBrokerLeadsToAReconnect) {
    int port = rabbitmq_fixture_port();
    Recorder recorder;
    std::string exchange = unique("deleted"), key = "events", out = "outbound";
    MessagingConnectionConfig config = rabbitmq_config(port, exchange, key, recorder);
    LogCapture log;
    ConnectionPtr connection(messaging_connection_new(&config));
    // The reconnect below uses the connection's own copy of the settings.
    config = MessagingConnectionConfig{};
    ASSERT_TRUE(wait_connected(connection.get()));

    AmqpPeer peer(port);
    peer.delete_exchange(exchange);
    ASSERT_TRUE(messaging_connection_publish(connection.get(), out.c_str(), "into the void"));
    ASSERT_TRUE(wait_until([&] { return recorder.states_copy().size() >= 5; }));  // false, true, false, false, true
    EXPECT_EQ(recorder.states_copy(), (std::vector<bool>{false, true, false, false, true}));

    peer.listen(exchange, out);
    ASSERT_TRUE(messaging_connection_publish(connection.get(), out.c_str(), "after"));
    auto delivery = peer.receive();
    ASSERT_TRUE(delivery);
    EXPECT_EQ(delivery->body, "after");
    connection.reset();
    EXPECT_TRUE(
        log.has_line("WARNING", "Lost the connection to RabbitMQ (the server closed the channel), reconnecting"));
}

TEST(RabbitmqConnection, FailedAttemptsBackOffAndFreeingCutsTheSleepShort) {
    int port = free_loopback_port();  // nothing listens there
    Recorder recorder;
    std::string exchange = unique("closed"), key = "events";
    MessagingConnectionConfig config = rabbitmq_config(port, exchange, key, recorder);

    LogCapture log;
    ConnectionPtr connection(messaging_connection_new(&config));
    ASSERT_TRUE(connection) << "creation succeeds without a broker";
    // Each attempt reports connecting, then failed: six changes make three
    // failed attempts, and the thread is then in its 4000 ms sleep.
    ASSERT_TRUE(wait_until([&] { return recorder.states_copy().size() == 6; }, 6s));
    std::this_thread::sleep_for(100ms);
    EXPECT_FALSE(messaging_connection_is_connected(connection.get()));
    EXPECT_FALSE(messaging_connection_publish(connection.get(), key.c_str(), "{}"));

    // The thread now sleeps 4 s; freeing must not wait for it.
    auto before = Clock::now();
    connection.reset();
    auto took = Clock::now() - before;
    EXPECT_LT(took, 500ms);

    std::string text = log.text();
    EXPECT_TRUE(log.has_line("WARNING", "Connection failed, will retry in 1000 ms"));
    EXPECT_TRUE(log.has_line("WARNING", "Connection failed, will retry in 2000 ms"));
    EXPECT_TRUE(log.has_line("WARNING", "Connection failed, will retry in 4000 ms"));
    EXPECT_EQ(count_lines(text, "Connection failed, will retry in"), 3u);
    EXPECT_EQ(count_lines(text, "ERROR JuxApp: Failed to open socket: "), 3u);
    EXPECT_TRUE(log.has_line("WARNING", "Cannot publish message: Nats not connected"));
    EXPECT_FALSE(log.has_line("INFO", "Disconnected from RabbitMQ")) << "there was no connection to close";
    EXPECT_TRUE(log.has_line("DEBUG", "Nats connection manager freed"));
    // Every attempt reports the failed state; nothing reports connected.
    for (bool state : recorder.states_copy()) EXPECT_FALSE(state);
}

TEST(RabbitmqConnection, WrongCredentialsFailAtLogin) {
    int port = rabbitmq_fixture_port();
    Recorder recorder;
    std::string exchange = unique("login"), key = "events";
    MessagingConnectionConfig config = rabbitmq_config(port, exchange, key, recorder);
    config.rabbitmq.password = "tansy";  // the configuration's default, which the test broker does not know

    LogCapture log;
    ConnectionPtr connection(messaging_connection_new(&config));
    ASSERT_TRUE(wait_until([&] { return recorder.states_copy().size() >= 2; }));
    connection.reset();
    EXPECT_TRUE(log.has_line("ERROR", "Failed to login to RabbitMQ"));
    EXPECT_TRUE(log.has_line("WARNING", "Connection failed, will retry in 1000 ms"));
}

// A server that accepts the connection and then never answers: the login
// waits for it, and freeing must cut that wait.
TEST(RabbitmqConnection, FreeingDoesNotWaitForASilentBroker) {
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener, 4), 0);
    socklen_t length = sizeof address;
    getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length);

    Recorder recorder;
    std::string exchange = unique("silent"), key = "events";
    MessagingConnectionConfig config = rabbitmq_config(ntohs(address.sin_port), exchange, key, recorder);
    LogCapture log;
    ConnectionPtr connection(messaging_connection_new(&config));
    ASSERT_TRUE(wait_until([&] { return recorder.states_copy().size() == 1; }));  // connecting
    std::this_thread::sleep_for(300ms);

    auto before = Clock::now();
    connection.reset();
    EXPECT_LT(Clock::now() - before, 3s);
    close(listener);
    EXPECT_TRUE(log.has_line("WARNING", "RabbitMQ connection thread is blocked on the network; closing its socket"));
}

TEST(RabbitmqConnection, ABrokerRestartReconnectsAndQueuedMessagesSurvive) {
    RabbitmqBroker broker("rabbitmq-restart");
    broker.start();
    Recorder recorder;
    std::string exchange = unique("restart"), key = "commands", out = "outbound";
    std::string survivors = unique("survivors");
    MessagingConnectionConfig config = rabbitmq_config(broker.port(), exchange, key, recorder);

    LogCapture log;
    ConnectionPtr connection(messaging_connection_new(&config));
    ASSERT_TRUE(wait_connected(connection.get()));
    {
        // A durable queue keeps what arrives while no peer is connected.
        AmqpPeer peer(broker.port());
        peer.listen(exchange, out, survivors);
        ASSERT_TRUE(messaging_connection_publish(connection.get(), out.c_str(), "before"));
        auto delivery = peer.receive();
        ASSERT_TRUE(delivery);
        EXPECT_EQ(delivery->body, "before");

        recorder.hold();
        peer.publish(exchange, key, "hold");
        ASSERT_TRUE(wait_until([&] { return recorder.is_held(); }));
        for (const char *body : {"queued-1", "queued-2", "queued-3"})
            ASSERT_TRUE(messaging_connection_publish(connection.get(), out.c_str(), body));
    }
    broker.stop();
    recorder.release();
    ASSERT_TRUE(wait_until([&] { return !messaging_connection_is_connected(connection.get()); }));
    EXPECT_TRUE(recorder.last_state_is(false));
    EXPECT_FALSE(messaging_connection_publish(connection.get(), out.c_str(), "refused while down"));

    broker.start();
    // Attempts back off 1, 2, 4, 8 s while the broker is down.
    ASSERT_TRUE(wait_connected(connection.get(), 30s));
    EXPECT_TRUE(recorder.last_state_is(true));
    ASSERT_TRUE(messaging_connection_publish(connection.get(), out.c_str(), "after"));

    AmqpPeer peer(broker.port());
    peer.listen(exchange, out, survivors);
    std::vector<std::string> received;
    for (int i = 0; i < 4; ++i) {
        auto delivery = peer.receive();
        ASSERT_TRUE(delivery) << "only " << received.size() << " arrived";
        received.push_back(delivery->body);
    }
    EXPECT_EQ(received, (std::vector<std::string>{"queued-1", "queued-2", "queued-3", "after"}));
    EXPECT_FALSE(peer.receive(500ms));

    // Inbound messages flow again on the new queue.
    size_t before = recorder.message_count();
    peer.publish(exchange, key, "play");
    ASSERT_TRUE(wait_until([&] { return recorder.message_count() == before + 1; }));
    connection.reset();
    EXPECT_NE(log.text().find("Lost the connection to RabbitMQ"), std::string::npos);
    EXPECT_EQ(count_lines(log.text(), "INFO JuxApp: Successfully connected to RabbitMQ"), 2u);
}

// A body over the bound is counted through frame by frame and acknowledged,
// never assembled; one just at the bound arrives whole, and so does the next.
TEST(RabbitmqConnection, BodiesOverTheBoundAreDroppedUnreadAndTheNextArrives) {
    int port = rabbitmq_fixture_port();
    Recorder recorder;
    std::string exchange = unique("oversized"), key = "commands";
    MessagingConnectionConfig config = rabbitmq_config(port, exchange, key, recorder);
    config.limits.max_message_bytes = 64 * 1024;
    LogCapture log;
    ConnectionPtr connection(messaging_connection_new(&config));
    ASSERT_TRUE(wait_connected(connection.get()));

    AmqpPeer peer(port);
    const std::string at_bound(64 * 1024, 'a');
    peer.publish(exchange, key, std::string(64 * 1024 + 1, 'b'));
    peer.publish(exchange, key, std::string(8 * 1024 * 1024, 'c'));
    peer.publish(exchange, key, at_bound);
    peer.publish(exchange, key, "after");
    ASSERT_TRUE(wait_until([&] { return recorder.message_count() == 2; }, 10s));
    EXPECT_EQ(recorder.messages_copy(), (std::vector<std::string>{at_bound, "after"}));
    EXPECT_TRUE(messaging_connection_is_connected(connection.get()));
    connection.reset();
    EXPECT_TRUE(log.has_line("WARNING", "RabbitMQ message of 65537 bytes dropped unread: larger than 65536 bytes"));
    EXPECT_TRUE(log.has_line("WARNING", "RabbitMQ message of 8388608 bytes dropped unread: larger than 65536 bytes"));
    EXPECT_EQ(log.text().find("Lost the connection to RabbitMQ"), std::string::npos);
}

// AMQPS through the broker's TLS listener: its certificate must chain to a
// trusted CA and bear the host name connected to, or the attempt fails and
// is retried like any other.
TEST(RabbitmqConnection, TlsVerifiesTheBrokerCertificateAndItsHostName) {
    RabbitmqBroker broker("rabbitmq-tls", true);
    broker.start();
    const std::string exchange = unique("tls"), key = "commands";
    {
        Recorder recorder;
        MessagingConnectionConfig config = rabbitmq_config(broker.tls_port(), exchange, key, recorder);
        config.rabbitmq.host = "localhost";
        config.rabbitmq.tls = true;
        config.rabbitmq.ca_file = broker.ca_file();
        ConnectionPtr connection(messaging_connection_new(&config));
        ASSERT_TRUE(wait_connected(connection.get()));
        AmqpPeer peer(broker.port());
        peer.listen(exchange, "out");
        ASSERT_TRUE(messaging_connection_publish(connection.get(), "out", "over tls"));
        auto delivery = peer.receive();
        ASSERT_TRUE(delivery);
        EXPECT_EQ(delivery->body, "over tls");
        peer.publish(exchange, key, "play");
        ASSERT_TRUE(wait_until([&] { return recorder.message_count() == 1; }));
        EXPECT_EQ(recorder.messages_copy()[0], "play");
    }

    struct Refusal {
        const char *what;
        std::string host;
        std::string ca_file;
    };
    // The system's CAs do not know the test's CA; the certificate names
    // "localhost" only.
    for (const Refusal &refusal :
         {Refusal{"system CAs", "localhost", ""}, Refusal{"other host name", "127.0.0.1", broker.ca_file()}}) {
        Recorder recorder;
        MessagingConnectionConfig config = rabbitmq_config(broker.tls_port(), exchange, key, recorder);
        config.rabbitmq.host = refusal.host;
        config.rabbitmq.tls = true;
        config.rabbitmq.ca_file = refusal.ca_file;
        LogCapture log;
        ConnectionPtr connection(messaging_connection_new(&config));
        ASSERT_TRUE(wait_until([&] { return recorder.states_copy().size() >= 2; })) << refusal.what;
        connection.reset();
        const std::string text = log.text();
        EXPECT_EQ(recorder.states_copy(), (std::vector<bool>{false, false})) << refusal.what;
        EXPECT_NE(text.find("ERROR JuxApp: TLS connection to RabbitMQ broker " + refusal.host +
                            " refused: its certificate was not verified"),
                  std::string::npos)
            << refusal.what << "\n"
            << text;
        EXPECT_NE(text.find("WARNING JuxApp: Connection failed, will retry in 1000 ms"), std::string::npos);
    }

    // A plain AMQP listener does not speak TLS: the handshake fails.
    {
        Recorder recorder;
        MessagingConnectionConfig config = rabbitmq_config(broker.port(), exchange, key, recorder);
        config.rabbitmq.host = "localhost";
        config.rabbitmq.tls = true;
        config.rabbitmq.ca_file = broker.ca_file();
        LogCapture log;
        ConnectionPtr connection(messaging_connection_new(&config));
        ASSERT_TRUE(wait_until([&] { return recorder.states_copy().size() >= 2; }, 10s));
        connection.reset();
        EXPECT_TRUE(log.has_line("ERROR", "TLS handshake with RabbitMQ broker localhost failed"));
    }

    // A CA file that cannot be read fails the attempt with its name.
    Recorder recorder;
    MessagingConnectionConfig config = rabbitmq_config(broker.tls_port(), exchange, key, recorder);
    config.rabbitmq.host = "localhost";
    config.rabbitmq.tls = true;
    config.rabbitmq.ca_file = "/nonexistent/ca.pem";
    LogCapture log;
    ConnectionPtr connection(messaging_connection_new(&config));
    ASSERT_TRUE(wait_until([&] { return recorder.states_copy().size() >= 2; }));
    connection.reset();
    EXPECT_NE(log.text().find("ERROR JuxApp: Failed to load RabbitMQ CA file /nonexistent/ca.pem"), std::string::npos);
}

}  // namespace
