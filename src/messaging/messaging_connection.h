// MessagingConnection: the daemon's one link to the message bus, NATS or
// RabbitMQ, fixed at creation. Create, free, publish and is-connected are
// called on the loop thread; the callbacks run on the bus client's threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

using MessagingBackend = uint32_t;
enum : MessagingBackend {
    MESSAGING_BACKEND_RABBITMQ = 1,
    MESSAGING_BACKEND_NATS = 2,
};

using ConnectionState = uint32_t;
enum : ConnectionState {
    CONNECTION_STATE_DISCONNECTED = 0,
    CONNECTION_STATE_CONNECTING = 1,
    CONNECTION_STATE_CONNECTED = 2,
    CONNECTION_STATE_FAILED = 3,
};

struct MessagingConnection;

// Called after every change of state, outside the connection's locks, on the
// thread that made the change.
using ConnectionStateCallback = void (*)(MessagingConnection *connection, bool connected, void *user_data);
// Called once per inbound message with a non-empty payload, never on the loop
// thread; data is valid only during the call.
using MessageCallback = void (*)(MessagingConnection *connection, const char *data, size_t length, void *user_data);

// The settings of a RabbitMQ connection.
struct RabbitmqSettings {
    std::string host;
    uint16_t port = 0;
    std::string username;
    std::string password;
    std::string exchange;
    std::string exchange_type;
    std::string binding_key;
    std::string secondary_binding_key;  // empty: none
    std::string tertiary_binding_key;   // empty: none
    // The EventPublisher's routing key; the connection does not use it.
    std::string routing_key;
    // AMQPS: the broker's certificate chain and host name are verified.
    bool tls = false;
    // The CAs that sign the broker's certificate (a PEM file); empty: the
    // system's.
    std::string ca_file;
};

// The settings of a NATS connection.
struct NatsSettings {
    std::string url;
    std::string subscribe_subject;
    // The EventPublisher's subject; the connection does not use it.
    std::string publish_subject;
    std::string secondary_subscribe_subject;  // empty: none
    std::string tertiary_subscribe_subject;   // empty: none
    std::string username;
    std::string password;
    std::string token;
    bool tls = false;
};

// What the receiver of inbound messages keeps at most, so that the bus
// client holds no more on its behalf: a message over max_message_bytes is
// dropped before it is read whole, and the client buffers at most the
// pending counts for it. Zero leaves a bound to the library.
struct InboundLimits {
    size_t max_message_bytes = 0;
    size_t max_pending_messages = 0;
    size_t max_pending_bytes = 0;
};

// What creation needs; the connection keeps a copy. Only the chosen
// backend's settings are read.
struct MessagingConnectionConfig {
    MessagingBackend backend = 0;  // every value but NATS selects RabbitMQ
    RabbitmqSettings rabbitmq;
    NatsSettings nats;
    InboundLimits limits;
    ConnectionStateCallback state_callback = nullptr;
    void *state_user_data = nullptr;
    MessageCallback message_callback = nullptr;
    void *message_user_data = nullptr;
};

MessagingConnection *messaging_connection_new(const MessagingConnectionConfig *config);
void messaging_connection_free(MessagingConnection *connection);
bool messaging_connection_is_connected(MessagingConnection *connection);
// True when the message was accepted for sending.
bool messaging_connection_publish(MessagingConnection *connection, const char *subject, const char *body);
