// The bus connection against real nats-servers, with a cnats peer on the
// other side. Callbacks run on cnats' threads and only record under a lock.
#include "messaging/messaging_connection.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <thread>

#include "test_support.h"

namespace {

// What the connection's callbacks saw.
struct Recorder {
    std::mutex mutex;
    std::vector<std::string> messages;
    std::vector<bool> states;

    static void on_message(MessagingConnection *, const char *data, size_t length, void *user) {
        auto *self = static_cast<Recorder *>(user);
        std::lock_guard lock(self->mutex);
        self->messages.emplace_back(data, length);
    }
    static void on_state(MessagingConnection *, bool connected, void *user) {
        auto *self = static_cast<Recorder *>(user);
        std::lock_guard lock(self->mutex);
        self->states.push_back(connected);
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

MessagingConnectionConfig nats_config(const std::string &url, Recorder &recorder) {
    MessagingConnectionConfig config{};
    config.backend = MESSAGING_BACKEND_NATS;
    config.nats.url = url;
    config.state_callback = Recorder::on_state;
    config.state_user_data = &recorder;
    config.message_callback = Recorder::on_message;
    config.message_user_data = &recorder;
    return config;
}

// A unique subject per test, so tests sharing a server never see each other.
std::string subject(const char *name) { return std::string("zrv.test.") + std::to_string(getpid()) + "." + name; }

TEST(MessagingConnection, ThreeSubscriptionsDeliverEachMatchAndDropEmptyPayloads) {
    std::string url = fixture_url("nats");
    std::string primary = subject("primary"), tertiary = subject("tertiary");
    Recorder recorder;
    MessagingConnectionConfig config = nats_config(url, recorder);
    config.nats.subscribe_subject = primary;
    config.nats.secondary_subscribe_subject = primary;  // a duplicate is subscribed again
    config.nats.tertiary_subscribe_subject = tertiary;

    LogCapture log;
    ConnectionPtr connection(messaging_connection_new(&config));
    ASSERT_TRUE(connection);
    config = MessagingConnectionConfig{};  // the connection keeps its own copy, callbacks included
    EXPECT_TRUE(messaging_connection_is_connected(connection.get()));
    EXPECT_EQ(recorder.states_copy(), std::vector<bool>{true});

    NatsPeer peer(url);
    peer.publish(primary, "");
    peer.publish(tertiary, "");
    peer.publish(primary, std::string("on\0primary", 10));
    peer.publish(tertiary, "{\"command\":\"next\"}");
    peer.flush();
    ASSERT_TRUE(wait_until([&] { return recorder.message_count() >= 3; }));
    // Anything else (an empty payload) would have arrived by now: both
    // subscriptions deliver in order behind the empty ones.
    std::this_thread::sleep_for(100ms);
    auto messages = recorder.messages_copy();
    std::sort(messages.begin(), messages.end());
    EXPECT_EQ(messages, (std::vector<std::string>{std::string("on\0primary", 10), std::string("on\0primary", 10),
                                                  "{\"command\":\"next\"}"}));

    connection.reset();
    EXPECT_EQ(recorder.states_copy(), std::vector<bool>{true}) << "freeing never calls the state callback";
    EXPECT_TRUE(log.has_line("INFO", "Successfully connected to NATS (url: " + url + ")"));
    EXPECT_TRUE(log.has_line("DEBUG", "Nats connection manager created (NATS backend)"));
    EXPECT_TRUE(log.has_line("DEBUG", "NATS connection manager freed"));
}

// The handler's closure is the connection: freeing must wait for a handler
// that is still running before the record goes, also when it runs longer
// than the five seconds freeing gives the library to confirm the close. The
// handler then uses the connection it was handed.
TEST(MessagingConnection, FreeingWaitsForAMessageHandlerHoweverLongItTakes) {
    struct SlowConsumer {
        std::atomic<bool> entered{false};
        std::atomic<bool> left{false};
        static void on_message(MessagingConnection *connection, const char *, size_t, void *user) {
            auto *self = static_cast<SlowConsumer *>(user);
            self->entered = true;
            std::this_thread::sleep_for(5500ms);
            // Still connected: the library is closed only after this returns.
            EXPECT_TRUE(messaging_connection_is_connected(connection));
            self->left = true;
        }
    } consumer;
    std::string url = fixture_url("nats");
    std::string inbound = subject("slow");
    MessagingConnectionConfig config{};
    config.backend = MESSAGING_BACKEND_NATS;
    config.nats.url = url;
    config.nats.subscribe_subject = inbound;
    config.message_callback = SlowConsumer::on_message;
    config.message_user_data = &consumer;
    MessagingConnection *connection = messaging_connection_new(&config);
    ASSERT_TRUE(messaging_connection_is_connected(connection));

    NatsPeer peer(url);
    peer.publish(inbound, "play");
    peer.flush();
    ASSERT_TRUE(wait_until([&] { return consumer.entered.load(); }));
    LogCapture log;
    messaging_connection_free(connection);
    EXPECT_TRUE(consumer.left.load());
    EXPECT_TRUE(log.has_line("DEBUG", "NATS connection manager freed"));
}

TEST(MessagingConnection, EmptySubscribeSubjectListensOnTheDefaultSubject) {
    std::string url = fixture_url("nats");
    Recorder recorder;
    MessagingConnectionConfig config = nats_config(url, recorder);
    ConnectionPtr connection(messaging_connection_new(&config));
    ASSERT_TRUE(messaging_connection_is_connected(connection.get()));

    NatsPeer peer(url);
    std::string marker = "default-subject-" + std::to_string(getpid());
    peer.publish("zorva.incoming.events", marker);
    peer.flush();
    ASSERT_TRUE(wait_until([&] {
        auto messages = recorder.messages_copy();
        return std::find(messages.begin(), messages.end(), marker) != messages.end();
    }));
}

TEST(MessagingConnection, PublishesTheBodyUnderTheGivenSubject) {
    std::string url = fixture_url("nats");
    Recorder recorder;
    MessagingConnectionConfig config = nats_config(url, recorder);
    std::string inbound = subject("in");
    config.nats.subscribe_subject = inbound;
    ConnectionPtr connection(messaging_connection_new(&config));
    ASSERT_TRUE(messaging_connection_is_connected(connection.get()));

    NatsPeer peer(url);
    std::string out_a = subject("out.a"), out_b = subject("out.b");
    peer.subscribe(subject("out.*"));
    EXPECT_TRUE(messaging_connection_publish(connection.get(), out_a.c_str(), "{\"a\":1}"));
    EXPECT_TRUE(messaging_connection_publish(connection.get(), out_b.c_str(), "second"));
    ASSERT_TRUE(peer.wait_for_count(2));
    auto messages = peer.messages();
    EXPECT_EQ(messages[0].subject, out_a);
    EXPECT_EQ(messages[0].data, "{\"a\":1}");
    EXPECT_EQ(messages[1].subject, out_b);
    EXPECT_EQ(messages[1].data, "second");

    LogCapture log;
    EXPECT_FALSE(messaging_connection_publish(connection.get(), "", "x"));
    EXPECT_TRUE(log.has_line("ERROR", "Failed to publish to NATS: Invalid Subject"));
}

TEST(MessagingConnection, TokenTakesPrecedenceOverUserAndPassword) {
    std::string token_url = fixture_url("nats_token"), user_url = fixture_url("nats_user");
    Recorder token_recorder, user_recorder, both_recorder;

    // A wrong user next to the right token: only the token is sent.
    MessagingConnectionConfig token_config = nats_config(token_url, token_recorder);
    token_config.nats.token = "zrv-test-token";
    token_config.nats.username = "nobody";
    token_config.nats.password = "wrong";
    ConnectionPtr token_connection(messaging_connection_new(&token_config));
    EXPECT_TRUE(messaging_connection_is_connected(token_connection.get()));

    MessagingConnectionConfig user_config = nats_config(user_url, user_recorder);
    user_config.nats.username = "zrv-user";
    user_config.nats.password = "zrv-pass";
    ConnectionPtr user_connection(messaging_connection_new(&user_config));
    EXPECT_TRUE(messaging_connection_is_connected(user_connection.get()));

    // The right user next to some token: the token is sent, and refused.
    MessagingConnectionConfig both_config = user_config;
    both_config.state_user_data = &both_recorder;
    both_config.message_user_data = &both_recorder;
    both_config.nats.token = "zrv-test-token";
    LogCapture log;
    ConnectionPtr both_connection(messaging_connection_new(&both_config));
    std::this_thread::sleep_for(1200ms);  // longer than the reconnect wait
    EXPECT_FALSE(messaging_connection_is_connected(both_connection.get()));
    EXPECT_TRUE(both_recorder.states_copy().empty());
    EXPECT_FALSE(messaging_connection_publish(both_connection.get(), "x", "y"));
    EXPECT_TRUE(log.has_line("WARNING", "Cannot publish message: NATS not connected"));
    // The library gives up on refused credentials and the log says so. When
    // it has given up already before the subscription (a slow machine), the
    // subscription fails and nothing is left to retry.
    if (log.has_line("WARNING", "Initial NATS connection failed, will auto-retry")) {
        EXPECT_TRUE(log.has_line("ERROR", "NATS gave up on the connection: No server available for connection"));
    } else {
        EXPECT_TRUE(log.has_line("WARNING", "Initial NATS connection failed, will not retry"));
    }
}

TEST(MessagingConnection, ConnectsOnceAServerStartedLaterAppears) {
    NatsServerProcess server(free_loopback_port());
    std::string url = server.url();
    std::string inbound = subject("late");
    Recorder recorder;
    MessagingConnectionConfig config = nats_config(url, recorder);
    config.nats.subscribe_subject = inbound;

    LogCapture log;
    ConnectionPtr connection(messaging_connection_new(&config));
    ASSERT_TRUE(connection);
    EXPECT_FALSE(messaging_connection_is_connected(connection.get()));
    EXPECT_FALSE(messaging_connection_publish(connection.get(), "x", "y"));

    server.start();
    ASSERT_TRUE(wait_until([&] { return recorder.last_state_is(true); }, 5s));
    EXPECT_TRUE(messaging_connection_is_connected(connection.get()));

    // The subscription made before the server existed is in place now.
    NatsPeer peer(url);
    peer.subscribe("late.out");
    peer.publish(inbound, "play");
    peer.flush();
    ASSERT_TRUE(wait_until([&] { return recorder.message_count() == 1; }));
    EXPECT_EQ(recorder.messages_copy()[0], "play");
    EXPECT_TRUE(messaging_connection_publish(connection.get(), "late.out", "hello"));
    ASSERT_TRUE(peer.wait_for_count(1));

    connection.reset();
    EXPECT_EQ(recorder.states_copy(), std::vector<bool>{true});
    EXPECT_TRUE(log.has_line("WARNING", "Initial NATS connection failed, will auto-retry"));
    EXPECT_TRUE(log.has_line("WARNING", "Cannot publish message: NATS not connected"));
    EXPECT_TRUE(log.has_line("INFO", "Successfully connected to NATS (url: " + url + ")"));
}

TEST(MessagingConnection, ReconnectsAfterTheServerRestartsAndRefusesToPublishMeanwhile) {
    NatsServerProcess server(free_loopback_port());
    server.start();
    std::string url = server.url();
    std::string inbound = subject("restart");
    Recorder recorder;
    MessagingConnectionConfig config = nats_config(url, recorder);
    config.nats.subscribe_subject = inbound;

    LogCapture log;
    ConnectionPtr connection(messaging_connection_new(&config));
    ASSERT_TRUE(messaging_connection_is_connected(connection.get()));

    server.kill();
    ASSERT_TRUE(wait_until([&] { return recorder.last_state_is(false); }));
    EXPECT_FALSE(messaging_connection_is_connected(connection.get()));
    EXPECT_FALSE(messaging_connection_publish(connection.get(), "restart.out", "lost"));

    server.start();
    ASSERT_TRUE(wait_until([&] { return recorder.last_state_is(true); }, 5s));
    EXPECT_EQ(recorder.states_copy(), (std::vector<bool>{true, false, true}));

    NatsPeer peer(url);
    peer.subscribe("restart.out");
    ASSERT_TRUE(wait_until([&] { return messaging_connection_is_connected(connection.get()); }));
    EXPECT_TRUE(messaging_connection_publish(connection.get(), "restart.out", "after"));
    ASSERT_TRUE(peer.wait_for_count(1));
    EXPECT_EQ(peer.messages()[0].data, "after") << "the message sent while down is not queued";
    peer.publish(inbound, "stop");
    peer.flush();
    ASSERT_TRUE(wait_until([&] { return recorder.message_count() == 1; }));

    connection.reset();
    EXPECT_TRUE(log.has_line("WARNING", "Disconnected from NATS"));
    EXPECT_TRUE(log.has_line("WARNING", "Cannot publish message: NATS not connected"));
    EXPECT_TRUE(log.has_line("INFO", "Reconnected to NATS"));
    EXPECT_TRUE(log.has_line("INFO", "NATS connection closed"));
}

// The tls flag makes the client insist on TLS: a plain server is refused.
TEST(MessagingConnection, TlsAgainstAPlainServerStaysDisconnected) {
    std::string url = fixture_url("nats");
    Recorder recorder;
    MessagingConnectionConfig config = nats_config(url, recorder);
    config.nats.tls = true;
    LogCapture log;
    ConnectionPtr connection(messaging_connection_new(&config));
    ASSERT_TRUE(connection);
    std::this_thread::sleep_for(200ms);
    EXPECT_FALSE(messaging_connection_is_connected(connection.get()));
    EXPECT_FALSE(messaging_connection_publish(connection.get(), "x", "y"));
    connection.reset();
    EXPECT_TRUE(recorder.states_copy().empty());
    // Either the library gives up while retrying in the background, or it
    // has given up already when the subscription is made (a slow machine).
    EXPECT_TRUE(log.has_line("ERROR", "NATS gave up on the connection: No server available for connection") ||
                log.has_line("WARNING", "Initial NATS connection failed, will not retry"))
        << log.text();
}

TEST(MessagingConnection, InvalidPrimarySubjectLeavesAConnectionThatRefusesToPublish) {
    std::string url = fixture_url("nats");
    Recorder recorder;
    MessagingConnectionConfig config = nats_config(url, recorder);
    config.nats.subscribe_subject = "bad subject";
    LogCapture log;
    ConnectionPtr connection(messaging_connection_new(&config));
    ASSERT_TRUE(connection);
    EXPECT_FALSE(messaging_connection_is_connected(connection.get()));
    EXPECT_FALSE(messaging_connection_publish(connection.get(), "x", "y"));
    connection.reset();
    EXPECT_TRUE(recorder.states_copy().empty());
    EXPECT_TRUE(log.has_line("ERROR", "Failed to subscribe to NATS subject 'bad subject': Invalid Subject"));
    EXPECT_TRUE(log.has_line("WARNING", "Initial NATS connection failed, will not retry"));
    EXPECT_TRUE(log.has_line("WARNING", "Cannot publish message: NATS not connected"));
}

TEST(MessagingConnection, BadSecondarySubjectOnlyLosesThatSubject) {
    std::string url = fixture_url("nats");
    std::string primary = subject("good");
    Recorder recorder;
    MessagingConnectionConfig config = nats_config(url, recorder);
    config.nats.subscribe_subject = primary;
    config.nats.secondary_subscribe_subject = "bad subject";
    config.nats.tertiary_subscribe_subject = "also bad";
    LogCapture log;
    ConnectionPtr connection(messaging_connection_new(&config));
    EXPECT_TRUE(messaging_connection_is_connected(connection.get()));
    EXPECT_TRUE(
        log.has_line("WARNING", "Failed to subscribe to secondary NATS subject 'bad subject': Invalid Subject"));
    EXPECT_TRUE(log.has_line("WARNING", "Failed to subscribe to tertiary NATS subject 'also bad': Invalid Subject"));
}

TEST(MessagingConnection, NullConnectionIsHarmless) {
    messaging_connection_free(nullptr);
    EXPECT_FALSE(messaging_connection_is_connected(nullptr));
    LogCapture log;
    EXPECT_FALSE(messaging_connection_publish(nullptr, "x", "y"));
    EXPECT_EQ(messaging_connection_new(nullptr), nullptr);
    EXPECT_TRUE(log.has_line("WARNING", "Cannot publish message: NATS not connected"));
}

// The library holds no more for a subscriber that fell behind than the
// bounds allow: the rest is dropped and reported, and delivery goes on.
TEST(MessagingConnection, PendingMessagesAreBoundedByTheLimits) {
    struct Gate {
        std::mutex mutex;
        std::condition_variable changed;
        bool open = false;
        bool entered = false;
        std::vector<std::string> messages;
    } gate;
    const std::string url = fixture_url("nats"), inbound = subject("pending");
    MessagingConnectionConfig config{};
    config.backend = MESSAGING_BACKEND_NATS;
    config.nats.url = url;
    config.nats.subscribe_subject = inbound;
    config.limits = {.max_message_bytes = 64 * 1024, .max_pending_messages = 5, .max_pending_bytes = 1024 * 1024};
    config.message_user_data = &gate;
    config.message_callback = [](MessagingConnection *, const char *data, size_t length, void *user) {
        auto *self = static_cast<Gate *>(user);
        std::unique_lock lock(self->mutex);
        self->messages.emplace_back(data, length);
        self->entered = true;
        self->changed.notify_all();
        self->changed.wait(lock, [&] { return self->open; });
    };
    LogCapture log;
    ConnectionPtr connection(messaging_connection_new(&config));
    ASSERT_TRUE(messaging_connection_is_connected(connection.get()));

    NatsPeer peer(url);
    peer.publish(inbound, "first");
    peer.flush();
    {
        // The delivery thread is held in the first message while 20 more come.
        std::unique_lock lock(gate.mutex);
        ASSERT_TRUE(gate.changed.wait_for(lock, 5s, [&] { return gate.entered; }));
    }
    for (int i = 0; i < 20; ++i) peer.publish(inbound, "m" + std::to_string(i));
    peer.flush();
    std::this_thread::sleep_for(300ms);
    {
        std::lock_guard lock(gate.mutex);
        gate.open = true;
        gate.changed.notify_all();
    }
    ASSERT_TRUE(wait_until([&] {
        std::lock_guard lock(gate.mutex);
        return gate.messages.size() == 6;
    }));
    std::this_thread::sleep_for(300ms);
    // Delivery goes on once the subscriber has caught up.
    peer.publish(inbound, "later");
    peer.flush();
    ASSERT_TRUE(wait_until([&] {
        std::lock_guard lock(gate.mutex);
        return gate.messages.size() == 7;
    }));
    connection.reset();
    EXPECT_EQ(gate.messages, (std::vector<std::string>{"first", "m0", "m1", "m2", "m3", "m4", "later"}));
    EXPECT_TRUE(log.has_line("WARNING", "NATS messages dropped: more are pending than the daemon holds"));
}

}  // namespace
